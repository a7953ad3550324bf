#!/usr/bin/python3
"""qmrstack - a local stack of the services the client talks to, on 127.0.0.1.

Starts, in one folder, omniNames (naming), omniEvents (event channels, created with eventc)
and qmr-datastored (the reference data store, SQLite file in the folder; or, with
postgres=True / `up --postgres`, a PostgreSQL server of the stack's own), each on a free
loopback port, each writing its own log file into the folder. The process ids, ports and
start times are kept in DIR/stack.json so that any process (a shell, a test run inside
qmr-host, a later `down`) can stop, kill or restart each server by its process id.

Used as a module:

    from qmrstack import Stack
    stack = Stack.up("/tmp/mystack", channels=["TestChannel"], build="build")
    args = stack.orb_args()     # ['-ORBInitRef', 'NameService=corbaloc::127.0.0.1:P/NameService']
    stack.kill9("datastore"); stack.restart("datastore")
    stack.down()

    stack = Stack.load("/tmp/mystack")   # attach to a stack another process started

Servers are started detached from the starting process (double fork, new session), so a stop
or kill by one process is seen by every other process that reads the state file; they do not
die with the process that started them: call down() (the CLI and tests/python/run do so on
every exit path).

This file is the one definition of the stack's servers: their command lines, their
environment and when each is ready (server_argv, server_env, prepare, is_ready). The C++ test
harness (tests/harness) starts its servers through `qmrstack.py exec` and waits with
`qmrstack.py ready`, so a change here reaches both.

Every server runs with umask 077. omniNames and omniEvents run with libqmr_confine.so
preloaded (tools/confine/confine.c): omniEvents always adds an endpoint on every interface
and resets its umask to 0, which no option of its own prevents; the library turns wildcard
binds into loopback ones and keeps the umask the server was started with.
"""

import argparse
import errno
import json
import os
import shlex
import shutil
import signal
import socket
import stat
import struct
import sys
import time

STATE_FILE = "stack.json"
SERVERS = ("naming", "events", "postgres", "datastore")  # start order; stopped in reverse
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CHILD_UMASK = 0o077  # nothing a server writes is readable by other users
CONFINE_LIBRARY = os.path.join("lib", "libqmr_confine.so")  # in the build folder
POSTGRES_USER = "qmr"  # the superuser that initdb creates; trust authentication on loopback
POSTGRES_STANDBY_NAME = "qmrstandby"  # a standby's cluster_name, as the primary names it


class StackError(RuntimeError):
    """A server of the stack could not be started, found or stopped."""


def free_port():
    """A TCP port on 127.0.0.1 that was free a moment ago."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_open(port):
    """True if something accepts connections on 127.0.0.1:port."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.settimeout(0.5)
        return s.connect_ex(("127.0.0.1", port)) == 0


def wait_for(condition, timeout=10.0, interval=0.02):
    """Polls condition() until it is true or timeout seconds pass; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def default_dir():
    """The stack folder of `./qmr up`: $QMR_STACK_DIR, else qmr-stack in $XDG_RUNTIME_DIR (a
    folder of the user's own), else /tmp/qmr-stack-UID. A fixed name in /tmp could be created
    first by another user; private_folder() refuses such a folder."""
    if os.environ.get("QMR_STACK_DIR"):
        return os.path.abspath(os.environ["QMR_STACK_DIR"])
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    if runtime and os.path.isabs(runtime) and os.path.isdir(runtime):
        return os.path.join(runtime, "qmr-stack")
    return "/tmp/qmr-stack-%d" % os.geteuid()


def private_folder(path):
    """Creates path (mode 0700) if it is missing; raises StackError unless it is a folder that
    this user owns and that no other user can write (a symbolic link must be ours too)."""
    try:
        os.makedirs(path, mode=0o700)
    except FileExistsError:
        pass
    except OSError as e:
        raise StackError("cannot create the stack folder %s: %s" % (path, e))
    return check_private(path)


def check_private(path):
    """Raises StackError unless path is a folder of this user that no other user can write:
    pids and files named in such a folder are not to be trusted."""
    uid = os.geteuid()
    for what, st in (("link", os.lstat(path)), ("folder", os.stat(path))):
        if st.st_uid != uid:
            raise StackError("the stack folder %s (%s) belongs to uid %d, not to you (uid %d): "
                             "someone else may have created it; choose another folder"
                             % (path, what, st.st_uid, uid))
    st = os.stat(path)
    if not stat.S_ISDIR(st.st_mode):
        raise StackError("%s is not a folder" % path)
    if st.st_mode & 0o022:
        raise StackError("the stack folder %s can be written by other users (mode %o); "
                         "chmod go-w it or choose another folder"
                         % (path, stat.S_IMODE(st.st_mode)))
    return path


# ---- PostgreSQL: binaries, the unprivileged user, the cluster

def postgres_bindir():
    """The folder of postgres, initdb and pg_basebackup: Debian's newest
    /usr/lib/postgresql/VERSION/bin, else the one of `postgres` on PATH."""
    import glob
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/postgres"),
                   key=lambda p: int(p.split("/")[4]) if p.split("/")[4].isdigit() else 0)
    if found:
        return os.path.dirname(found[-1])
    on_path = shutil.which("postgres")
    if on_path:
        return os.path.dirname(os.path.realpath(on_path))
    raise StackError("PostgreSQL is not installed (no postgres program); run ./qmr deps")


def postgres_user_prefix():
    """PostgreSQL refuses to run as root: as root its programs run as nobody (setpriv, which
    execs, so the process id stays the one the caller watches, and keeps a parent-death signal
    that the caller set); as anyone else, as that user."""
    if os.geteuid() != 0:
        return []
    import pwd
    nobody = pwd.getpwnam("nobody")
    return ["setpriv", "--reuid=%d" % nobody.pw_uid, "--regid=%d" % nobody.pw_gid,
            "--clear-groups", "--pdeathsig", "keep", "--"]


def postgres_uri(port, options=None):
    """The libpq URI of the stack's PostgreSQL on 127.0.0.1:port (database postgres); options
    is e.g. "-csearch_path=NAME" to give a server a schema of its own."""
    uri = "postgresql://%s@127.0.0.1:%d/postgres" % (POSTGRES_USER, port)
    if options:
        from urllib.parse import quote
        uri += "?options=" + quote(options, safe="")
    return uri


def _postgres_reachable_folder(data):
    """As root, the cluster belongs to nobody, which must be able to reach it: the folder
    holding it (the stack's own, 0700) becomes 0711, searchable but not listable; any folder
    above must be searchable already."""
    if os.geteuid() != 0:
        return
    parent = os.path.dirname(os.path.abspath(data))
    st = os.stat(parent)
    if st.st_uid == 0 and not st.st_mode & 0o001:
        os.chmod(parent, stat.S_IMODE(st.st_mode) | 0o011)
    above = os.path.dirname(parent)
    while above and above != "/":
        if not os.stat(above).st_mode & 0o001:
            raise StackError("PostgreSQL runs as nobody and cannot reach %s through %s (mode "
                             "%o); choose a stack folder under /tmp (--dir or QMR_STACK_DIR)"
                             % (data, above, stat.S_IMODE(os.stat(above).st_mode)))
        above = os.path.dirname(above)


def _postgres_run(argv, data, log_name):
    """Runs a PostgreSQL program as the PostgreSQL user in data; raises StackError with its
    output when it fails."""
    import subprocess
    log_path = os.path.join(data, log_name)
    with open(os.open(log_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600), "ab") as log:
        rc = subprocess.run(postgres_user_prefix() + argv, cwd=data, stdin=subprocess.DEVNULL,
                            stdout=log, stderr=log, timeout=120).returncode
    if rc != 0:
        raise StackError("%s failed (status %s); its log %s says:\n%s"
                         % (os.path.basename(argv[0]), rc, log_path, _read(log_path).strip()))


def _wait_for_old_backends(cluster, timeout=15.0):
    """After a SIGKILL of the postmaster its backends live on for a moment (until they notice),
    and a new postmaster refuses the cluster while they hold its shared memory, or while the old
    postmaster's process id exists (until it is reaped). The backends run in the cluster folder:
    waits until no process does and the old process id is gone."""
    real = os.path.realpath(cluster)
    old = _read(os.path.join(cluster, "postmaster.pid")).split("\n")[0].strip()
    if old.isdigit():
        wait_for(lambda: not os.path.exists("/proc/" + old), timeout=timeout)

    def left():
        found = []
        for pid in os.listdir("/proc"):
            if pid.isdigit():
                try:
                    if os.readlink("/proc/%s/cwd" % pid) == real:
                        found.append(int(pid))
                except OSError:
                    pass
        return found
    if not wait_for(lambda: not left(), timeout=timeout):
        raise StackError("processes %s still run in %s; stop them before starting PostgreSQL "
                         "there again" % (left(), cluster))


def prepare_postgres(data, primary_port=0):
    """Creates the cluster in data/cluster unless it exists: initdb (superuser qmr, trust
    authentication, which initdb's pg_hba.conf limits to loopback and the socket), or, with
    primary_port, a streaming standby copied from that primary (pg_basebackup -R)."""
    try:
        os.makedirs(data, mode=0o700)
    except FileExistsError:
        pass
    _postgres_reachable_folder(data)
    if os.geteuid() == 0:
        import pwd
        nobody = pwd.getpwnam("nobody")
        st = os.lstat(data)
        if st.st_uid not in (0, nobody.pw_uid) or not stat.S_ISDIR(st.st_mode):
            raise StackError("the PostgreSQL folder %s belongs to uid %d; choose another folder"
                             % (data, st.st_uid))
        os.chown(data, nobody.pw_uid, nobody.pw_gid)
    else:
        check_private(data)
    cluster = os.path.join(data, "cluster")
    if os.path.exists(os.path.join(cluster, "PG_VERSION")):
        _wait_for_old_backends(cluster)
        return
    bindir = postgres_bindir()
    if primary_port:
        _postgres_run([os.path.join(bindir, "pg_basebackup"), "-h", "127.0.0.1", "-p",
                       str(primary_port), "-U", POSTGRES_USER, "-D", cluster, "-R",
                       "-X", "stream", "--no-sync"], data, "pg_basebackup.log")
    else:
        _postgres_run([os.path.join(bindir, "initdb"), "-D", cluster, "-U", POSTGRES_USER,
                       "--auth=trust", "-E", "UTF8", "--locale=C", "--no-sync"],
                      data, "initdb.log")


# ---- the one definition of the servers: command lines, environment, readiness

def corbaloc(naming_port):
    return "corbaloc::127.0.0.1:%d/NameService" % naming_port


def server_argv(server, data, port=0, naming_port=0, build=None, name="DataStore", extra=(),
                program="qmr-datastored", db=None, standby=False):
    """The command line of `server` with its data in folder `data`: "naming" (omniNames on
    port), "events" (omniEvents on port), "postgres" (PostgreSQL on 127.0.0.1:port, its socket
    in data, with the settings extra, e.g. ["-c", "synchronous_standby_names=qmrstandby"];
    standby: named as the primary's synchronous_standby_names expects), "datastore" (program of
    build, qmr-datastored or its test build qmr-datastored-faults, registered as name, on the
    database db (default: the SQLite file in data), with the flags extra) or "channel" (eventc
    creating the channel extra[0])."""
    endpoint = "giop:tcp:127.0.0.1:%d" % port
    init_ref = ["-ORBInitRef", "NameService=" + corbaloc(naming_port)]
    if server == "naming":
        # -always: a fresh start the first time, a start from the data file on a restart.
        return ["omniNames", "-start", str(port), "-always", "-logdir", data,
                "-ORBendPoint", endpoint]
    if server == "events":
        # -p sets the port on a cold start; on a warm start omniEvents reads it from its data
        # file. Publishing 127.0.0.1 keeps its references on loopback.
        return ["omniEvents", "-f", "-l", data, "-p", str(port)] + init_ref + [
            "-ORBendPointPublish", endpoint]
    if server == "postgres":
        # Loopback only, no socket outside the folder; a commit returns once it is on disk
        # (synchronous_commit on, fsync on: the defaults, given so that nothing else decides).
        return postgres_user_prefix() + [
            os.path.join(postgres_bindir(), "postgres"), "-D", os.path.join(data, "cluster"),
            "-p", str(port), "-c", "listen_addresses=127.0.0.1",
            "-c", "unix_socket_directories=" + os.path.abspath(data),
            "-c", "max_connections=200", "-c", "synchronous_commit=on", "-c", "fsync=on",
            "-c", "cluster_name=" + (POSTGRES_STANDBY_NAME if standby else "qmrprimary"),
        ] + list(extra)
    if server == "datastore":
        exe = os.path.join(os.path.abspath(build or os.path.join(SOURCE_DIR, "build")), "bin",
                           program)
        return [exe, "--db", db or os.path.join(data, "datastore.db"), "--name", name,
                "--ior-file", os.path.join(data, "datastore.ior")] + list(extra) + init_ref
    if server == "channel":
        return ["eventc", "-n", extra[0]] + init_ref
    raise StackError("unknown server %r" % server)


def server_env(server, build=None, env=None):
    """The environment of `server`: env (default: ours), with libqmr_confine.so preloaded into
    omniNames and omniEvents. Our own programs bind where they are told and are left alone
    (a sanitizer runtime must come first in theirs)."""
    env = dict(os.environ if env is None else env)
    if server in ("naming", "events"):
        lib = os.path.join(os.path.abspath(build or os.path.join(SOURCE_DIR, "build")),
                           CONFINE_LIBRARY)
        if not os.path.exists(lib):
            raise StackError("%s is missing; build it first with ./qmr build (or pass --build "
                             "DIR)" % lib)
        env["LD_PRELOAD"] = " ".join([lib] + [p for p in [env.get("LD_PRELOAD")] if p])
    return env


def prepare(server, data, primary_port=0):
    """Readies the data folder of `server` before it starts: created private, and no reference
    left from an earlier run that is_ready() could mistake for a new one; for postgres, the
    cluster (prepare_postgres)."""
    if server == "postgres":
        prepare_postgres(data, primary_port)
        return
    private_folder(data)
    if server == "datastore":
        try:
            os.remove(os.path.join(data, "datastore.ior"))
        except FileNotFoundError:
            pass


def root_context_answers(port):
    """True when omniNames on 127.0.0.1:port has activated its root context. It accepts
    connections a moment before, and calls in between fail with OBJECT_NOT_EXIST, so an open
    port is not enough: a GIOP 1.2 LocateRequest for the key "NameService" must be answered
    OBJECT_HERE. Plain sockets, so that neither side needs omniORBpy."""
    key = b"NameService"
    # request id, TargetAddress KeyAddr (short 0, two pad octets), sequence<octet> key
    body = struct.pack(">IhxxI", 1, 0, len(key)) + key
    message = b"GIOP\x01\x02\x00\x03" + struct.pack(">I", len(body)) + body
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1.0) as s:
            s.sendall(message)
            reply = b""
            while len(reply) < 20:
                chunk = s.recv(4096)
                if not chunk:
                    return False
                reply += chunk
    except OSError:
        return False
    if reply[:4] != b"GIOP" or reply[7] != 4:  # 4: LocateReply
        return False
    order = "<" if reply[6] & 1 else ">"
    return struct.unpack(order + "I", reply[16:20])[0] == 1  # OBJECT_HERE


def is_ready(server, data, port=0):
    """True once `server` serves: omniNames' root context answers, omniEvents accepts
    connections, qmr-datastored has written its reference to DATA/datastore.ior."""
    if server == "naming":
        return port_open(port) and root_context_answers(port)
    if server == "events":
        return port_open(port)
    if server == "datastore":
        return bool(_read(os.path.join(data, "datastore.ior")).strip())
    if server == "postgres":
        # Accepting connections (pg_isready), not merely listening: "starting up" is not ready.
        import subprocess
        return port_open(port) and subprocess.run(
            [os.path.join(postgres_bindir(), "pg_isready"), "-q", "-h", "127.0.0.1", "-p",
             str(port), "-U", POSTGRES_USER, "-d", "postgres"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL).returncode == 0
    raise StackError("unknown server %r" % server)


def listening(pid):
    """"ADDRESS:PORT" of each TCP socket that process pid listens on (from /proc), so that
    anyone can check that a server is reachable from this machine only."""
    inodes = set()
    fds = "/proc/%d/fd" % pid
    for fd in os.listdir(fds):
        try:
            target = os.readlink(os.path.join(fds, fd))
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    found = []
    for table, family in (("tcp", socket.AF_INET), ("tcp6", socket.AF_INET6)):
        with open("/proc/%d/net/%s" % (pid, table)) as f:
            for line in f.readlines()[1:]:
                fields = line.split()
                if fields[3] != "0A" or fields[9] not in inodes:  # 0A: LISTEN
                    continue
                hexaddr, hexport = fields[1].split(":")
                # The kernel prints the address as 32-bit words in host (little-endian) order.
                raw = b"".join(bytes.fromhex(hexaddr[i:i + 8])[::-1]
                               for i in range(0, len(hexaddr), 8))
                found.append("%s:%d" % (socket.inet_ntop(family, raw), int(hexport, 16)))
    return found


def _read(path):
    try:
        with open(path, "r", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def _start_time(pid):
    """The kernel's start time of pid (clock ticks since boot), or None if there is no such
    live process. A zombie counts as gone. Together with the pid it names one process, so a
    recycled pid is never mistaken for ours."""
    try:
        with open("/proc/%d/stat" % pid, "r") as f:
            stat = f.read()
    except OSError:
        return None
    # The command name (field 2) is in parentheses and may hold spaces: split after it.
    fields = stat[stat.rindex(")") + 2:].split()
    if fields[0] in ("Z", "X"):
        return None
    return int(fields[19])


def spawn(argv, log_path, cwd=None, env=None):
    """Starts argv detached (own session, reparented away from us) with umask 077 and env
    (default: ours), stdin from /dev/null and stdout+stderr appended to log_path. Returns
    (pid, start_time). Raises StackError if the program cannot be run."""
    rfd, wfd = os.pipe()
    child = os.fork()
    if child == 0:  # intermediate: new session, fork the server, leave at once
        try:
            os.close(rfd)
            os.setsid()
            pid = os.fork()
            if pid == 0:  # the server
                try:
                    os.umask(CHILD_UMASK)
                    log = os.open(log_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
                    null = os.open(os.devnull, os.O_RDONLY)
                    os.dup2(null, 0)
                    os.dup2(log, 1)
                    os.dup2(log, 2)
                    # Nothing else of ours (pipes of a caller's shell, say) goes with it.
                    os.closerange(3, wfd)
                    os.closerange(wfd + 1, os.sysconf("SC_OPEN_MAX"))
                    if cwd:
                        os.chdir(cwd)
                    os.execvpe(argv[0], argv, os.environ if env is None else env)
                except BaseException as e:  # exec failed: report through the pipe
                    try:
                        os.write(wfd, ("E" + str(e)).encode(errors="replace"))
                    finally:
                        os._exit(127)
            os.write(wfd, ("P%d\n" % pid).encode())
        finally:
            os._exit(0)
    os.close(wfd)
    os.waitpid(child, 0)
    data = b""
    while True:
        chunk = os.read(rfd, 4096)
        if not chunk:
            break
        data += chunk
    os.close(rfd)
    text = data.decode(errors="replace")
    if not text.startswith("P"):
        raise StackError("cannot start %s: fork failed" % argv[0])
    first, _, rest = text.partition("\n")
    if rest.startswith("E"):
        raise StackError("cannot run %s: %s (is it installed? run ./qmr deps)" % (argv[0], rest[1:]))
    pid = int(first[1:])
    start = wait_for(lambda: _start_time(pid), timeout=2.0)
    return pid, start


class Stack:
    """omniNames + omniEvents (+ channels) + qmr-datastored (+ PostgreSQL, when the data store
    uses it) in one folder on 127.0.0.1."""

    def __init__(self, folder, build=None, datastore_name="DataStore", postgres=False):
        self.dir = os.path.abspath(folder)
        self.build = os.path.abspath(build or os.path.join(SOURCE_DIR, "build"))
        self.datastore_name = datastore_name
        self.postgres = postgres
        self.channels = []
        self.ports = {}
        self.procs = {}  # name -> {"pid", "start", "argv", "log"}

    # ---- construction

    @classmethod
    def up(cls, folder, channels=(), build=None, datastore=True, datastore_name="DataStore",
           postgres=False):
        """Creates folder if needed and starts every server; on any failure stops what it
        started and raises StackError with the failing server's log. postgres: the data store
        keeps its entries in a PostgreSQL server of the stack (cluster in FOLDER/postgres,
        kept like the SQLite file) instead of FOLDER/datastore.db."""
        stack = cls(folder, build, datastore_name, postgres)
        private_folder(stack.dir)
        if os.path.exists(stack.state_path):
            old = cls.load(stack.dir)
            if old.running_servers():
                raise StackError("a stack is already running in %s (%s); stop it first with: "
                                 "tools/qmrstack.py down --dir %s"
                                 % (stack.dir, ", ".join(old.running_servers()), stack.dir))
            # A new start gets new ports: the naming and event data of the last run name the
            # old ones, so they go. The database stays.
            for sub in ("naming", "events"):
                shutil.rmtree(os.path.join(stack.dir, sub), ignore_errors=True)
        try:
            stack.ports["naming"] = free_port()
            stack.ports["events"] = free_port()
            stack._start("naming")
            stack._start("events")
            for name in channels:
                stack.create_channel(name)
            if postgres:
                stack.ports["postgres"] = free_port()
                stack._start("postgres")
            if datastore:
                stack._start_datastore()
        except BaseException:
            stack.down()
            raise
        return stack

    @classmethod
    def load(cls, folder_or_state):
        """Attaches to a stack started by another process, from its folder or state file."""
        path = folder_or_state
        if os.path.isdir(path):
            path = os.path.join(path, STATE_FILE)
        if os.path.isdir(os.path.dirname(path) or "."):
            check_private(os.path.dirname(path) or ".")
        try:
            with open(path) as f:
                state = json.load(f)
        except (OSError, ValueError) as e:
            raise StackError("no stack state in %s (%s); start one with: tools/qmrstack.py up "
                             "--dir DIR" % (path, e))
        stack = cls(state["dir"], state["build"], state["datastore_name"],
                    state.get("postgres", False))
        stack.channels = list(state["channels"])
        stack.ports = dict(state["ports"])
        stack.procs = dict(state["procs"])
        return stack

    @property
    def state_path(self):
        return os.path.join(self.dir, STATE_FILE)

    def _save(self):
        state = {"dir": self.dir, "build": self.build, "datastore_name": self.datastore_name,
                 "postgres": self.postgres,
                 "channels": self.channels, "ports": self.ports, "procs": self.procs}
        tmp = self.state_path + ".tmp"
        with open(os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
            json.dump(state, f, indent=1)
        os.replace(tmp, self.state_path)

    def _reload(self):
        """Picks up pids that another process recorded (e.g. after its restart())."""
        if os.path.exists(self.state_path):
            other = Stack.load(self.state_path)
            self.procs, self.ports, self.channels = other.procs, other.ports, other.channels

    # ---- addresses

    @property
    def naming_port(self):
        return self.ports["naming"]

    @property
    def corbaloc(self):
        return corbaloc(self.naming_port)

    def orb_args(self):
        """ORB options that make a program's "NameService" this stack's omniNames."""
        return ["-ORBInitRef", "NameService=" + self.corbaloc]

    def log_path(self, server):
        return os.path.join(self.dir, {"naming": "omniNames.log", "events": "omniEvents.log",
                                       "postgres": "postgres.log",
                                       "datastore": "qmr-datastored.log"}.get(server,
                                                                             server + ".log"))

    def log(self, server):
        return _read(self.log_path(server))

    @property
    def db_path(self):
        return os.path.join(self.dir, "datastore.db")

    @property
    def db(self):
        """What the data store's --db names: the PostgreSQL URI or the SQLite file."""
        return postgres_uri(self.ports["postgres"]) if self.postgres else self.db_path

    @property
    def ior_path(self):
        return os.path.join(self.dir, "datastore.ior")

    # ---- starting

    def _data(self, server):
        return self.dir if server == "datastore" else os.path.join(self.dir, server)

    def _start(self, server):
        """Starts server from its definition and waits until it is ready (10 s at most)."""
        data = self._data(server)
        prepare(server, data)
        port = self.ports.get(server, 0)
        argv = server_argv(server, data, port, self.naming_port, self.build,
                           self.datastore_name, db=self.db if server == "datastore" else None)
        pid, start = spawn(argv, self.log_path(server), cwd=self.dir,
                           env=server_env(server, self.build))
        self.procs[server] = {"pid": pid, "start": start, "argv": argv,
                              "log": self.log_path(server)}
        self._save()
        if not wait_for(lambda: is_ready(server, data, port) or not self.running(server)):
            self._fail(server, "did not get ready within 10 s")
        if not self.running(server):
            self._fail(server, "exited at start")

    def _fail(self, server, what):
        log = self.log(server)
        self.kill9(server)
        raise StackError("%s %s; its log %s says:\n%s" % (server, what, self.log_path(server),
                                                         log.strip() or "(nothing)"))

    def _start_datastore(self):
        exe = server_argv("datastore", self.dir, build=self.build)[0]
        if not os.access(exe, os.X_OK):
            raise StackError("%s is missing; build it first with ./qmr build (or pass --build "
                             "DIR)" % exe)
        self._start("datastore")

    def create_channel(self, name):
        """Creates an event channel bound in the naming service as name (eventc -n)."""
        import subprocess
        log_path = os.path.join(self.dir, "eventc.log")
        with open(os.open(log_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600), "ab") as log:
            try:
                rc = subprocess.run(server_argv("channel", self.dir, naming_port=self.naming_port,
                                                extra=[name]),
                                    stdin=subprocess.DEVNULL, stdout=log, stderr=log, timeout=15,
                                    cwd=self.dir).returncode
            except subprocess.TimeoutExpired:
                rc = "timeout"
            except OSError as e:
                raise StackError("cannot run eventc: %s (run ./qmr deps)" % e)
        if rc != 0:
            raise StackError("eventc -n %s failed (%s); its log %s says:\n%s"
                             % (name, rc, log_path, _read(log_path).strip()))
        if name not in self.channels:
            self.channels.append(name)
            self._save()

    def restart(self, server):
        """Starts server again where it was: same port and data for naming and events (bindings
        and channels survive), same database and name for the data store. Stops it first if it
        still runs."""
        self._reload()
        if server not in SERVERS:
            raise StackError("unknown server %r (one of %s)" % (server, ", ".join(SERVERS)))
        self.stop(server)
        if server == "datastore":
            self._start_datastore()
        else:
            self._start(server)

    # ---- state and stopping

    def pid(self, server):
        self._reload()
        proc = self.procs.get(server)
        return proc["pid"] if proc else None

    def running(self, server):
        proc = self.procs.get(server)
        return bool(proc) and proc["pid"] > 0 and _start_time(proc["pid"]) == proc["start"]

    def running_servers(self):
        return [s for s in self.procs if self.running(s)]

    def _signal(self, server, sig):
        proc = self.procs.get(server)
        if not proc or not self.running(server):
            return False
        try:
            os.kill(proc["pid"], sig)
        except OSError as e:
            if e.errno != errno.ESRCH:
                raise
            return False
        return True

    def stop(self, server, grace=5.0):
        """SIGTERM, then SIGKILL after grace seconds; returns once the process is gone."""
        self._reload()
        if self._signal(server, signal.SIGTERM):
            if not wait_for(lambda: not self.running(server), timeout=grace):
                self._signal(server, signal.SIGKILL)
                wait_for(lambda: not self.running(server), timeout=5.0)
        self._forget(server)

    def kill9(self, server):
        """SIGKILL at once (a crash, as far as clients can tell); returns once it is gone."""
        self._reload()
        if self._signal(server, signal.SIGKILL):
            wait_for(lambda: not self.running(server), timeout=5.0)
        self._forget(server)

    def suspend(self, server):
        """SIGSTOP: the server keeps its port but answers nothing (a hung server)."""
        self._reload()
        self._signal(server, signal.SIGSTOP)

    def resume(self, server):
        self._reload()
        self._signal(server, signal.SIGCONT)

    def _forget(self, server):
        proc = self.procs.get(server)
        if proc is not None:
            proc["pid"], proc["start"] = 0, None
            if os.path.isdir(self.dir):
                self._save()

    def down(self):
        """Stops every server of the stack, the last started first."""
        self._reload()
        for server in [s for s in reversed(SERVERS) if s in self.procs]:
            self._signal(server, signal.SIGCONT)
            self.stop(server)

    def env(self):
        return {"QMR_STACK_DIR": self.dir, "QMR_STACK_STATE": self.state_path,
                "QMR_NAMESERVICE": self.corbaloc, "QMR_ORB_ARGS": " ".join(self.orb_args()),
                "QMR_DB": self.db}


# ---- command line

def _cli_up(args):
    stack = Stack.up(args.dir, channels=args.channel or [], build=args.build,
                     datastore=not args.no_datastore, datastore_name=args.datastore,
                     postgres=args.postgres)
    for server in stack.procs:
        print("%-9s pid %-7d log %s" % (server, stack.procs[server]["pid"],
                                        stack.log_path(server)))
    if stack.channels:
        print("channels  %s" % " ".join(stack.channels))
    if stack.postgres:
        print("database  %s" % stack.db)
    print("orb args  %s" % " ".join(shlex.quote(a) for a in stack.orb_args()))
    return 0


def _cli_down(args):
    if not os.path.exists(os.path.join(args.dir, STATE_FILE)):
        print("qmrstack: no stack in %s (nothing to stop)" % args.dir, file=sys.stderr)
        return 0
    stack = Stack.load(args.dir)
    was = stack.running_servers()
    stack.down()
    print("stopped %s" % (", ".join(was) or "nothing (no server was running)"))
    return 0


def _cli_env(args):
    stack = Stack.load(args.dir)
    for key, value in stack.env().items():
        print("export %s=%s" % (key, shlex.quote(value)))
    return 0


def _cli_status(args):
    stack = Stack.load(args.dir)
    rc = 0
    for server, proc in stack.procs.items():
        alive = stack.running(server)
        rc = rc if alive else 1
        print("%-9s %-8s pid %-7s log %s" % (server, "running" if alive else "stopped",
                                             proc["pid"] or "-", stack.log_path(server)))
        if alive:
            print("          listens on %s" % " ".join(listening(proc["pid"])))
    return rc


def _cli_listening(args):
    for pid in args.pid:
        print("%d %s" % (pid, " ".join(listening(pid))))
    return 0


def _cli_server(action):
    def run(args):
        stack = Stack.load(args.dir)
        getattr(stack, action)(args.server)
        print("%s %s (pid %s)" % (args.server, action, stack.pid(args.server) or "-"))
        return 0
    return run


def _cli_exec(args):
    """Becomes the server (same process id), so that the caller can watch and stop it as its own
    child: the C++ test harness starts its servers this way."""
    extra = args.extra
    if args.server == "channel" and len(extra) != 1:
        raise StackError("exec channel takes one channel name")
    if args.server != "channel":
        prepare(args.server, args.data, args.primary_port)
    argv = server_argv(args.server, args.data, args.port, args.naming_port, args.build,
                       args.name, extra, args.program, db=args.db, standby=bool(args.primary_port))
    env = server_env(args.server, args.build)
    os.umask(CHILD_UMASK)
    if args.server == "postgres":
        os.chdir(args.data)  # a folder that the PostgreSQL user can reach
    sys.stdout.flush()
    try:
        os.execvpe(argv[0], argv, env)
    except OSError as e:
        raise StackError("cannot run %s: %s (is it installed? run ./qmr deps)" % (argv[0], e))


def _became(pid, server):
    """True once process pid runs the program of server: `exec` prepared the data folder (and
    removed an old reference file) before that, so is_ready() is not fooled by an earlier run."""
    try:
        exe = os.readlink("/proc/%d/exe" % pid)
    except OSError:
        return False
    # startswith: the data store may be its test build, qmr-datastored-faults.
    argv = server_argv(server, ".")
    if server == "postgres":
        argv = argv[len(postgres_user_prefix()):]
    return os.path.basename(exe).startswith(os.path.basename(argv[0]))


def _cli_ready(args):
    """Exit status 0 once the server is ready, 1 when it is not within --timeout or when --pid
    is gone first."""
    def gone():
        return args.pid is not None and _start_time(args.pid) is None

    def ready():
        return ((args.pid is None or _became(args.pid, args.server))
                and is_ready(args.server, args.data, args.port))
    if wait_for(lambda: ready() or gone(), timeout=args.timeout) and not gone():
        return 0
    print("qmrstack: %s %s" % (args.server, "exited at start" if gone() else
                               "did not get ready within %g s" % args.timeout), file=sys.stderr)
    return 1


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="qmrstack.py",
        description="Start and stop omniNames, omniEvents (with channels) and qmr-datastored on "
                    "127.0.0.1 in one folder; pids, ports and logs are kept in the folder.",
        epilog="Example: tools/qmrstack.py up --dir /tmp/s --channel Demo && "
               "eval \"$(tools/qmrstack.py env --dir /tmp/s)\" && "
               "build/bin/qmr-host $QMR_ORB_ARGS script.py; tools/qmrstack.py down --dir /tmp/s")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    dir_help = ("folder for data, logs and the state file (default: $QMR_STACK_DIR, else "
                "$XDG_RUNTIME_DIR/qmr-stack, else /tmp/qmr-stack-UID; now %s)" % default_dir())
    p = sub.add_parser("up", help="start the stack in --dir (created, mode 0700, if needed; "
                                  "refused if another user owns it or can write it)")
    p.add_argument("--dir", default=default_dir(), help=dir_help)
    p.add_argument("--channel", action="append", metavar="NAME",
                   help="create an event channel bound as NAME (repeatable)")
    p.add_argument("--build", help="build folder holding bin/qmr-datastored (default: build/)")
    p.add_argument("--datastore", default="DataStore", metavar="NAME",
                   help="name the data store registers under (default: DataStore)")
    p.add_argument("--no-datastore", action="store_true", help="do not start qmr-datastored")
    p.add_argument("--postgres", action="store_true",
                   help="also start PostgreSQL (as nobody when run as root; cluster in "
                        "DIR/postgres) and keep the data store's entries there")
    p.set_defaults(func=_cli_up)

    p = sub.add_parser("down", help="stop every process of the stack in --dir, by pid")
    p.add_argument("--dir", default=default_dir(), help=dir_help)
    p.set_defaults(func=_cli_down)

    p = sub.add_parser("env", help="print shell exports (QMR_ORB_ARGS, ...) for the stack")
    p.add_argument("--dir", default=default_dir(), help=dir_help)
    p.set_defaults(func=_cli_env)

    p = sub.add_parser("status", help="show each process; exit 1 if one is not running")
    p.add_argument("--dir", default=default_dir(), help=dir_help)
    p.set_defaults(func=_cli_status)

    for action, text in (("stop", "stop one server (TERM, then KILL)"),
                         ("kill9", "kill one server with SIGKILL"),
                         ("restart", "start one server again on its port / database")):
        p = sub.add_parser(action, help=text)
        p.add_argument("--dir", default=default_dir(), help=dir_help)
        p.add_argument("server", choices=SERVERS)
        p.set_defaults(func=_cli_server(action))

    p = sub.add_parser("listening", help="print the TCP addresses that each process listens on")
    p.add_argument("pid", type=int, nargs="+")
    p.set_defaults(func=_cli_listening)

    p = sub.add_parser("default-dir", help="print the default stack folder")
    p.set_defaults(func=lambda args: print(default_dir()) or 0)

    p = sub.add_parser("exec", help="become one server as the stack defines it (for a caller "
                                    "that runs it as its own child, e.g. the C++ test harness)")
    p.add_argument("server", choices=SERVERS + ("channel",))
    p.add_argument("--data", default=".", help="the server's data folder (created if needed)")
    p.add_argument("--port", type=int, default=0, help="the port of naming or events")
    p.add_argument("--naming-port", type=int, default=0, help="the port of omniNames")
    p.add_argument("--build", help="build folder (default: build/)")
    p.add_argument("--name", default="DataStore", help="the data store's name")
    p.add_argument("--program", default="qmr-datastored",
                   help="the data store's program in the build's bin/ (default qmr-datastored; "
                        "tests use qmr-datastored-faults)")
    p.add_argument("--db", help="the data store's --db (default: datastore.db in --data)")
    p.add_argument("--primary-port", type=int, default=0,
                   help="postgres: make the cluster a streaming standby of the primary on this "
                        "port (pg_basebackup -R), named qmrstandby")
    p.set_defaults(func=_cli_exec)
    p.epilog = ("After --: more flags of qmr-datastored, or the name of the channel to create. "
                "Example: qmrstack.py exec datastore --data D --naming-port 5000 -- "
                "--max-sessions 4; qmrstack.py exec postgres --data D --port 5433 -- -c "
                "synchronous_standby_names=qmrstandby")

    p = sub.add_parser("ready", help="wait until one server is ready (status 0) or not (1)")
    p.add_argument("server", choices=SERVERS)
    p.add_argument("--data", default=".", help="the server's data folder")
    p.add_argument("--port", type=int, default=0, help="the port of naming or events")
    p.add_argument("--pid", type=int, help="stop waiting when this process is gone")
    p.add_argument("--timeout", type=float, default=10.0, help="seconds (default 10)")
    p.set_defaults(func=_cli_ready)

    argv = list(sys.argv[1:] if argv is None else argv)
    extra = argv[argv.index("--") + 1:] if "--" in argv else []
    args = parser.parse_args(argv[:len(argv) - len(extra) - (1 if "--" in argv else 0)])
    args.extra = extra
    try:
        return args.func(args)
    except StackError as e:
        print("qmrstack: %s" % e, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
