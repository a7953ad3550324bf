"""Reference counts of the _datastore and _MiscCorba functions: hundreds of rounds through every
result shape and error path leave memory and None's reference count where they were."""

import gc
import sys

import _datastore
import _MiscCorba

K = "memory-key"
CALLS = [
    lambda: _datastore.get([K, K + "-missing", K], None), lambda: _datastore.get([K], 1),
    lambda: _datastore.set([(K, "v\udcff", 0), (K, "w", 5)]), _datastore.abort,
    lambda: _datastore.remove([K + "-x", K + "-x"]), _datastore.commit,
    lambda: _datastore.enableCaching(0), _datastore.clearCache,
    lambda: _MiscCorba.signalEvent("NoSuchChannel", "t", "v"),
    # and the refusals
    lambda: _datastore.get([], None), lambda: _datastore.get([K, 3], None),
    lambda: _datastore.get([K], "x"), lambda: _datastore.set([(K, "v")]),
    lambda: _datastore.set([(K, "v", 0), (K, "v", 2 ** 40)]), lambda: _datastore.remove(()),
    _datastore.enableCaching, lambda: _MiscCorba.signalEvent("c", "t", 1),
    lambda: _MiscCorba.signalEvent("c", "t", "\0"),
]


def measure(rounds):
    for _ in range(rounds):
        for call in CALLS:
            try:
                call()
            except (TypeError, ValueError, OverflowError):
                pass
    gc.collect()
    return sys.getallocatedblocks(), sys.getrefcount(None)


def test_repeated_calls_do_not_grow_memory_or_references(capfd):
    assert _datastore.set([(K, "value", 0)]) == 1 and _datastore.commit() == 1
    measure(50)  # warm up caches of the interpreter and the ORB
    blocks, nones = measure(10)
    blocks_after, nones_after = measure(500)
    capfd.readouterr()  # drop the log lines of the rounds
    # One leaked object or reference per call would add at least 500.
    assert blocks_after - blocks < 100
    assert abs(nones_after - nones) < 20
