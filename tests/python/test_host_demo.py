"""The demo script end to end against the test stack, its events checked with qmr-listen."""

import os

DEMO = os.path.join(os.environ["QMR_SOURCE_DIR"], "examples", "demo.py")


def test_demo_runs_to_the_end_and_the_listener_prints_its_events(run_host, listener, channel,
                                                                  eventually):
    lines = listener(channel)
    done = run_host(DEMO, "--channel", channel, "--quick", timeout=120)
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
    eventually(lambda: len(lines()) >= len(expected), timeout=10)
    assert lines() == expected


def test_demo_without_a_data_store_fails_with_a_clear_message(run_host):
    done = run_host("--no-datastore", DEMO)
    assert done.returncode == 1
    assert "RuntimeError" in done.stderr and "data store client is not initialised" in done.stderr
