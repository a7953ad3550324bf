"""_MiscCorba.signalEvent and the script API's signal() against real omniNames and omniEvents:
events arrive byte-exact and in order, a channel's consumer is obtained once, unknown channels
are reported each time (argument errors: test_datastore.py)."""

import uuid

import _MiscCorba
from qmr.MiscCorbaInterface import interface as events


def test_events_reach_a_listener_byte_exact_and_in_order(channel, listener, eventually):
    lines = listener(channel)
    raw_value = b"\xff\x01bin\x80".decode("utf-8", "surrogateescape")
    sent = [("door", "open"), ("", ""), ("température ✓", raw_value)]
    for type_, value in sent:
        assert _MiscCorba.signalEvent(channel, type_, value) is None
    assert events.signal(channel, "api", "a b") is None
    assert events.signal(channel, "default") is None
    expected = ["%s %s %s" % (channel, t, v) for t, v in sent + [("api", "a b"), ("default", "")]]
    assert eventually(lambda: len(lines()) >= len(expected), timeout=10)
    assert lines() == expected


def test_a_channel_is_connected_once_and_an_unknown_one_logged_each_time(stack, log):
    name = "Chan-%s" % uuid.uuid4().hex[:10]
    stack.create_channel(name)
    log()
    for i in range(3):
        assert _MiscCorba.signalEvent(name, "n", str(i)) is None
    assert log() == ["INFO Channel '%s' not in push map, adding it." % name]
    for _ in range(2):
        assert _MiscCorba.signalEvent("NoSuchChannel", "t", "v") is None
    assert log() == ["ERROR Error getting push consumer for NoSuchChannel. Aborting push."] * 2
