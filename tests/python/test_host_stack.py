"""tools/qmrstack.py, which the tests, the demo and ./qmr up rely on: a stack of its own in a
temporary folder, stopped, killed and restarted by pid."""

import json
import os
import select
import subprocess

import pytest

from qmrstack import Stack, StackError, _start_time


@pytest.fixture
def own_stack(tmp_path, build_dir):
    stack = Stack.up(str(tmp_path / "s"), channels=["StackChannel"], build=build_dir)
    yield stack
    stack.down()


def alive(pid):
    return _start_time(pid) is not None


def test_up_records_every_server_and_down_stops_them_all(own_stack, run_host):
    pids = {s: own_stack.pid(s) for s in ("naming", "events", "datastore")}
    assert all(alive(p) for p in pids.values())
    with open(own_stack.state_path) as f:
        state = json.load(f)
    assert {s: state["procs"][s]["pid"] for s in pids} == pids
    assert state["channels"] == ["StackChannel"]
    for server, pid in pids.items():
        if server != "events":  # omniEvents sends its own output to /dev/null
            assert os.readlink("/proc/%d/fd/1" % pid) == own_stack.log_path(server)
    done = run_host("--datastore", "DataStore", "-ORBInitRef",
                    "NameService=" + own_stack.corbaloc, "-c", "print('ok')", orb=False)
    assert done.stdout.strip() == "ok", done.stderr
    Stack.load(own_stack.dir).down()  # from another Stack object, as `down` does
    assert not any(alive(p) for p in pids.values())
    assert own_stack.running_servers() == []


def test_kill9_and_restart_keep_port_and_database(own_stack, run_host):
    args = ["-ORBInitRef", "NameService=" + own_stack.corbaloc]
    write = run_host(*args, "-c", "import _datastore as d; d.set([('k', 'v', 0)]); print(d.commit())",
                     orb=False)
    assert write.stdout.strip() == "1", write.stderr
    for server in ("datastore", "naming", "events"):
        old = own_stack.pid(server)
        own_stack.kill9(server)
        assert not alive(old) and not own_stack.running(server)
        own_stack.restart(server)
        assert own_stack.running(server) and own_stack.pid(server) != old
    read = run_host(*args, "-c", "import _datastore as d; print(d.get(['k'], 0)[1])", orb=False)
    assert read.stdout.strip() == "{'k': 'v'}", read.stderr


def test_a_second_up_in_a_running_folder_is_refused(own_stack):
    with pytest.raises(StackError, match="already running"):
        Stack.up(own_stack.dir)


def test_cli_up_status_env_down(tmp_path, build_dir):
    tool = os.path.join(os.environ["QMR_SOURCE_DIR"], "tools", "qmrstack.py")
    folder = str(tmp_path / "cli")

    def cli(*args, **kwargs):
        return subprocess.run([tool] + list(args), capture_output=True, text=True, timeout=60,
                              **kwargs)
    # A descriptor the caller's shell holds (here: a pipe) must not stay open in the servers,
    # or whoever reads that pipe would wait for them to end.
    rfd, wfd = os.pipe()
    up = cli("up", "--dir", folder, "--channel", "A", "--channel", "B", "--build", build_dir,
             pass_fds=(wfd,))
    os.close(wfd)
    try:
        ready, _, _ = select.select([rfd], [], [], 5.0)
        assert ready and os.read(rfd, 1) == b"", "a server kept the caller's pipe open"
        assert up.returncode == 0, up.stderr
        assert "channels  A B" in up.stdout
        stack = Stack.load(folder)
        env = cli("env", "--dir", folder)
        assert "export QMR_ORB_ARGS='-ORBInitRef NameService=%s'" % stack.corbaloc in env.stdout
        assert cli("status", "--dir", folder).returncode == 0
        stack.stop("events")
        status = cli("status", "--dir", folder)
        assert status.returncode == 1 and "events    stopped" in status.stdout
        assert cli("down", "--dir", folder).stdout.strip() == "stopped naming, datastore"
        assert Stack.load(folder).running_servers() == []
    finally:
        os.close(rfd)
        Stack.load(folder).down()
    missing = cli("env", "--dir", str(tmp_path / "nothing"))
    assert missing.returncode == 1 and "no stack state" in missing.stderr
    bad = cli("up", "--dir", str(tmp_path / "nobuild"), "--build", str(tmp_path))
    assert bad.returncode == 1 and "qmr-datastored is missing" in bad.stderr
    assert Stack.load(str(tmp_path / "nobuild")).running_servers() == []
