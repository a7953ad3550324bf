"""Fixtures of the Python tests, which run inside qmr-host against the stack that
tests/python/run started and named in QMR_STACK_STATE.

- stack: the tools/qmrstack.Stack, with stop/kill9/restart of "naming", "events" and
  "datastore" by pid; servers a test leaves down are started again after it (same data).
- channel: the name of an event channel that exists.
- key: key("a") -> a key no other test uses; log(): the library's log lines (stderr) since the
  last call; eventually(condition, timeout=5.0): polls until condition() holds.
- run_host(*args, env=None, input=None, orb=True): runs qmr-host (with this stack's ORB options)
  and returns the CompletedProcess (text); listener(channel) starts qmr-listen on a channel
  (stopped by pid after the test) and returns lines(), the events it printed so far.
"""

import os
import subprocess
import sys
import uuid

import pytest

sys.path.insert(0, os.path.join(os.environ.get("QMR_SOURCE_DIR", os.path.dirname(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))))), "tools"))

from qmrstack import SERVERS, Stack, _read, end_child, wait_for  # noqa: E402


def pytest_configure(config):
    if not os.environ.get("QMR_STACK_STATE"):
        pytest.exit("these tests run inside qmr-host against a test stack: use "
                    "tests/python/run BUILD_DIR [pytest args]", returncode=2)


@pytest.fixture(scope="session")
def stack():
    return Stack.load(os.environ["QMR_STACK_STATE"])


@pytest.fixture(autouse=True)
def _servers_back_up(stack):
    yield
    for server in SERVERS:
        if server in stack.procs and not stack.running(server):
            stack.restart(server)


@pytest.fixture(scope="session")
def channel():
    return os.environ["QMR_TEST_CHANNELS"].split(",")[0]


@pytest.fixture
def key():
    prefix = "t-%s-" % uuid.uuid4().hex[:10]
    return lambda name: prefix + name


@pytest.fixture
def log(capfd):
    capfd.readouterr()
    return lambda: capfd.readouterr().err.splitlines()


@pytest.fixture(scope="session")
def eventually():
    return lambda condition, timeout=5.0: wait_for(condition, timeout=timeout)


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
        stdin = {"input": input} if input is not None else {"stdin": subprocess.DEVNULL}
        return subprocess.run([host] + (orb_args if orb else []) + list(args), text=True,
                              capture_output=True, timeout=timeout, env=full_env, **stdin)
    return run


@pytest.fixture
def listener(build_dir, orb_args, tmp_path):
    procs = []

    def start(channel):
        out, err = str(tmp_path / (channel + ".out")), str(tmp_path / (channel + ".err"))
        with open(out, "wb") as o, open(err, "wb") as e:
            procs.append(subprocess.Popen([os.path.join(build_dir, "bin", "qmr-listen")] +
                                          orb_args + [channel], stdout=o, stderr=e,
                                          stdin=subprocess.DEVNULL))
        assert wait_for(lambda: "listening" in _read(err) or procs[-1].poll() is not None,
                        timeout=10.0) and procs[-1].poll() is None, _read(err)

        def lines():
            with open(out, errors="surrogateescape") as f:
                return f.read().splitlines()
        return lines
    yield start
    for proc in procs:
        end_child(proc)
