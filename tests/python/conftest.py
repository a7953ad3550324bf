"""Fixtures of the Python tests, which run inside qmr-host (tests/python/run starts them).

The run starts one stack for the session (omniNames, omniEvents with the test channels,
qmr-datastored) and names its state file in QMR_STACK_STATE; the fixtures here attach to it:

- stack: the tools/qmrstack.Stack, with stop/kill9/restart/suspend/resume of "naming",
  "events" and "datastore" by pid. A test that stops a server need not restart it: after every
  test the servers that are down are started again (same port, same data).
- channel / channels: the names of the event channels that exist ("TestChannel", ...).
- eventually(condition, timeout=5.0): polls until condition() is true; returns its last value.
- orb_args, build_dir, host: what a test needs to start qmr-host or qmr-listen itself.
- run_host(*args, timeout=60, env=None, input=None): runs qmr-host with this stack's ORB
  options and returns the CompletedProcess (text output).
- listener(channel): starts qmr-listen on a channel, returns an object whose lines() are the
  events printed so far ("CHANNEL TYPE VALUE"); stopped by pid at the end of the test.
"""

import os
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.join(os.environ.get("QMR_SOURCE_DIR", os.path.dirname(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))))), "tools"))

from qmrstack import SERVERS, Stack, wait_for  # noqa: E402


def pytest_configure(config):
    if not os.environ.get("QMR_STACK_STATE"):
        pytest.exit("these tests run inside qmr-host against a test stack: use "
                    "tests/python/run BUILD_DIR [pytest args]", returncode=2)


@pytest.fixture(scope="session")
def stack():
    return Stack.load(os.environ["QMR_STACK_STATE"])


@pytest.fixture(autouse=True)
def _servers_back_up(stack):
    """Starts again, after each test, any server the test left stopped or suspended."""
    yield
    for server in SERVERS:
        if server in stack.procs:
            stack.resume(server)
            if not stack.running(server):
                stack.restart(server)


@pytest.fixture(scope="session")
def channels():
    return os.environ["QMR_TEST_CHANNELS"].split(",")


@pytest.fixture(scope="session")
def channel(channels):
    return channels[0]


@pytest.fixture(scope="session")
def eventually():
    def wait(condition, timeout=5.0, interval=0.02):
        return wait_for(condition, timeout=timeout, interval=interval)
    return wait


@pytest.fixture(scope="session")
def orb_args(stack):
    return stack.orb_args()


@pytest.fixture(scope="session")
def build_dir():
    return os.environ["QMR_BUILD_DIR"]


@pytest.fixture(scope="session")
def host(build_dir):
    return os.path.join(build_dir, "bin", "qmr-host")


@pytest.fixture
def run_host(host, orb_args):
    def run(*args, timeout=60, env=None, input=None, orb=True):
        full_env = dict(os.environ)
        full_env.pop("QMR_LOG_LEVEL", None)
        full_env.update(env or {})
        cmd = [host] + (list(orb_args) if orb else []) + list(args)
        stdin = {"input": input} if input is not None else {"stdin": subprocess.DEVNULL}
        return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout,
                              env=full_env, **stdin)
    return run


class Listener:
    """qmr-listen on one channel; its stdout goes to a file that lines() reads."""

    def __init__(self, exe, channel, orb_args, folder):
        self.out_path = os.path.join(folder, "listen-%s.out" % channel)
        self.err_path = os.path.join(folder, "listen-%s.err" % channel)
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen([exe] + list(orb_args) + [channel], stdout=out,
                                         stderr=err, stdin=subprocess.DEVNULL)
        ready = wait_for(lambda: "listening" in self.errors() or self.proc.poll() is not None,
                         timeout=10.0)
        if self.proc.poll() is not None or not ready:
            self.stop()
            raise RuntimeError("qmr-listen did not start on %s: %s" % (channel, self.errors()))

    def lines(self):
        with open(self.out_path, errors="surrogateescape") as f:
            return f.read().splitlines()

    def errors(self):
        with open(self.err_path, errors="replace") as f:
            return f.read()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode


@pytest.fixture
def listener(build_dir, orb_args, tmp_path):
    started = []

    def start(channel):
        lst = Listener(os.path.join(build_dir, "bin", "qmr-listen"), channel, orb_args,
                       str(tmp_path))
        started.append(lst)
        return lst
    yield start
    for lst in started:
        lst.stop()
