"""_datastore.set, remove, commit, abort, enableCaching and clearCache against the real
qmr-datastored: statuses, transactions, log lines and argument errors."""

import time
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


def test_set_then_commit_makes_values_readable_and_logs_each_entry(key, capfd):
    capfd.readouterr()
    assert _datastore.set([(key("a"), "one", 0), (key("b"), "two=2; x", -5)]) == 1
    assert _datastore.commit() == 1
    assert err_lines(capfd) == [
        "DEBUG Adding datastore entry (%s=one; Exp=0)" % key("a"),
        "DEBUG Adding datastore entry (%s=two=2; x; Exp=-5)" % key("b"),
        "DEBUG Committing datastore changes",
    ]
    assert read(key("a"), key("b")) == (1, {key("a"): "one", key("b"): "two=2; x"}, {})


def test_abort_drops_uncommitted_writes_and_removals(key, capfd):
    assert _datastore.set([(key("kept"), "v", 0)]) == 1
    assert _datastore.commit() == 1
    assert _datastore.set([(key("new"), "v", 0)]) == 1
    assert _datastore.remove([key("kept")]) == 1
    capfd.readouterr()
    assert _datastore.abort() == 1
    assert err_lines(capfd) == ["DEBUG Aborting datastore changes"]
    assert read(key("kept"), key("new")) == (1, {key("kept"): "v"}, {key("new"): None})


def test_duplicate_keys_in_set_are_all_sent_in_order(key, capfd):
    capfd.readouterr()
    assert _datastore.set([(key("d"), "first", 0), (key("d"), "second", 0)]) == 1
    assert _datastore.commit() == 1
    assert err_lines(capfd)[:2] == [
        "DEBUG Adding datastore entry (%s=first; Exp=0)" % key("d"),
        "DEBUG Adding datastore entry (%s=second; Exp=0)" % key("d"),
    ]
    assert read(key("d")) == (1, {key("d"): "second"}, {})


def test_an_entry_with_expiry_disappears_after_it(key):
    assert _datastore.set([(key("short"), "v", 1), (key("long"), "v", 3600)]) == 1
    assert _datastore.commit() == 1
    assert read(key("short"))[1] == {key("short"): "v"}
    time.sleep(2.2)
    assert read(key("short"), key("long")) == (1, {key("long"): "v"}, {key("short"): None})


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


@pytest.mark.parametrize("args,exc,message", [
    ((), TypeError, "set() takes exactly 1 argument (0 given)"),
    (([], []), TypeError, "set() takes exactly 1 argument (2 given)"),
    (([],), TypeError, "entries arg is empty or not of type list"),
    (((("k", "v", 0),),), TypeError, "entries arg is empty or not of type list"),
    (([["k", "v", 0]],), TypeError, "set: entry 0 must be a tuple (key: str, value: str, "
                                    "expiry: int), not list"),
    (([("k", "v", 0, 1)],), TypeError, "set: entry 0 must be a tuple (key: str, value: str, "
                                       "expiry: int), not a tuple of 4 items"),
    (([(1, "v", 0)],), TypeError, "set: the key of entry 0 must be str, not int"),
    (([("k", b"v", 0)],), TypeError, "set: the value of entry 0 must be str, not bytes"),
    (([("k", "v", "0")],), TypeError, "set: the expiry of entry 0 must be an int, not str"),
    (([("k", "v", 1.5)],), TypeError, "set: the expiry of entry 0 must be an int, not float"),
    (([("k", "v", 2 ** 31)],), OverflowError,
     "set: the expiry of entry 0 does not fit in a 32-bit signed integer"),
    (([("k", "v", -2 ** 31 - 1)],), OverflowError,
     "set: the expiry of entry 0 does not fit in a 32-bit signed integer"),
    (([("k", "v\0", 0)],), ValueError,
     "set: the value of entry 0 contains a NUL character, which cannot be stored"),
])
def test_set_argument_errors(capfd, args, exc, message):
    capfd.readouterr()
    with pytest.raises(exc) as info:
        _datastore.set(*args)
    assert str(info.value) == message
    assert err_lines(capfd) == []


def test_expiry_limits_of_32_bits_are_accepted(key, capfd):
    entries = [(key("max"), "v", 2 ** 31 - 1), (key("min"), "v", -2 ** 31)]
    capfd.readouterr()
    assert _datastore.set(entries) == 1
    assert err_lines(capfd) == [
        "DEBUG Adding datastore entry (%s=v; Exp=2147483647)" % key("max"),
        "DEBUG Adding datastore entry (%s=v; Exp=-2147483648)" % key("min"),
    ]
    assert _datastore.abort() == 1


def test_remove_deletes_keys_once_each_and_warns_on_repeats(key, capfd):
    assert _datastore.set([(key("a"), "1", 0), (key("b"), "2", 0), (key("c"), "3", 0)]) == 1
    assert _datastore.commit() == 1
    capfd.readouterr()
    assert _datastore.remove([key("a"), key("b"), key("a")]) == 1
    assert _datastore.commit() == 1
    assert err_lines(capfd) == [
        "WARNING Ignoring duplicate remove request for key = %s" % key("a"),
        "DEBUG Removing keys ( %s  %s )" % (key("a"), key("b")),
        "DEBUG Committing datastore changes",
    ]
    assert read(key("a"), key("b"), key("c")) == (
        1, {key("c"): "3"}, {key("a"): None, key("b"): None})


def test_removing_a_key_that_does_not_exist_succeeds(key):
    assert _datastore.remove([key("never")]) == 1
    assert _datastore.commit() == 1


@pytest.mark.parametrize("args,exc,message", [
    ((), TypeError, "remove() takes exactly 1 argument (0 given)"),
    (([],), TypeError, "keys arg is empty or not of type list"),
    ((("k",),), TypeError, "keys arg is empty or not of type list"),
    ((["k", None],), TypeError, "remove: key 1 of the list must be str, not NoneType"),
])
def test_remove_argument_errors(capfd, args, exc, message):
    capfd.readouterr()
    with pytest.raises(exc) as info:
        _datastore.remove(*args)
    assert str(info.value) == message
    assert err_lines(capfd) == []


def test_commit_abort_and_clear_cache_ignore_their_arguments(capfd):
    capfd.readouterr()
    assert _datastore.commit(1, 2) == 1
    assert _datastore.abort("x") == 1
    assert _datastore.clearCache(None, 3) is None
    assert _datastore.clearCache() is None
    assert err_lines(capfd) == [
        "DEBUG Committing datastore changes",
        "DEBUG Aborting datastore changes",
        "DEBUG Clearing datastore cache",
        "DEBUG Clearing datastore cache",
    ]


def test_enable_caching_logs_the_choice_and_returns_none(key, capfd):
    try:
        capfd.readouterr()
        assert _datastore.enableCaching(2) is None
        assert _datastore.enableCaching(True) is None
        assert _datastore.enableCaching(0) is None
        assert err_lines(capfd) == [
            "DEBUG Enabling datastore caching",
            "DEBUG Enabling datastore caching",
            "DEBUG Disabling datastore caching",
        ]
        for args in [(), ("1",), (1, 2), (1.0,)]:
            with pytest.raises(TypeError):
                _datastore.enableCaching(*args)
        assert err_lines(capfd) == []
    finally:
        _datastore.enableCaching(0)
