"""_MiscCorba.signalEvent against real omniNames and omniEvents: events reach a consumer with
channel, type and value in order; consumers are reused per channel; unknown channels, bad
arguments and a crashed event service are reported as the module promises."""

import os
import subprocess
import time
import uuid

import pytest

import _MiscCorba

TK_STRUCT = 15  # TypeCode kind of ClientCore::Event


@pytest.fixture
def fresh_channel(stack):
    """A fresh event channel, so that no earlier signal has a consumer for it yet."""
    name = "Chan-%s" % uuid.uuid4().hex[:10]
    stack.create_channel(name)
    return name


def cdr_string(data, pos, start):
    """A CDR string (aligned to 4 from start) at pos: returns (bytes, next pos)."""
    pos += (-(pos - start)) % 4
    length = int.from_bytes(data[pos:pos + 4], "little")
    return data[pos + 4:pos + 4 + length - 1], pos + 4 + length


def parse_events(data):
    """(type, value) byte pairs of the ClientCore::Event records in the output of omniEvents'
    `events` tool: a text line, then per event 8 octets of time stamp, the struct TypeCode
    (kind and encapsulation) and the two strings, aligned from the record start."""
    events = []
    start = data.find(b"\n") + 1
    while start > 0 and len(data) >= start + 16:
        kind = int.from_bytes(data[start + 8:start + 12], "little")
        encap = int.from_bytes(data[start + 12:start + 16], "little")
        if kind != TK_STRUCT or len(data) < start + 16 + encap:
            break
        type_, nxt = cdr_string(data, start + 16 + encap, start)
        value, nxt = cdr_string(data, nxt, start)
        if len(data) < nxt:
            break
        events.append((type_, value))
        start = nxt
    return events


class Listener:
    """omniEvents' `events` tool connected to a channel as a push consumer (no Python);
    stopped by its process id."""

    def __init__(self, stack, channel, folder):
        self.path = os.path.join(str(folder), channel + ".events")
        with open(self.path, "wb") as out:
            self.proc = subprocess.Popen(["events", "-n", channel] + stack.orb_args(),
                                         stdin=subprocess.DEVNULL, stdout=out,
                                         stderr=subprocess.DEVNULL)
        # It connects some time after it starts: signal probes until one arrives.
        deadline = time.monotonic() + 15
        while not self.events():
            assert time.monotonic() < deadline, "the listener never received a probe event"
            _MiscCorba.signalEvent(channel, "probe", "")
            time.sleep(0.2)

    def events(self):
        with open(self.path, "rb") as f:
            return parse_events(f.read())

    def wait_for(self, count, timeout=10.0):
        deadline = time.monotonic() + timeout
        while len(self.events()) < count and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.events()

    def close(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)


@pytest.fixture
def listen(stack, tmp_path):
    listeners = []

    def start(channel):
        listeners.append(Listener(stack, channel, tmp_path))
        return listeners[-1]

    yield start
    for listener in listeners:
        listener.close()


def err_lines(capfd):
    return capfd.readouterr().err.splitlines()


def test_signal_arrives_with_type_then_value(fresh_channel, listen):
    listener = listen(fresh_channel)
    before = len(listener.events())
    assert _MiscCorba.signalEvent(fresh_channel, "door", "open") is None
    assert _MiscCorba.signalEvent(fresh_channel, "", "") is None
    events = listener.wait_for(before + 2)
    assert events[before:] == [(b"door", b"open"), (b"", b"")]


def test_non_ascii_and_non_utf8_members_arrive_byte_for_byte(fresh_channel, listen):
    listener = listen(fresh_channel)
    before = len(listener.events())
    raw = b"\xff\x01bin\x80"
    value = raw.decode("utf-8", "surrogateescape")
    _MiscCorba.signalEvent(fresh_channel, "température ✓", value)
    events = listener.wait_for(before + 1)
    assert events[before:] == [("température ✓".encode(), raw)]


def test_first_signal_connects_and_later_ones_reuse_the_consumer(fresh_channel, capfd):
    capfd.readouterr()
    for i in range(3):
        assert _MiscCorba.signalEvent(fresh_channel, "n", str(i)) is None
    assert err_lines(capfd) == ["INFO Channel '%s' not in push map, adding it." % fresh_channel]


def test_channel_names_are_case_sensitive(fresh_channel, stack, capfd):
    upper = fresh_channel.upper()
    stack.create_channel(upper)
    capfd.readouterr()
    _MiscCorba.signalEvent(fresh_channel, "t", "v")
    _MiscCorba.signalEvent(upper, "t", "v")
    assert err_lines(capfd) == ["INFO Channel '%s' not in push map, adding it." % fresh_channel,
                                "INFO Channel '%s' not in push map, adding it." % upper]


def test_unknown_channel_returns_none_and_logs_each_time(capfd):
    name = "NoSuchChannel-%s" % uuid.uuid4().hex[:8]
    capfd.readouterr()
    assert _MiscCorba.signalEvent(name, "t", "v") is None
    assert _MiscCorba.signalEvent(name, "t", "v") is None
    line = "ERROR Error getting push consumer for %s. Aborting push." % name
    assert err_lines(capfd) == [line, line]


@pytest.mark.parametrize("args,message", [
    (("c", "t"), "signalEvent() takes exactly 3 arguments (2 given)"),
    (("c", "t", "v", "x"), "signalEvent() takes exactly 3 arguments (4 given)"),
    ((1, "t", "v"), "signalEvent() argument 1 must be str, not int"),
    (("c", 1, "v"), "signalEvent() argument 2 must be str, not int"),
    (("c", "t", 1), "signalEvent() argument 3 must be str, not int"),
    (("c", "t", b"v"), "signalEvent() argument 3 must be str, not bytes"),
])
def test_bad_arguments_raise_and_push_nothing(capfd, args, message):
    capfd.readouterr()
    with pytest.raises(TypeError) as info:
        _MiscCorba.signalEvent(*args)
    assert str(info.value) == message
    assert err_lines(capfd) == []


def test_nul_in_a_member_is_refused(fresh_channel, capfd):
    capfd.readouterr()
    with pytest.raises(ValueError) as info:
        _MiscCorba.signalEvent(fresh_channel, "t", "a\0b")
    assert str(info.value) == ("signalEvent: the event value contains a NUL character, "
                               "which cannot be stored")
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
    while time.monotonic() < deadline:
        _MiscCorba.signalEvent(fresh_channel, "t", "after")
        lines += err_lines(capfd)
        if lines:
            break
        time.sleep(0.2)
    assert lines[:1] == ["INFO Channel '%s' not in push map, adding it." % fresh_channel]


def test_a_listener_receives_channel_type_and_value_in_that_order(channel, listener,
                                                                  eventually):
    lst = listener(channel)
    assert _MiscCorba.signalEvent(channel, "kind", "payload") is None
    assert eventually(lambda: lst.lines(), timeout=10)
    assert lst.lines() == ["%s kind payload" % channel]
