"""The Stack: its servers started in one folder, kept in its state file, stopped by pid."""

import errno
import json
import os
import shutil
import signal

from .common import (SERVERS, SOURCE_DIR, STATE_FILE, StackError, _read, check_private,
                     group_id, private_folder, set_access)
from .postgres import postgres_conninfo
from .process import _start_time, free_port, spawn, stop_process, wait_for
from .servers import corbaloc, is_ready, prepare, server_argv, server_env, socket_path
from .tls import TLS_FOLDER, authority, client_tls_args, server_tls_args



class Stack:
    """omniNames + omniEvents (+ channels) + qmr-datastored (+ PostgreSQL, when the data store
    uses it) in one folder, on Unix sockets in the folder (or, with tcp, on 127.0.0.1). With
    tls, the data store serves TLS on 127.0.0.1 only and wants a client certificate signed by
    the stack's own throw-away authority (DIR/tls)."""

    def __init__(self, folder, build=None, datastore_name="DataStore", postgres=False,
                 tcp=False, group=None, tls=False):
        self.dir = os.path.abspath(folder)
        self.build = os.path.abspath(build or os.path.join(SOURCE_DIR, "build"))
        self.datastore_name = datastore_name
        self.postgres = postgres
        self.tcp = tcp
        self.group = group  # the gid whose members may connect too, or None
        self.tls = tls
        self.channels = []
        self.ports = {}
        self.procs = {}  # name -> {"pid", "start", "argv", "log"}

    # ---- construction

    @classmethod
    def up(cls, folder, channels=(), build=None, datastore=True, datastore_name="DataStore",
           postgres=False, tcp=False, group=None, tls=False, metrics=True):
        """Creates folder if needed and starts every server; on any failure stops what it
        started and raises StackError with the failing server's log. postgres: the data store
        keeps its entries in a PostgreSQL server of the stack (cluster in FOLDER/postgres,
        kept like the SQLite file) instead of FOLDER/datastore.db.

        The servers listen on Unix sockets in the folder: only this user connects, and with
        group (a name or gid) the group's members too (the folder becomes that group's, mode
        2750). tcp: on 127.0.0.1 instead, where every local user connects. tls: the data store
        serves giop:ssl on 127.0.0.1 only, with the certificates of FOLDER/tls (made when
        missing); orb_args() then carry the client certificate. metrics: the data store serves
        its metrics on a free port of 127.0.0.1 (metrics_address), in every case: counts and
        latencies only, which every local user may read."""
        gid = None if group is None else group_id(group)
        stack = cls(folder, build, datastore_name, postgres, tcp, gid, tls)
        private_folder(stack.dir)
        set_access(stack.dir, gid)
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
            if tcp:
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
                if metrics:
                    stack.ports["metrics"] = free_port()
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
                    state.get("postgres", False), state.get("tcp", False), state.get("group"),
                    state.get("tls", False))
        stack.channels = list(state["channels"])
        stack.ports = dict(state["ports"])
        stack.procs = dict(state["procs"])
        return stack

    @property
    def state_path(self):
        return os.path.join(self.dir, STATE_FILE)

    def _save(self):
        state = {"dir": self.dir, "build": self.build, "datastore_name": self.datastore_name,
                 "postgres": self.postgres, "tcp": self.tcp, "group": self.group,
                 "tls": self.tls,
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
        """omniNames' port on 127.0.0.1 (a tcp stack), else None."""
        return self.ports.get("naming")

    @property
    def naming(self):
        """Where omniNames listens: its port (a tcp stack) or its socket's path."""
        return self.ports["naming"] if self.tcp else socket_path("naming", self._data("naming"))

    def socket(self, server):
        """The Unix socket of naming, events or datastore (None in a tcp stack)."""
        return None if self.tcp else socket_path(server, self._data(server))

    @property
    def corbaloc(self):
        return corbaloc(self.naming)

    def orb_args(self):
        """ORB options that make a program's "NameService" this stack's omniNames, and with tls
        the client certificate that the data store asks for."""
        args = ["-ORBInitRef", "NameService=" + self.corbaloc]
        if self.tls:
            args += client_tls_args(self.tls_files)
        return args

    @property
    def tls_files(self):
        """The stack's authority and certificates (qmrstack.tls.tls_files), made when missing."""
        return authority(os.path.join(self.dir, TLS_FOLDER))

    def log_path(self, server):
        return os.path.join(self.dir, {"naming": "omniNames.log", "events": "omniEvents.log",
                                       "postgres": "postgres.log",
                                       "datastore": "qmr-datastored.log"}.get(server,
                                                                             server + ".log"))

    def log(self, server):
        return _read(self.log_path(server))

    @property
    def metrics_address(self):
        """HOST:PORT of the data store's metrics endpoint; None when it has none."""
        port = self.ports.get("metrics")
        return "127.0.0.1:%d" % port if port else None

    @property
    def db_path(self):
        return os.path.join(self.dir, "datastore.db")

    @property
    def db(self):
        """What the data store's --db names: the PostgreSQL URI or the SQLite file."""
        if self.postgres:
            return postgres_conninfo(self._data("postgres"), self.ports["postgres"])
        return self.db_path

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
        if server in ("naming", "events"):
            set_access(data, self.group)
        port = self.ports.get(server, 0)
        extra = (server_tls_args(self.tls_files) + ["-ORBendPoint", "giop:ssl:127.0.0.1:"]
                 if server == "datastore" and self.tls else ())
        argv = server_argv(server, data, port, build=self.build, name=self.datastore_name,
                           extra=extra,
                           db=self.db if server == "datastore" else None,
                           tcp=self.tcp, naming=self.naming, shared=self.group is not None,
                           metrics_port=self.ports.get("metrics", 0) if server == "datastore"
                           else 0)
        pid, start = spawn(argv, self.log_path(server), cwd=self.dir,
                           env=server_env(server, self.build, tcp=self.tcp))
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
                rc = subprocess.run(server_argv("channel", self.dir, naming=self.naming,
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
        if self.running(server):
            stop_process(self.procs[server]["pid"], lambda: self.running(server), grace)
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
        env = {"QMR_STACK_DIR": self.dir, "QMR_STACK_STATE": self.state_path,
               "QMR_NAMESERVICE": self.corbaloc, "QMR_ORB_ARGS": " ".join(self.orb_args()),
               "QMR_DB": self.db}
        if self.metrics_address:
            env["QMR_METRICS"] = self.metrics_address
        return env
