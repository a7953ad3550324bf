"""The demo script and the qmr-listen example, end to end against the test stack."""

import os
import subprocess

import pytest

SOURCE_DIR = os.environ.get("QMR_SOURCE_DIR", os.path.dirname(os.path.dirname(
    os.path.dirname(os.path.abspath(__file__)))))


def test_demo_runs_to_the_end_and_the_listener_prints_its_events(run_host, listener, channel,
                                                                  eventually):
    watcher = listener(channel)
    done = run_host(os.path.join(SOURCE_DIR, "examples", "demo.py"), "--channel", channel,
                    "--quick", timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Demo finished." in done.stdout
    assert "ERROR Error getting push consumer for NoSuchChannel. Aborting push." in done.stderr
    expected = [channel + " " + line for line in (
        "demo.started demo.py",
        "demo.committed greeting city one-time-code",
        "demo.aborted demo:greeting kept",
        "demo.removed demo:city",
        "demo.tick tick 1 of 3",
        "demo.tick tick 2 of 3",
        "demo.tick tick 3 of 3",
        "demo.finished ok")]
    eventually(lambda: len(watcher.lines()) >= len(expected))
    assert watcher.lines() == expected


def test_demo_outside_a_data_store_fails_with_a_clear_message(run_host):
    done = run_host("--no-datastore", os.path.join(SOURCE_DIR, "examples", "demo.py"))
    assert done.returncode == 1
    assert "RuntimeError" in done.stderr and "data store client is not initialised" in done.stderr


def test_listener_prints_every_channel_it_watches_and_stops_after_count(build_dir, orb_args,
                                                                         channels, run_host):
    listen = os.path.join(build_dir, "bin", "qmr-listen")
    proc = subprocess.Popen([listen, "--count", "3", "--timeout", "30"] + orb_args + channels,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = proc.stderr.readline()
        assert line.strip() == "qmr-listen: listening on " + ", ".join(channels)
        code = ("import _MiscCorba as m\n"
                "m.signalEvent(%r, 'a', 'one two')\n"
                "m.signalEvent(%r, 'b', '')\n"
                "m.signalEvent(%r, 'c', 'x')\n" % (channels[0], channels[1], channels[0]))
        assert run_host("--no-datastore", "-c", code).returncode == 0
        out, _ = proc.communicate(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 0
    lines = out.splitlines()
    assert sorted(lines) == sorted([channels[0] + " a one two", channels[1] + " b ",
                                    channels[0] + " c x"])
    # one channel keeps its order
    assert [l for l in lines if l.startswith(channels[0] + " ")] == [
        channels[0] + " a one two", channels[0] + " c x"]


@pytest.mark.parametrize("args,status,message", [
    (["NoSuchChannel"], 3, 'no event channel is registered as "NoSuchChannel"'),
    ([], 2, "name at least one channel"),
    (["--count", "many", "X"], 2, "--count needs a whole number"),
    (["--bogus", "X"], 2, "unknown or incomplete option '--bogus'"),
])
def test_listener_refuses_what_it_cannot_listen_to(build_dir, orb_args, args, status, message):
    done = subprocess.run([os.path.join(build_dir, "bin", "qmr-listen")] + orb_args + args,
                          capture_output=True, text=True, timeout=30)
    assert done.returncode == status
    assert message in done.stderr
    assert done.stdout == ""


def test_listener_times_out_with_status_1_when_events_are_missing(build_dir, orb_args, channel):
    done = subprocess.run([os.path.join(build_dir, "bin", "qmr-listen"), "--count", "1",
                           "--timeout", "1"] + orb_args + [channel],
                          capture_output=True, text=True, timeout=30)
    assert done.returncode == 1
    assert "timed out with 1 event(s) still expected" in done.stderr
