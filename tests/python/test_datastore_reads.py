"""_datastore.get against the real qmr-datastored: result shapes, caching choices, duplicate
keys, argument errors, and text that is not ASCII or not UTF-8."""

import uuid

import pytest

import _datastore


@pytest.fixture
def key():
    """Makes keys no other test uses: key("a") -> "<unique>-a"."""
    prefix = "r-%s-" % uuid.uuid4().hex[:10]
    return lambda name: prefix + name


def stored(pairs):
    """Writes and commits the (key, value) pairs, checking both statuses."""
    assert _datastore.set([(k, v, 0) for k, v in pairs]) == 1
    assert _datastore.commit() == 1


def err_lines(capfd):
    return capfd.readouterr().err.splitlines()


def test_get_returns_found_values_and_missing_keys(key):
    stored([(key("a"), "alpha"), (key("b"), "")])
    result = _datastore.get([key("a"), key("b"), key("nope")], None)
    assert result == (1, {key("a"): "alpha", key("b"): ""}, {key("nope"): None})
    assert type(result) is tuple and type(result[1]) is dict and type(result[2]) is dict
    assert _datastore.get([key("x")], 0) == (1, {}, {key("x"): None})


def test_duplicate_keys_are_read_once_and_each_repeat_warned(key, capfd):
    stored([(key("a"), "A"), (key("b"), "B")])
    capfd.readouterr()
    result = _datastore.get([key("a"), key("b"), key("a"), key("a")], None)
    assert result == (1, {key("a"): "A", key("b"): "B"}, {})
    assert err_lines(capfd) == [
        "WARNING Ignoring duplicate get request for key = %s" % key("a"),
        "WARNING Ignoring duplicate get request for key = %s" % key("a"),
        "DEBUG Retrieving data for keys ( %s  %s )." % (key("a"), key("b")),
        "DEBUG Values ( %s  %s ) cached according to DEFAULT." % (key("a"), key("b")),
    ]


@pytest.mark.parametrize("choice,line", [
    (5, "DEBUG Values ( %s ) cached."),
    (True, "DEBUG Values ( %s ) cached."),
    (2 ** 70, "DEBUG Values ( %s ) cached."),
    (0, "DEBUG Values ( %s ) NOT cached."),
    (None, "DEBUG Values ( %s ) cached according to DEFAULT."),
])
def test_caching_choice_picks_the_log_line(key, capfd, choice, line):
    stored([(key("c"), "v")])
    capfd.readouterr()
    assert _datastore.get([key("c")], choice) == (1, {key("c"): "v"}, {})
    assert err_lines(capfd)[-1] == line % key("c")


@pytest.mark.parametrize("args,exc,message", [
    (([],), TypeError, "get() takes exactly 2 arguments (1 given)"),
    (([], None), TypeError, "keys argument is empty or not of type list"),
    ((("k",), None), TypeError, "keys argument is empty or not of type list"),
    ((["k", 7], None), TypeError, "get: key 1 of the list must be str, not int"),
    ((["k"], 1.0), TypeError, "get: the caching choice must be None or an int "
                              "(0: do not cache, nonzero: cache), not float"),
    ((["k\0x"], None), ValueError, "get: key 0 of the list contains a NUL character, "
                                   "which cannot be stored"),
])
def test_bad_arguments_raise_before_any_log_or_call(capfd, args, exc, message):
    capfd.readouterr()
    with pytest.raises(exc) as info:
        _datastore.get(*args)
    assert str(info.value) == message
    assert err_lines(capfd) == []


def test_non_ascii_and_non_utf8_text_round_trips(key):
    k, value = key("ключ-é-😀"), "värde ✓ 𝄞 中文"
    raw_key, raw_value = key("k").encode() + b"\xff\xfe", b"\x80abc\xc3(\xed\xa0\x80"
    k2 = raw_key.decode("utf-8", "surrogateescape")
    stored([(k, value), (k2, raw_value.decode("utf-8", "surrogateescape"))])
    status, found, missing = _datastore.get([k, k2], None)
    assert (status, found[k], missing) == (1, value, {})
    assert found[k2].encode("utf-8", "surrogateescape") == raw_value
    assert sorted(x.encode("utf-8", "surrogateescape") for x in found) == sorted(
        [k.encode(), raw_key])
