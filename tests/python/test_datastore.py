"""_datastore against the real qmr-datastored: result shapes, log lines, argument errors (of
_MiscCorba too), text that is not UTF-8, and failures while the server (and the naming
service) are down."""

import sys

import pytest

import _datastore
import _MiscCorba
import qmr
from qmr.DataStoreInterface import interface as store


def stored(pairs):
    assert _datastore.set([(k, v, 0) for k, v in pairs]) == 1
    assert _datastore.commit() == 1


def test_get_reads_each_key_once_and_splits_found_from_missing(key, log):
    stored([(key("a"), "A"), (key("b"), "")])
    log()
    result = _datastore.get([key("a"), key("b"), key("a"), key("no")], None)
    assert result == (1, {key("a"): "A", key("b"): ""}, {key("no"): None})
    assert [type(part) for part in result] == [int, dict, dict]
    listed = " %s  %s  %s " % (key("a"), key("b"), key("no"))
    assert log() == ["WARNING Ignoring duplicate get request for key = %s" % key("a"),
                     "DEBUG Retrieving data for keys (%s)." % listed,
                     "DEBUG Values (%s) cached according to DEFAULT." % listed]
    for choice, word in [(5, "cached"), (True, "cached"), (2 ** 70, "cached"),
                         (0, "NOT cached")]:
        assert _datastore.get([key("a")], choice) == (1, {key("a"): "A"}, {})
        assert log()[-1] == "DEBUG Values ( %s ) %s." % (key("a"), word), choice


def test_get_takes_keys_in_any_order_returns_plain_str_keys_and_keeps_reference_counts(key):
    stored([(key("z1"), "1"), (key("z2"), "2")])

    class Key(str):
        pass
    z2 = "".join([key("z2")])  # an object of its own, not shared with the store's calls
    keys = [z2, Key(key("z1")), key("z3"), key("z1"), z2]
    before = [sys.getrefcount(k) for k in keys]
    ok, found, missing = _datastore.get(keys, 0)
    assert (ok, found, missing) == (1, {key("z1"): "1", key("z2"): "2"}, {key("z3"): None})
    assert [type(k) for k in list(found) + list(missing)] == [str, str, str]
    del ok, found, missing
    assert [sys.getrefcount(k) for k in keys] == before


def test_writes_log_each_entry_and_the_last_write_of_a_key_wins(key, log):
    stored([(key("c"), "3")])
    log()
    entries = [(key("a"), "one", 0), (key("b"), "two=2; x", -5), (key("a"), "again", 2 ** 31 - 1)]
    assert _datastore.set(entries) == 1
    assert _datastore.remove([key("c"), key("c"), key("never")]) == 1
    assert _datastore.commit(1, 2) == 1  # arguments are ignored
    assert log() == [
        "DEBUG Adding datastore entry (%s=one; Exp=0)" % key("a"),
        "DEBUG Adding datastore entry (%s=two=2; x; Exp=-5)" % key("b"),
        "DEBUG Adding datastore entry (%s=again; Exp=2147483647)" % key("a"),
        "WARNING Ignoring duplicate remove request for key = %s" % key("c"),
        "DEBUG Removing keys ( %s  %s )" % (key("c"), key("never")),
        "DEBUG Committing datastore changes"]
    assert _datastore.get([key("a"), key("b"), key("c")], 0) == (
        1, {key("a"): "again", key("b"): "two=2; x"}, {key("c"): None})


def test_a_bad_entry_stops_set_and_abort_drops_what_is_pending(key, log):
    with pytest.raises(TypeError) as info:
        _datastore.set([(key("a"), "ok", 0), (key("b"), "no expiry")])
    assert str(info.value) == ("set: entry 1 must be a tuple (key: str, value: str, "
                               "expiry: int), not a tuple of 2 items")
    assert _datastore.set([(key("b"), "pending", 0)]) == 1
    assert _datastore.abort("ignored") == 1
    assert log() == ["DEBUG Adding datastore entry (%s=ok; Exp=0)" % key("a"),
                     "DEBUG Adding datastore entry (%s=pending; Exp=0)" % key("b"),
                     "DEBUG Aborting datastore changes"]
    assert _datastore.commit() == 1
    assert _datastore.get([key("a"), key("b")], 0) == (1, {}, {key("a"): None, key("b"): None})


def test_cache_functions_log_and_return_none(log):
    assert [_datastore.enableCaching(2), _datastore.enableCaching(0),
            _datastore.clearCache(None, 3)] == [None, None, None]
    assert log() == ["DEBUG Enabling datastore caching", "DEBUG Disabling datastore caching",
                     "DEBUG Clearing datastore cache"]


def test_bad_arguments_raise_before_any_log_or_call(log):
    d, signal = _datastore, _MiscCorba.signalEvent
    cases = [
        (d.get, ([],), TypeError, "get() takes exactly 2 arguments (1 given)"),
        (d.get, ([], None), TypeError, "keys argument is empty or not of type list"),
        (d.get, (("k",), None), TypeError, "keys argument is empty or not of type list"),
        (d.get, (["k", 7], None), TypeError, "get: key 1 of the list must be str, not int"),
        (d.get, (["k"], 1.0), TypeError, "get: the caching choice must be None or an int "
                                         "(0: do not cache, nonzero: cache), not float"),
        (d.get, (["k\0x"], None), ValueError,
         "get: key 0 of the list contains a NUL character, which cannot be stored"),
        (d.set, ([],), TypeError, "entries arg is empty or not of type list"),
        (d.set, ([["k", "v", 0]],), TypeError,
         "set: entry 0 must be a tuple (key: str, value: str, expiry: int), not list"),
        (d.set, ([(1, "v", 0)],), TypeError, "set: the key of entry 0 must be str, not int"),
        (d.set, ([("k", "v", 1.5)],), TypeError,
         "set: the expiry of entry 0 must be an int, not float"),
        (d.set, ([("k", "v", -2 ** 31 - 1)],), OverflowError,
         "set: the expiry of entry 0 does not fit in a 32-bit signed integer"),
        (d.remove, ([],), TypeError, "keys arg is empty or not of type list"),
        (d.remove, (["k", None],), TypeError,
         "remove: key 1 of the list must be str, not NoneType"),
        (d.enableCaching, ("1",), TypeError, "'str' object cannot be interpreted as an integer"),
        (signal, ("c", "t"), TypeError, "signalEvent() takes exactly 3 arguments (2 given)"),
        (signal, (1, "t", "v"), TypeError, "signalEvent() argument 1 must be str, not int"),
        (signal, ("c", "t", b"v"), TypeError, "signalEvent() argument 3 must be str, not bytes"),
        (signal, ("c", "t", "a\0b"), ValueError,
         "signalEvent: the event value contains a NUL character, which cannot be stored"),
    ]
    for fn, args, exc, message in cases:
        with pytest.raises(exc) as info:
            fn(*args)
        assert str(info.value) == message
    assert log() == []


def test_text_that_is_not_ascii_or_not_utf8_round_trips(key):
    raw = [key("k").encode() + b"\xff\xfe", b"\x80abc\xc3(\xed\xa0\x80"]  # not UTF-8
    k2, v2 = (b.decode("utf-8", "surrogateescape") for b in raw)
    k1, v1 = key("ключ-é-😀"), "värde ✓ 𝄞 中文"
    stored([(k1, v1), (k2, v2)])
    assert _datastore.get([k1, k2], None) == (1, {k1: v1, k2: v2}, {})


@pytest.fixture(params=[("datastore",), ("datastore", "naming")], ids=["store", "store+naming"])
def server_down(stack, eventually, request):
    """qmr-datastored killed (alone, or with the naming service, so that reconnecting fails
    too); afterwards started again, and reads must work again."""
    for server in request.param:
        stack.kill9(server)
    yield request.param
    for server in reversed(request.param):
        stack.restart(server)
    assert eventually(lambda: _datastore.get(["probe"], 0)[0] == 1, timeout=15)


def test_every_function_reports_failure_while_the_server_is_down(server_down, log):
    cases = [
        (lambda: _datastore.get(["a", "b"], None), (0, None),
         "DEBUG Retrieving data for keys ( a  b ).",
         "ERROR Error retrieving values from datastore ( a  b )"),
        (lambda: _datastore.set([("a", "1", 0)]), 0,
         "DEBUG Adding datastore entry (a=1; Exp=0)", "ERROR Error setting (adding) entries!"),
        (lambda: _datastore.remove(["a", "b"]), 0,
         "DEBUG Removing keys ( a  b )", "ERROR Error removing keys ( a  b )!"),
        (_datastore.commit, 0, "DEBUG Committing datastore changes",
         "ERROR Error committing cache changes"),
        (_datastore.abort, 0, "DEBUG Aborting datastore changes", "ERROR Error aborting cache"),
    ]
    for call, expected, first, last in cases:
        result = call()
        assert result == expected and type(result) is type(expected)
        lines = log()
        # Between the two: the manager's own report of the failure and of its reconnection.
        assert lines[0] == first and lines[-1] == last, lines
        if "naming" in server_down:  # the reconnection itself failed, with an exception
            assert any(": the data store could not be reached again (CORBA system exception "
                       in line for line in lines), lines
    assert _datastore.clearCache() is None and _datastore.enableCaching(0) is None
    # The script API turns each failure status into DataStoreError naming the operation.
    for operation, call in [("get", lambda: store.get("a")), ("set", lambda: store.set({"a": "1"})),
                            ("remove", lambda: store.remove(["a"])), ("commit", store.commit),
                            ("abort", store.abort)]:
        with pytest.raises(qmr.DataStoreError) as info:
            call()
        assert info.value.operation == operation
