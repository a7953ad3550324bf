"""Who may use a stack: the operating system decides. Its servers listen on Unix sockets in the
stack's folder, so a user who cannot enter the folder can neither read nor write entries nor
bind names; with a group, that group's members can. A data store does not take over a name
that a running server holds. And the installation's ORB configuration (/etc/qmr/orb.conf, or
the file QMR_ORB_CONF names) gives the programs their Naming Service with no option.

The second user is nobody (setpriv), which needs root to become; those tests are skipped
otherwise."""

import grp
import os
import shutil
import socket
import subprocess
import tempfile

import pytest

from qmrstack import Stack, wait_for

NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
as_root_only = pytest.mark.skipif(os.geteuid() != 0,
                                  reason="needs root to run commands as the user nobody")


def connect_as(prefix, path):
    """Connects to the Unix socket path as the user of prefix (a setpriv command); "ok" or the
    error's name, as that user sees it."""
    code = ("import socket, sys\n"
            "s = socket.socket(socket.AF_UNIX)\n"
            "try:\n"
            "    s.connect(sys.argv[1]); print('ok')\n"
            "except OSError as e:\n"
            "    print(type(e).__name__)\n")
    done = subprocess.run(prefix + ["/usr/bin/python3", "-c", code, path], capture_output=True,
                          text=True, timeout=30, cwd="/")
    return done.stdout.strip() or done.stderr.strip()


def nameclt(prefix, corbaloc, *args):
    """omniORB's nameclt against the NameService corbaloc, as the user of prefix."""
    return subprocess.run(prefix + ["nameclt", "-ORBInitRef", "NameService=" + corbaloc] +
                          list(args), capture_output=True, text=True, timeout=30, cwd="/")


def fresh_folder():
    """A new folder directly under /tmp, so that only its own mode stands between another user
    and the sockets in it (a test's tmp_path lies inside a folder of root's)."""
    return tempfile.mkdtemp(prefix="qmr-access-")


@as_root_only
def test_a_user_outside_the_stack_can_neither_connect_nor_bind_names(stack):
    ior = open(stack.ior_path).read().strip()
    for server in ("naming", "events", "datastore"):
        path = stack.socket(server)
        assert connect_as([], path) == "ok", server
        assert connect_as(NOBODY, path) == "PermissionError", server

    # The owner binds a name; nobody can neither rebind it nor resolve it.
    mine = nameclt([], stack.corbaloc, "-advanced", "rebind", "AccessTestName", ior)
    assert mine.returncode == 0, mine.stderr
    theirs = nameclt(NOBODY, stack.corbaloc, "-advanced", "rebind", "DataStore", "IOR:00")
    assert theirs.returncode != 0
    theirs = nameclt(NOBODY, stack.corbaloc, "resolve", "AccessTestName")
    assert theirs.returncode != 0 and "IOR:" not in theirs.stdout
    assert nameclt([], stack.corbaloc, "resolve", "DataStore").stdout.strip() == ior
    assert nameclt([], stack.corbaloc, "unbind", "AccessTestName").returncode == 0


@as_root_only
def test_the_members_of_the_stacks_group_connect_and_others_do_not(build_dir):
    folder = fresh_folder()
    shared = Stack.up(folder, build=build_dir, group="nogroup")
    try:
        nogroup = grp.getgrnam("nogroup").gr_gid
        st = os.stat(folder)
        assert (st.st_gid, st.st_mode & 0o7777) == (nogroup, 0o2750)
        other = ["setpriv", "--reuid=nobody", "--regid=daemon", "--clear-groups"]
        for server in ("naming", "events", "datastore"):
            assert connect_as(NOBODY, shared.socket(server)) == "ok", server
            assert connect_as(other, shared.socket(server)) == "PermissionError", server
        # A member uses the naming service: binds a name and finds it again.
        ior = open(shared.ior_path).read().strip()
        bound = nameclt(NOBODY, shared.corbaloc, "bind", "MemberName", ior)
        assert bound.returncode == 0, bound.stderr
        found = nameclt(NOBODY, shared.corbaloc, "resolve", "MemberName")
        assert found.stdout.strip() == ior, found.stderr
        # The group may enter, not read: the database, logs and state stay the owner's.
        for name in ("datastore.db", "stack.json", "qmr-datastored.log"):
            assert os.stat(os.path.join(folder, name)).st_mode & 0o077 == 0, name
    finally:
        shared.down()
        shutil.rmtree(folder, ignore_errors=True)


def test_a_data_store_refuses_a_name_that_a_running_server_holds(build_dir, run_host):
    folder = fresh_folder()
    own = Stack.up(folder, build=build_dir)
    impostor = os.path.join(folder, "impostor")
    os.mkdir(impostor, 0o700)
    server = os.path.join(build_dir, "bin", "qmr-datastored")
    argv = [server, "--db", os.path.join(impostor, "evil.db"), "--name", "DataStore",
            "-ORBendPoint", "giop:unix:" + os.path.join(impostor, "evil.sock")] + own.orb_args()
    args = own.orb_args() + ["-c"]
    try:
        write = run_host(*args, "import _datastore as d; d.set([('k', 'mine', 0)]); "
                                "print(d.commit())", orb=False)
        assert write.stdout.strip() == "1", write.stderr
        ior = open(own.ior_path).read().strip()

        refused = subprocess.run(argv, capture_output=True, text=True, timeout=30)
        assert refused.returncode == 5, refused.stdout + refused.stderr
        assert ("the name 'DataStore' is bound to another server that is running; refusing to "
                "take it over") in refused.stderr
        bound = nameclt([], own.corbaloc, "resolve", "DataStore").stdout.strip()
        assert bound == ior
        read = run_host(*args, "import _datastore as d; print(d.get(['k'], 0)[1])", orb=False)
        assert read.stdout.strip() == "{'k': 'mine'}", read.stderr

        # A name left bound by a server that is gone is taken over.
        own.kill9("datastore")
        replacement = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                       text=True)
        try:
            assert "ready" in replacement.stdout.readline()
            assert nameclt([], own.corbaloc, "resolve", "DataStore").stdout.strip() != ior
        finally:
            replacement.terminate()
            replacement.wait(timeout=30)
    finally:
        own.down()
        shutil.rmtree(folder, ignore_errors=True)


def test_the_installations_orb_configuration_names_the_naming_service(stack, run_host, tmp_path,
                                                                      build_dir, channel):
    conf = tmp_path / "orb.conf"
    conf.write_text("# as the packages install it, pointing at this stack\n"
                    "InitRef = NameService=%s\n" % stack.corbaloc)
    env = dict(os.environ, QMR_ORB_CONF=str(conf))
    # qmr-listen with no ORB option finds the channel through the file.
    listen = subprocess.Popen([os.path.join(build_dir, "bin", "qmr-listen"), "--count", "1",
                               "--timeout", "20", channel], env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    try:
        said = []
        while not said or ("listening on " not in said[-1] and said[-1]):
            said.append(listen.stderr.readline())
        assert "listening on " + channel in said[-1], said
        script = ("import _datastore as d, _MiscCorba as m; d.set([('orbconf', 'found', 0)]); "
                  "d.commit(); print(d.get(['orbconf'], 0)[1]); "
                  "m.signalEvent('%s', 'orbconf', 'v')" % channel)
        with_file = run_host("-c", script, orb=False, env={"QMR_ORB_CONF": str(conf)})
        assert with_file.returncode == 0, with_file.stderr
        assert with_file.stdout.strip() == "{'orbconf': 'found'}"
        out, err = listen.communicate(timeout=30)
        assert listen.returncode == 0 and out.strip() == "%s orbconf v" % channel, out + err
    finally:
        if listen.poll() is None:
            listen.kill()
            listen.wait()

    # The same without the file: no Naming Service, so no data store (status 3), and the
    # advice names installed commands only.
    without = run_host("-c", script, orb=False, env={"QMR_ORB_CONF": ""})
    assert without.returncode == 3, without.stdout + without.stderr
    assert "cannot reach the data store" in without.stderr and "./qmr" not in without.stderr
