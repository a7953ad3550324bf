"""_datastore.set, remove, commit, abort, enableCaching and clearCache against the real
qmr-datastored: statuses, transactions, log lines and argument errors."""

import uuid

import pytest

import _datastore


@pytest.fixture
def key():
    prefix = "w-%s-" % uuid.uuid4().hex[:10]
    return lambda name: prefix + name


def err_lines(capfd):
    return capfd.readouterr().err.splitlines()


def read(*keys):
    return _datastore.get(list(keys), None)


def test_set_logs_every_entry_in_order_and_commit_publishes_the_last_write(key, capfd):
    capfd.readouterr()
    entries = [(key("a"), "one", 0), (key("b"), "two=2; x", -5), (key("a"), "again", 2 ** 31 - 1)]
    assert _datastore.set(entries) == 1
    assert _datastore.commit(1, 2) == 1  # arguments are ignored
    assert err_lines(capfd) == [
        "DEBUG Adding datastore entry (%s=one; Exp=0)" % key("a"),
        "DEBUG Adding datastore entry (%s=two=2; x; Exp=-5)" % key("b"),
        "DEBUG Adding datastore entry (%s=again; Exp=2147483647)" % key("a"),
        "DEBUG Committing datastore changes",
    ]
    assert read(key("a"), key("b")) == (1, {key("a"): "again", key("b"): "two=2; x"}, {})


def test_abort_drops_uncommitted_writes_and_removals(key, capfd):
    assert _datastore.set([(key("kept"), "v", 0)]) == 1 and _datastore.commit() == 1
    assert _datastore.set([(key("new"), "v", 0)]) == 1
    assert _datastore.remove([key("kept")]) == 1
    capfd.readouterr()
    assert _datastore.abort("ignored") == 1
    assert err_lines(capfd) == ["DEBUG Aborting datastore changes"]
    assert read(key("kept"), key("new")) == (1, {key("kept"): "v"}, {key("new"): None})


def test_a_bad_entry_stops_set_before_anything_is_written(key, capfd):
    capfd.readouterr()
    with pytest.raises(TypeError) as info:
        _datastore.set([(key("a"), "ok", 0), (key("b"), "no expiry")])
    assert str(info.value) == ("set: entry 1 must be a tuple (key: str, value: str, "
                               "expiry: int), not a tuple of 2 items")
    # The first entry was parsed (and logged) but never reached the store.
    assert err_lines(capfd) == ["DEBUG Adding datastore entry (%s=ok; Exp=0)" % key("a")]
    assert _datastore.commit() == 1
    assert read(key("a")) == (1, {}, {key("a"): None})


def test_remove_deletes_keys_once_each_and_warns_on_repeats(key, capfd):
    assert _datastore.set([(key("a"), "1", 0), (key("b"), "2", 0), (key("c"), "3", 0)]) == 1
    assert _datastore.commit() == 1
    capfd.readouterr()
    assert _datastore.remove([key("a"), key("b"), key("a"), key("never")]) == 1
    assert err_lines(capfd) == [
        "WARNING Ignoring duplicate remove request for key = %s" % key("a"),
        "DEBUG Removing keys ( %s  %s  %s )" % (key("a"), key("b"), key("never")),
    ]
    assert _datastore.commit() == 1
    assert read(key("a"), key("b"), key("c")) == (
        1, {key("c"): "3"}, {key("a"): None, key("b"): None})


@pytest.mark.parametrize("call,args,exc,message", [
    ("set", (), TypeError, "set() takes exactly 1 argument (0 given)"),
    ("set", ([],), TypeError, "entries arg is empty or not of type list"),
    ("set", ([["k", "v", 0]],), TypeError,
     "set: entry 0 must be a tuple (key: str, value: str, expiry: int), not list"),
    ("set", ([(1, "v", 0)],), TypeError, "set: the key of entry 0 must be str, not int"),
    ("set", ([("k", "v", 1.5)],), TypeError,
     "set: the expiry of entry 0 must be an int, not float"),
    ("set", ([("k", "v", -2 ** 31 - 1)],), OverflowError,
     "set: the expiry of entry 0 does not fit in a 32-bit signed integer"),
    ("remove", ([],), TypeError, "keys arg is empty or not of type list"),
    ("remove", (["k", None],), TypeError, "remove: key 1 of the list must be str, not NoneType"),
    ("enableCaching", (), TypeError, "enableCaching() takes exactly 1 argument (0 given)"),
    ("enableCaching", ("1",), TypeError,
     "'str' object cannot be interpreted as an integer"),
])
def test_argument_errors_raise_before_any_log_or_call(capfd, call, args, exc, message):
    capfd.readouterr()
    with pytest.raises(exc) as info:
        getattr(_datastore, call)(*args)
    assert str(info.value) == message
    assert err_lines(capfd) == []


def test_cache_functions_log_and_return_none(capfd):
    try:
        capfd.readouterr()
        assert _datastore.enableCaching(2) is None
        assert _datastore.enableCaching(0) is None
        assert _datastore.clearCache(None, 3) is None
        assert err_lines(capfd) == ["DEBUG Enabling datastore caching",
                                    "DEBUG Disabling datastore caching",
                                    "DEBUG Clearing datastore cache"]
    finally:
        _datastore.enableCaching(0)
