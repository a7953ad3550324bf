"""The fleet: naming and events of a Stack, one etcd, two PostgreSQL members under Patroni
(synchronous mode) and two qmr-datastored front-ends on both members, all on 127.0.0.1.

Patroni decides which member is the primary and keeps the cluster's state in etcd; the
front-ends name both members with target_session_attrs=read-write, so libpq finds the
primary whenever a front-end (re)connects. Passwords live in files of mode 0600 (the fleet's
credentials, Patroni's configuration, the front-ends' libpq password file), never on a
command line. Every process is kept by pid in FOLDER/fleet/fleet.json."""

import base64
import json
import os
import secrets
import shutil
import signal
import string
import urllib.error
import urllib.request

from .common import StackError, _read, private_folder
from .postgres import (postgres_bindir, postgres_os_user, postgres_user_prefix,
                       _postgres_reachable_folder)
from .process import _start_time, free_port, signal_all, spawn, stop_process, wait_for
from .servers import server_argv, server_env
from .stack import Stack


FLEET_STATE = "fleet.json"
MEMBERS = ("pg1", "pg2")
FRONTENDS = ("DataStore", "DataStore2")  # the names the front-ends register under
TEMPLATES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "templates")

# Patroni's timing: a leader that has not renewed its key for TTL seconds is replaced.
TTL, LOOP_WAIT, RETRY_TIMEOUT = 10, 1, 4


def _template(template, **values):
    with open(os.path.join(TEMPLATES, template)) as f:
        return string.Template(f.read()).substitute(values)


def _write_private(path, text, owner=None):
    """Writes text to path with mode 0600 (owned by owner's uid/gid when given)."""
    fd = os.open(path + ".tmp", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with open(fd, "w") as f:
        f.write(text)
    if owner is not None:
        os.chown(path + ".tmp", owner[0], owner[1])
    os.replace(path + ".tmp", path)


def _runs_as():
    """(uid, gid) that etcd and Patroni run as when we are root: the user PostgreSQL's
    programs run as (it refuses root); None when we are not root (then as ourselves)."""
    if os.geteuid() != 0:
        return None
    user = postgres_os_user()
    return user.pw_uid, user.pw_gid


def _http(method, url, body=None, auth=None, timeout=2.0):
    """(status, decoded JSON or text) of an HTTP request to a loopback server; (0, error text)
    when it does not answer."""
    data = None if body is None else json.dumps(body).encode()
    request = urllib.request.Request(url, data=data, method=method)
    if data is not None:
        request.add_header("Content-Type", "application/json")
    if auth:
        request.add_header("Authorization", auth)
    try:
        with urllib.request.urlopen(request, timeout=timeout) as reply:
            status, raw = reply.status, reply.read()
    except urllib.error.HTTPError as e:
        status, raw = e.code, e.read()
    except (OSError, ValueError) as e:
        return 0, str(e)
    try:
        return status, json.loads(raw.decode() or "null")
    except ValueError:
        return status, raw.decode(errors="replace")


def _stat_fields(pid):
    """The fields of /proc/PID/stat after the command name (state first), or None."""
    try:
        with open("/proc/%s/stat" % pid) as f:
            stat = f.read()
    except OSError:
        return None
    return stat[stat.rindex(")") + 2:].split()


def postgres_processes(data_dir):
    """The postmaster of the cluster in data_dir (from its postmaster.pid, if that process runs
    postgres on this folder) and its children: Patroni starts PostgreSQL detached from itself,
    and every backend has a session of its own, so they are found by the postmaster's pid."""
    head = _read(os.path.join(data_dir, "postmaster.pid")).split("\n")
    if not head[0].strip().isdigit():
        return []
    postmaster = int(head[0])
    try:
        with open("/proc/%d/cmdline" % postmaster, "rb") as f:
            argv = f.read().split(b"\0")
    except OSError:
        return []
    if os.path.realpath(data_dir) not in [os.path.realpath(a.decode(errors="replace"))
                                           for a in argv if a.startswith(b"/")]:
        return []
    found = [postmaster]
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            fields = _stat_fields(entry)
            if fields and fields[0] not in ("Z", "X") and int(fields[1]) == postmaster:
                found.append(int(entry))
    return found


class Fleet:
    """The processes of a fleet in FOLDER/fleet (naming and events in FOLDER, as a Stack)."""

    def __init__(self, folder, build=None):
        self.stack_dir = os.path.abspath(folder)
        self.dir = os.path.join(self.stack_dir, "fleet")
        self.build = build
        self.ports = {}
        self.procs = {}  # name -> {"pid", "start", "argv", "log"}
        self.stack = None

    # ---- state

    @property
    def state_path(self):
        return os.path.join(self.dir, FLEET_STATE)

    def _save(self):
        _write_private(self.state_path, json.dumps(
            {"stack_dir": self.stack_dir, "build": self.build, "ports": self.ports,
             "procs": self.procs}, indent=1))

    @classmethod
    def load(cls, folder):
        fleet = cls(folder)
        try:
            with open(fleet.state_path) as f:
                state = json.load(f)
        except (OSError, ValueError) as e:
            raise StackError("no fleet in %s (%s); start one with: ./qmr up --fleet"
                             % (fleet.dir, e))
        fleet.build, fleet.ports, fleet.procs = state["build"], state["ports"], state["procs"]
        fleet.stack = Stack.load(fleet.stack_dir)
        return fleet

    @staticmethod
    def exists(folder):
        return os.path.exists(os.path.join(folder, "fleet", FLEET_STATE))

    def credentials(self):
        with open(os.path.join(self.dir, "credentials.json")) as f:
            return json.load(f)

    # ---- starting

    @classmethod
    def up(cls, folder, build=None, channels=()):
        """Starts naming and events (a Stack without a data store), etcd, both Patroni members
        and both front-ends; on failure stops everything it started and raises StackError."""
        fleet = cls(folder, build)
        if Fleet.exists(folder):
            old = Fleet.load(folder)
            if old.running_processes():
                raise StackError("a fleet is already running in %s; stop it first with: "
                                 "./qmr down" % old.dir)
            shutil.rmtree(old.dir)
        fleet.stack = Stack.up(folder, channels=channels, build=build, datastore=False)
        try:
            private_folder(fleet.dir)
            fleet._write_configuration()
            fleet._start_etcd()
            for member in MEMBERS:
                fleet._start_member(member)
            fleet.wait_replicated(timeout=90)
            for name in FRONTENDS:
                fleet._start_frontend(name)
        except BaseException:
            fleet.down()
            raise
        return fleet

    def _write_configuration(self):
        """Ports, passwords (FOLDER/fleet/credentials.json), etcd's and each member's
        configuration, the front-ends' libpq password file; all 0600."""
        owner = _runs_as()
        for name in ("etcd_client", "etcd_peer") + tuple(
                "%s_%s" % (m, what) for m in MEMBERS for what in ("pg", "api")):
            self.ports[name] = free_port()
        secrets_ = {what: secrets.token_urlsafe(24)
                    for what in ("etcd", "api", "superuser", "replication")}
        _write_private(os.path.join(self.dir, "credentials.json"), json.dumps(secrets_, indent=1))
        if owner:  # nobody must reach FOLDER/fleet/MEMBER through FOLDER and FOLDER/fleet
            _postgres_reachable_folder(self.dir)
            _postgres_reachable_folder(os.path.join(self.dir, MEMBERS[0]))
        for sub in ("etcd",) + MEMBERS:
            path = os.path.join(self.dir, sub)
            os.makedirs(path, mode=0o700, exist_ok=True)
            if owner:
                os.chown(path, *owner)
        _write_private(os.path.join(self.dir, "etcd", "etcd.yml"), _template(
            "etcd.yml", data_dir=os.path.join(self.dir, "etcd", "data"),
            client_port=self.ports["etcd_client"], peer_port=self.ports["etcd_peer"]), owner)
        for member in MEMBERS:
            member_dir = os.path.join(self.dir, member)
            _write_private(os.path.join(member_dir, "patroni.yml"), _template(
                "patroni.yml", name=member, pg_port=self.ports[member + "_pg"],
                api_port=self.ports[member + "_api"], etcd_port=self.ports["etcd_client"],
                api_password=secrets_["api"], etcd_password=secrets_["etcd"],
                superuser_password=secrets_["superuser"],
                replication_password=secrets_["replication"],
                data_dir=os.path.join(member_dir, "data"), member_dir=member_dir,
                bin_dir=postgres_bindir(), ttl=TTL, loop_wait=LOOP_WAIT,
                retry_timeout=RETRY_TIMEOUT), owner)
        _write_private(self.pgpass_path, "127.0.0.1:*:*:qmr:%s\n" % secrets_["superuser"])
        self._save()

    @property
    def pgpass_path(self):
        return os.path.join(self.dir, "frontend.pgpass")

    def _spawn(self, name, argv, env=None, cwd=None):
        log = os.path.join(self.dir, name + ".log")
        pid, start = spawn(argv, log, cwd=cwd or self.dir, env=env)
        self.procs[name] = {"pid": pid, "start": start, "argv": argv, "log": log}
        self._save()

    def _fail(self, name, what):
        raise StackError("%s %s; its log %s says:\n%s" % (
            name, what, self.procs[name]["log"], _read(self.procs[name]["log"])[-3000:].strip()
            or "(nothing)"))

    def argv(self, name):
        """The command line of etcd or a member: the configuration file only, no secret."""
        if name == "etcd":
            return postgres_user_prefix() + [
                "etcd", "--config-file", os.path.join(self.dir, "etcd", "etcd.yml")]
        return postgres_user_prefix() + [
            "/usr/bin/patroni", os.path.join(self.dir, name, "patroni.yml")]

    def _start_etcd(self):
        self._spawn("etcd", self.argv("etcd"), cwd=os.path.join(self.dir, "etcd"))
        url = "http://127.0.0.1:%d" % self.ports["etcd_client"]
        if not wait_for(lambda: _http("GET", url + "/health")[0] == 200 or not
                        self.running("etcd"), timeout=20):
            self._fail("etcd", "did not get healthy within 20 s")
        if not self.running("etcd"):
            self._fail("etcd", "exited at start")
        # Authentication on, for both of etcd's APIs (they keep separate users): only who
        # holds the root password (Patroni) reads or changes the state. The v2 API lets
        # anyone in as "guest" until that role loses its rights.
        password = self.credentials()["etcd"]
        basic = "Basic " + base64.b64encode(("root:" + password).encode()).decode()
        for method, path, body, auth in (
                ("POST", "/v3/auth/role/add", {"name": "root"}, None),
                ("POST", "/v3/auth/user/add", {"name": "root", "password": password}, None),
                ("POST", "/v3/auth/user/grant", {"user": "root", "role": "root"}, None),
                ("POST", "/v3/auth/enable", {}, None),
                ("PUT", "/v2/auth/users/root", {"user": "root", "password": password}, None),
                ("PUT", "/v2/auth/enable", None, None),
                ("PUT", "/v2/auth/roles/guest", {"role": "guest", "revoke": {
                    "kv": {"read": ["/*"], "write": ["/*"]}}}, basic)):
            status, reply = _http(method, url + path, body, auth=auth)
            if status not in (200, 201) and "already exists" not in str(reply):
                raise StackError("etcd refused %s: %s %s" % (path, status, reply))

    def _start_member(self, member):
        self._spawn(member, self.argv(member), cwd=os.path.join(self.dir, member))

    def _start_frontend(self, name):
        data = os.path.join(self.dir, name)
        private_folder(data)
        argv = server_argv("datastore", data, naming=self.stack.naming,
                           build=self.stack.build, name=name, db=self.db_uri)
        env = server_env("datastore", self.stack.build)
        env["PGPASSFILE"] = self.pgpass_path
        self._spawn(name, argv, env=env, cwd=data)
        ior = os.path.join(data, "datastore.ior")
        if not wait_for(lambda: _read(ior).strip() or not self.running(name), timeout=30):
            self._fail(name, "did not get ready within 30 s")
        if not self.running(name):
            self._fail(name, "exited at start")

    @property
    def db_uri(self):
        """Both members; libpq takes the first that accepts writes."""
        hosts = ",".join("127.0.0.1:%d" % self.ports[m + "_pg"] for m in MEMBERS)
        return ("postgresql://qmr@%s/postgres?target_session_attrs=read-write&connect_timeout=2"
                % hosts)

    def anonymous_access_refused(self):
        """True when etcd answers a client without the password with a refusal on both of
        its APIs."""
        url = "http://127.0.0.1:%d" % self.ports["etcd_client"]
        v2 = _http("GET", url + "/v2/keys/qmr/")[0]
        v3 = _http("POST", url + "/v3/kv/range", {"key": "Lw==", "range_end": "AA=="})
        return v2 == 401 and "user name is empty" in str(v3[1])

    # ---- cluster state (Patroni's REST API)

    def api(self, member, path):
        return _http("GET", "http://127.0.0.1:%d%s" % (self.ports[member + "_api"], path))

    def roles(self):
        """{member: role} from the members' own answers: "leader", "sync" (the synchronous
        standby), "replica", or "down"."""
        found = {}
        for member in MEMBERS:
            status, reply = self.api(member, "/patroni")
            if status != 200 or not isinstance(reply, dict) or reply.get("state") != "running":
                found[member] = "down"
            elif reply.get("role") in ("master", "primary"):
                found[member] = "leader"
            elif self.api(member, "/sync")[0] == 200:
                found[member] = "sync"
            else:
                found[member] = "replica"
        return found

    def leader(self):
        for member, role in self.roles().items():
            if role == "leader":
                return member
        return None

    def wait_replicated(self, timeout=60.0):
        """Waits until one member leads and the other is its synchronous standby."""
        def ok():
            for member in MEMBERS:
                if member in self.procs and not self.running(member):
                    self._fail(member, "exited")
            return sorted(self.roles().values()) == ["leader", "sync"]
        if not wait_for(ok, timeout=timeout, interval=0.5):
            raise StackError("the members did not reach leader + synchronous standby within "
                             "%g s (roles now %s); see %s/pg*.log" % (timeout, self.roles(),
                                                                      self.dir))

    # ---- faults, by pid

    def member_pids(self, member):
        """Patroni's pid (if it runs) and those of the member's PostgreSQL processes."""
        patroni = [self.procs[member]["pid"]] if self.running(member) else []
        return patroni + postgres_processes(os.path.join(self.dir, member, "data"))

    def kill_member(self, member):
        """SIGKILL to Patroni and every PostgreSQL process of member: the machine is gone."""
        pids = self.member_pids(member)
        signal_all(pids, signal.SIGKILL)
        wait_for(lambda: not any(_stat_fields(p) for p in pids), timeout=10)
        self.procs[member]["pid"], self.procs[member]["start"] = 0, None
        self._save()

    def suspend_member(self, member, sig=signal.SIGSTOP):
        """SIGSTOP (or SIGCONT) to Patroni and every PostgreSQL process of member."""
        pids = self.member_pids(member)
        signal_all(pids, sig)
        return pids

    def restart_member(self, member):
        self._start_member(member)

    # ---- stopping

    def running(self, name):
        proc = self.procs.get(name)
        return bool(proc) and proc["pid"] > 0 and _start_time(proc["pid"]) == proc["start"]

    def running_processes(self):
        return [n for n in self.procs if self.running(n)]

    def down(self):
        """Stops the front-ends, the members (Patroni stops its PostgreSQL), etcd, then naming
        and events; each by pid, SIGKILL after a grace period."""
        order = list(FRONTENDS) + list(MEMBERS) + ["etcd"]
        for name in [n for n in order if n in self.procs]:
            group = self.member_pids(name) if name in MEMBERS else []
            if name in MEMBERS:
                self.suspend_member(name, signal.SIGCONT)
            if self.running(name):
                stop_process(self.procs[name]["pid"], lambda: self.running(name), grace=20)
            # Patroni stops its PostgreSQL; whatever of the member is left after that goes.
            if not wait_for(lambda: not any(_stat_fields(p) for p in group), timeout=10):
                signal_all(self.member_pids(name), signal.SIGKILL)
            self.procs[name]["pid"], self.procs[name]["start"] = 0, None
            self._save()
        if self.stack is not None:
            self.stack.down()
