"""tools/qmrstack.py, which the tests, the demo, the soak, ./qmr up and the C++ harness rely on:
pids recorded and stopped, a server killed and restarted in place; and what a stack exposes
to other users of the machine: its servers listen on Unix sockets in its folder only (on
127.0.0.1 only with tcp), what they write nobody else can read, and its folder is the user's
own (./qmr up's default included). Who may connect: test_access.py."""

import json
import os
import shutil
import stat
import subprocess
import tempfile
import urllib.error
import urllib.request

import pytest

from qmrstack import Stack, StackError, _start_time, default_dir, listening, port_open


def loopback(address):
    return address.startswith(("127.", "::ffff:127.", "::1:"))


def reachable_sockets(pid):
    """What process pid listens on that anyone could connect to: TCP addresses, and Unix
    sockets whose name is in the file system (omniEvents' own TCP port becomes a socket whose
    name is gone, see tools/confine/confine.c)."""
    return [a for a in listening(pid)
            if not a.startswith("unix:") or os.path.exists(a[len("unix:"):])]


def private_files(folder):
    """Paths under folder, with their modes, that other users could read or write. The data
    store's reference file alone is readable by the group (which may connect anyway)."""
    exposed = []
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            path = os.path.join(root, name)
            mode = stat.S_IMODE(os.lstat(path).st_mode)
            if mode & (0o037 if name == "datastore.ior" else 0o077):
                exposed.append("%s %o" % (os.path.relpath(path, folder), mode))
    return exposed


def test_servers_restart_in_place_listen_on_their_sockets_only_and_keep_their_files_private(
        tmp_path, build_dir, run_host):
    stack = Stack.up(str(tmp_path / "s"), channels=["StackChannel"], build=build_dir)
    try:
        assert stack.corbaloc == "corbaloc:omniunix:%s/naming/names.sock:/NameService" % stack.dir
        args = ["-ORBInitRef", "NameService=" + stack.corbaloc, "-c"]
        write = run_host(*args, "import _datastore as d; d.set([('k', 'v', 0)]); print(d.commit())",
                         orb=False)
        assert write.stdout.strip() == "1", write.stderr
        for server in ("datastore", "naming", "events"):  # a warm start rewrites data files
            old = stack.pid(server)
            stack.kill9(server)
            assert _start_time(old) is None and not stack.running(server)
            stack.restart(server)
            assert stack.running(server) and stack.pid(server) != old
        read = run_host(*args, "import _datastore as d; print(d.get(['k'], 0)[1])", orb=False)
        assert read.stdout.strip() == "{'k': 'v'}", read.stderr

        for server in ("naming", "events"):
            assert reachable_sockets(stack.pid(server)) == ["unix:" + stack.socket(server)]
        # The data store: its socket, and the metrics endpoint on loopback (the one TCP port of
        # the stack), on the same port after the restart; it serves counts at /metrics only.
        assert stack.ports == {"metrics": int(stack.metrics_address.split(":")[1])}
        assert sorted(reachable_sockets(stack.pid("datastore"))) == sorted(
            ["unix:" + stack.socket("datastore"), stack.metrics_address])
        with urllib.request.urlopen("http://%s/metrics" % stack.metrics_address) as reply:
            assert "\nqmr_datastore_sessions_open 0\n" in reply.read().decode()
        with pytest.raises(urllib.error.HTTPError) as refused:
            urllib.request.urlopen("http://%s/" % stack.metrics_address)
        assert refused.value.code == 404
        assert private_files(stack.dir) == []

        with open(stack.state_path) as f:
            pids = {s: proc["pid"] for s, proc in json.load(f)["procs"].items()}
        assert pids == {s: stack.pid(s) for s in ("naming", "events", "datastore")}
        Stack.load(stack.dir).down()  # from another Stack object, as `down` does
        assert not any(_start_time(pid) is not None for pid in pids.values())
    finally:
        stack.down()


def test_a_tcp_stack_listens_on_loopback_only(tmp_path, build_dir, run_host):
    stack = Stack.up(str(tmp_path / "t"), channels=["TcpChannel"], build=build_dir, tcp=True)
    try:
        assert stack.corbaloc == "corbaloc::127.0.0.1:%d/NameService" % stack.ports["naming"]
        args = ["-ORBInitRef", "NameService=" + stack.corbaloc, "-c"]
        roundtrip = run_host(*args, "import _datastore as d; d.set([('k', 'v', 0)]); d.commit(); "
                             "print(d.get(['k'], 0)[1])", orb=False)
        assert roundtrip.stdout.strip() == "{'k': 'v'}", roundtrip.stderr
        assert all(port_open(stack.ports[s]) for s in ("naming", "events"))
        for server in ("naming", "events", "datastore"):
            addresses = listening(stack.pid(server))
            assert addresses and all(loopback(a) for a in addresses), (server, addresses)
            assert not os.path.exists(os.path.join(stack.dir, "naming", "names.sock"))
        assert private_files(stack.dir) == []
    finally:
        stack.down()


def test_a_postgres_stack_keeps_entries_in_postgres_on_loopback_and_survives_a_sigkill(
        build_dir, run_host):
    # Directly under /tmp: as root PostgreSQL runs as nobody, which must reach the folder.
    folder = tempfile.mkdtemp(prefix="qmr-pgstack-")
    stack = Stack.up(folder, build=build_dir, postgres=True)
    try:
        assert stack.db == "postgresql://qmr@127.0.0.1:%d/postgres" % stack.ports["postgres"]
        args = ["-ORBInitRef", "NameService=" + stack.corbaloc, "-c"]
        write = run_host(*args, "import _datastore as d; d.set([('k', 'v', 0)]); print(d.commit())",
                         orb=False)
        assert write.stdout.strip() == "1", write.stderr
        old = stack.pid("postgres")
        stack.kill9("postgres")
        assert _start_time(old) is None
        stack.restart("postgres")  # at once: the old backends must not block it
        read = run_host(*args, "import _datastore as d; print(d.get(['k'], 0)[1])", orb=False)
        assert read.stdout.strip() == "{'k': 'v'}", read.stderr
        assert "database postgresql://qmr@127.0.0.1" in stack.log("datastore")
        addresses = [a for a in listening(stack.pid("postgres")) if not a.startswith("unix:")]
        assert addresses and all(loopback(a) for a in addresses), addresses
        # Only the socket is open to all, inside the cluster's owner-only folder.
        assert stat.S_IMODE(os.stat(os.path.join(folder, "postgres")).st_mode) == 0o700
        assert [e for e in private_files(folder) if ".s.PGSQL." not in e] == []
    finally:
        stack.down()
        shutil.rmtree(folder, ignore_errors=True)


def test_a_tls_stack_serves_holders_of_its_client_certificate_only(tmp_path, build_dir,
                                                                     run_host):
    stack = Stack.up(str(tmp_path / "s"), build=build_dir, tls=True)
    try:
        files = stack.tls_files
        assert stack.orb_args()[2:] == ["--tls-ca", files["ca"], "--tls-cert", files["client"],
                                        "--tls-key", files["client_key"]]
        work = "import _datastore as d; d.set([('k', 'v', 0)]); print(d.commit())"
        done = run_host(*stack.orb_args(), "-c", work, orb=False)
        assert done.returncode == 0 and done.stdout.strip() == "1", done.stderr
        # The naming service alone is not enough: the data store serves TLS only.
        plain = ["-ORBInitRef", "NameService=" + stack.corbaloc]
        refused = run_host(*plain, "-c", work, orb=False)
        assert refused.returncode == 3, refused.stderr
        refused = run_host(*plain, "--tls-ca", files["ca"], "-c", work, orb=False)
        assert refused.returncode == 3, refused.stderr
        assert "TLS: refused the client 127.0.0.1:" in stack.log("datastore")

        # TLS on loopback, and no socket beside it.
        addresses = reachable_sockets(stack.pid("datastore"))
        assert addresses and all(loopback(a) for a in addresses), addresses
        assert all(stat.S_IMODE(os.stat(files[k]).st_mode) == 0o600
                   for k in ("ca_key", "server_key", "client_key"))
        assert private_files(stack.dir) == []
        # A restart keeps TLS and the same authority; a stack loaded from the folder knows it.
        ca = open(files["ca"]).read()
        stack.restart("datastore")
        again = Stack.load(stack.dir)
        assert again.tls and open(again.tls_files["ca"]).read() == ca
        done = run_host(*again.orb_args(), "-c", "import _datastore as d; print(d.get(['k'], 0)[1])",
                        orb=False)
        assert done.stdout.strip() == "{'k': 'v'}", done.stderr
    finally:
        stack.down()


def test_a_stack_folder_another_user_owns_or_can_write_is_refused(tmp_path, build_dir):
    shared = tmp_path / "shared"
    shared.mkdir()
    shared.chmod(0o777)
    with pytest.raises(StackError, match="can be written by other users"):
        Stack.up(str(shared), build=build_dir)
    if os.geteuid() == 0:
        theirs = tmp_path / "theirs"
        theirs.mkdir(mode=0o700)
        os.chown(str(theirs), 65534, 65534)
    else:
        theirs = "/"
    with pytest.raises(StackError, match="belongs to uid"):
        Stack.up(str(theirs), build=build_dir)
    with pytest.raises(StackError, match="belongs to uid"):
        Stack.load(str(theirs))  # nor are pids read from such a folder
    assert os.listdir(str(shared)) == []  # nothing was started or written there


def test_qmr_up_uses_a_private_folder_of_the_user(tmp_path, build_dir, monkeypatch):
    monkeypatch.delenv("QMR_STACK_DIR", raising=False)
    monkeypatch.delenv("XDG_RUNTIME_DIR", raising=False)
    assert default_dir() == "/tmp/qmr-stack-%d" % os.geteuid()

    monkeypatch.setenv("XDG_RUNTIME_DIR", str(tmp_path))
    source = os.environ["QMR_SOURCE_DIR"]
    env = dict(os.environ, QMR_BUILD=build_dir)
    up = subprocess.run([os.path.join(source, "qmr"), "up"], env=env, capture_output=True,
                        text=True, timeout=60)
    try:
        assert up.returncode == 0, up.stderr
        folder = tmp_path / "qmr-stack"
        assert stat.S_IMODE(folder.stat().st_mode) == 0o700
        assert str(folder) in up.stdout
        assert Stack.load(str(folder)).running_servers()
    finally:
        down = subprocess.run([os.path.join(source, "qmr"), "down"], env=env,
                              capture_output=True, text=True, timeout=60)
    assert down.returncode == 0, down.stderr
    assert not Stack.load(str(tmp_path / "qmr-stack")).running_servers()
