"""_MiscCorba.signalEvent against real omniNames and omniEvents: events reach a listener with
channel, type and value in order; a channel's consumer is obtained once and reused; unknown
channels, bad arguments and a crashed event service are reported as the module promises."""

import time
import uuid

import pytest

import _MiscCorba


@pytest.fixture
def fresh_channel(stack):
    """A new event channel, so that no earlier signal has a consumer for it yet."""
    name = "Chan-%s" % uuid.uuid4().hex[:10]
    stack.create_channel(name)
    return name


def err_lines(capfd):
    return capfd.readouterr().err.splitlines()


def test_events_reach_a_listener_with_channel_type_and_value_in_order(channel, listener,
                                                                      eventually):
    lst = listener(channel)
    raw_value = b"\xff\x01bin\x80".decode("utf-8", "surrogateescape")
    sent = [("door", "open"), ("", ""), ("température ✓", raw_value)]
    for type_, value in sent:
        assert _MiscCorba.signalEvent(channel, type_, value) is None
    assert eventually(lambda: len(lst.lines()) >= len(sent), timeout=10)
    assert lst.lines() == ["%s %s %s" % (channel, t, v) for t, v in sent]


def test_first_signal_connects_and_later_ones_reuse_the_consumer(fresh_channel, capfd):
    capfd.readouterr()
    for i in range(3):
        assert _MiscCorba.signalEvent(fresh_channel, "n", str(i)) is None
    assert err_lines(capfd) == ["INFO Channel '%s' not in push map, adding it." % fresh_channel]


def test_unknown_channel_returns_none_and_logs_each_time(capfd):
    name = "NoSuchChannel-%s" % uuid.uuid4().hex[:8]
    capfd.readouterr()
    assert _MiscCorba.signalEvent(name, "t", "v") is None
    assert _MiscCorba.signalEvent(name, "t", "v") is None
    line = "ERROR Error getting push consumer for %s. Aborting push." % name
    assert err_lines(capfd) == [line, line]


@pytest.mark.parametrize("args,exc,message", [
    (("c", "t"), TypeError, "signalEvent() takes exactly 3 arguments (2 given)"),
    (("c", "t", "v", "x"), TypeError, "signalEvent() takes exactly 3 arguments (4 given)"),
    ((1, "t", "v"), TypeError, "signalEvent() argument 1 must be str, not int"),
    (("c", "t", b"v"), TypeError, "signalEvent() argument 3 must be str, not bytes"),
    (("c", "t", "a\0b"), ValueError,
     "signalEvent: the event value contains a NUL character, which cannot be stored"),
])
def test_bad_arguments_raise_and_push_nothing(capfd, args, exc, message):
    capfd.readouterr()
    with pytest.raises(exc) as info:
        _MiscCorba.signalEvent(*args)
    assert str(info.value) == message
    assert err_lines(capfd) == []


def test_consumer_lost_with_the_event_service_is_obtained_again(fresh_channel, stack, capfd):
    _MiscCorba.signalEvent(fresh_channel, "t", "before")
    stack.kill9("events")
    try:
        capfd.readouterr()
        # The remembered consumer fails with a system exception: absorbed silently, forgotten.
        assert _MiscCorba.signalEvent(fresh_channel, "t", "while down") is None
        assert err_lines(capfd) == []
    finally:
        stack.restart("events")
    deadline = time.monotonic() + 15
    lines = []
    while not lines and time.monotonic() < deadline:
        _MiscCorba.signalEvent(fresh_channel, "t", "after")
        lines = err_lines(capfd)
        time.sleep(0.1)
    assert lines[:1] == ["INFO Channel '%s' not in push map, adding it." % fresh_channel]
