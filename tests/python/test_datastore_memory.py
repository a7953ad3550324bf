"""Reference counts of the _datastore and _MiscCorba functions: thousands of calls through
every result shape and error path leave memory and None's reference count where they were."""

import gc
import sys
import uuid

import _datastore
import _MiscCorba

KEY = "m-%s" % uuid.uuid4().hex[:10]


def one_round():
    _datastore.get([KEY, KEY + "-missing", KEY], None)
    _datastore.get([KEY], 1)
    _datastore.set([(KEY, "v\udcff", 0), (KEY, "w", 5)])
    _datastore.abort()
    _datastore.remove([KEY + "-x", KEY + "-x"])
    _datastore.commit()
    _datastore.enableCaching(0)
    _datastore.clearCache()
    _MiscCorba.signalEvent("NoSuchChannel-" + KEY, "t", "v")
    for call in (lambda: _datastore.get([], None), lambda: _datastore.get([KEY, 3], None),
                 lambda: _datastore.get([KEY], "x"), lambda: _datastore.set([(KEY, "v")]),
                 lambda: _datastore.set([(KEY, "v", 0), (KEY, "v", 2 ** 40)]),
                 lambda: _datastore.remove(()), lambda: _datastore.enableCaching(),
                 lambda: _MiscCorba.signalEvent("c", "t", 1),
                 lambda: _MiscCorba.signalEvent("c", "t", "\0")):
        try:
            call()
        except (TypeError, ValueError, OverflowError):
            pass


def measure(rounds):
    for _ in range(rounds):
        one_round()
    gc.collect()
    return sys.getallocatedblocks(), sys.getrefcount(None)


def test_repeated_calls_do_not_grow_memory_or_references(capfd):
    assert _datastore.set([(KEY, "value", 0)]) == 1 and _datastore.commit() == 1
    measure(50)  # warm up caches of the interpreter and the ORB
    blocks, nones = measure(10)
    blocks_after, nones_after = measure(500)
    capfd.readouterr()  # drop the log lines of the rounds
    # One leaked object or reference per call would add at least 500.
    assert blocks_after - blocks < 100
    assert abs(nones_after - nones) < 20
