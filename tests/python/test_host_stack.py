"""tools/qmrstack.py, which the tests, the demo and ./qmr up rely on: a stack of its own in a
temporary folder, its pids recorded and stopped, a server killed and restarted in place."""

import json

from qmrstack import Stack, _start_time, port_open


def test_pids_are_recorded_and_stopped_and_a_restart_keeps_port_and_database(tmp_path, build_dir,
                                                                              run_host):
    stack = Stack.up(str(tmp_path / "s"), channels=["StackChannel"], build=build_dir)
    try:
        args = ["-ORBInitRef", "NameService=" + stack.corbaloc, "-c"]
        write = run_host(*args, "import _datastore as d; d.set([('k', 'v', 0)]); print(d.commit())",
                         orb=False)
        assert write.stdout.strip() == "1", write.stderr
        for server in ("datastore", "naming", "events"):
            old = stack.pid(server)
            stack.kill9(server)
            assert _start_time(old) is None and not stack.running(server)
            stack.restart(server)
            assert stack.running(server) and stack.pid(server) != old
        assert all(port_open(stack.ports[s]) for s in ("naming", "events"))
        read = run_host(*args, "import _datastore as d; print(d.get(['k'], 0)[1])", orb=False)
        assert read.stdout.strip() == "{'k': 'v'}", read.stderr
        with open(stack.state_path) as f:
            pids = {s: proc["pid"] for s, proc in json.load(f)["procs"].items()}
        assert pids == {s: stack.pid(s) for s in ("naming", "events", "datastore")}
        assert all(_start_time(pid) is not None for pid in pids.values())
        Stack.load(stack.dir).down()  # from another Stack object, as `down` does
        assert not any(_start_time(pid) is not None for pid in pids.values())
    finally:
        stack.down()
