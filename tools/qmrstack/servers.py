"""The one definition of the servers: command lines, environment, readiness."""

import os
import socket
import struct

from .common import SOURCE_DIR, StackError, _read, private_folder
from .postgres import (POSTGRES_STANDBY_NAME, POSTGRES_USER, postgres_bindir,
                       postgres_user_prefix, prepare_postgres)
from .process import port_open


CONFINE_LIBRARY = os.path.join("lib", "libqmr_confine.so")  # in the build folder
# The Unix socket of each server, in its data folder.
SOCKETS = {"naming": "names.sock", "events": "events.sock", "datastore": "datastore.sock"}
SUN_PATH_MAX = 107  # the kernel's limit on a socket path (sun_path less its final NUL)


def socket_path(server, data):
    """The Unix socket that `server` listens on when its data is in folder data. Raises
    StackError when the path is too long for a socket (the kernel takes 107 bytes)."""
    path = os.path.join(os.path.abspath(data), SOCKETS[server])
    if len(path.encode()) > SUN_PATH_MAX:
        raise StackError("the socket path %s is %d bytes long, more than the %d a Unix socket "
                         "takes; choose a shorter stack folder (QMR_STACK_DIR or --dir)"
                         % (path, len(path.encode()), SUN_PATH_MAX))
    return path


def corbaloc(naming):
    """The corbaloc of the NameService at naming: a port on 127.0.0.1 (int) or the path of
    omniNames' Unix socket (str)."""
    if isinstance(naming, int):
        return "corbaloc::127.0.0.1:%d/NameService" % naming
    return "corbaloc:omniunix:%s:/NameService" % naming


def endpoint(server, data, port, tcp, shared=False):
    """The -ORBendPoint of server (its socket in data, or 127.0.0.1:port with tcp) and the mode
    of that socket: the owner's only (0700), or with shared also the group's (0770). The folder
    decides as well: its group is the one that may connect."""
    if tcp:
        return ["-ORBendPoint", "giop:tcp:127.0.0.1:%d" % port]
    return ["-ORBendPoint", "giop:unix:" + socket_path(server, data),
            "-ORBunixTransportPermission", "0770" if shared else "0700"]


def server_argv(server, data, port=0, naming_port=0, build=None, name="DataStore", extra=(),
                program="qmr-datastored", db=None, standby=False, tcp=None, naming=None,
                shared=False, metrics_port=0):
    """The command line of `server` with its data in folder `data`: "naming" (omniNames),
    "events" (omniEvents), "postgres" (PostgreSQL on 127.0.0.1:port, its socket in data, with
    the settings extra, e.g. ["-c", "synchronous_standby_names=qmrstandby"]; standby: named as
    the primary's synchronous_standby_names expects), "datastore" (program of build,
    qmr-datastored or its test build qmr-datastored-faults, registered as name, on the
    database db (default: the SQLite file in data), with the flags extra, serving its metrics
    on 127.0.0.1:metrics_port unless that is 0) or "channel" (eventc creating the channel
    extra[0]).

    Naming, events and the data store listen on the Unix socket socket_path(server, data), so
    that the folder's owner and group decide who connects; with tcp (default: a port is given)
    on 127.0.0.1:port instead (the data store on a free port). shared: the group of the folder
    may connect too. naming is where the NameService is: the path of omniNames' socket or its
    port (default naming_port)."""
    if tcp is None:
        tcp = bool(port)
    if naming is None:
        naming = naming_port
    init_ref = ["-ORBInitRef", "NameService=" + corbaloc(naming)]
    if server == "naming":
        # -always: a fresh start the first time, a start from the data file on a restart.
        # Without a port, -start adds no TCP endpoint: the socket is the only one.
        return (["omniNames", "-start"] + ([str(port)] if tcp else []) +
                ["-always", "-logdir", data] + endpoint(server, data, port, tcp, shared))
    if server == "events":
        if tcp:
            # -p sets the port on a cold start; on a warm start omniEvents reads it from its
            # data file. Publishing 127.0.0.1 keeps its references on loopback.
            return ["omniEvents", "-f", "-l", data, "-p", str(port)] + init_ref + [
                "-ORBendPointPublish", "giop:tcp:127.0.0.1:%d" % port]
        # omniEvents still opens its TCP port (11169) whatever it is told; server_env() has
        # libqmr_confine.so make that one unreachable. Its references name both; clients on
        # this machine take the socket.
        return ["omniEvents", "-f", "-l", data] + init_ref + endpoint(server, data, port, tcp,
                                                                      shared)
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
        own = [] if "-ORBendPoint" in extra else (
            ["-ORBendPoint", "giop:tcp:127.0.0.1:"] if tcp else
            endpoint(server, data, 0, False, shared))
        metrics = ["--metrics", "127.0.0.1:%d" % metrics_port] if metrics_port else []
        return [exe, "--db", db or os.path.join(data, "datastore.db"), "--name", name,
                "--ior-file", os.path.join(data, "datastore.ior")] + metrics + list(extra) + \
            init_ref + own
    if server == "channel":
        return ["eventc", "-n", extra[0]] + init_ref
    raise StackError("unknown server %r" % server)


def server_env(server, build=None, env=None, tcp=False):
    """The environment of `server`: env (default: ours), with libqmr_confine.so preloaded into
    omniNames and omniEvents, and told to make wildcard TCP listeners unreachable unless the
    stack runs on tcp. Our own programs bind where they are told and are left alone (a
    sanitizer runtime must come first in theirs)."""
    env = dict(os.environ if env is None else env)
    if server in ("naming", "events"):
        lib = os.path.join(os.path.abspath(build or os.path.join(SOURCE_DIR, "build")),
                           CONFINE_LIBRARY)
        if not os.path.exists(lib):
            raise StackError("%s is missing; build it first with ./qmr build (or pass --build "
                             "DIR)" % lib)
        env["LD_PRELOAD"] = " ".join([lib] + [p for p in [env.get("LD_PRELOAD")] if p])
        if tcp:
            env.pop("QMR_CONFINE_NO_TCP", None)
        else:
            env["QMR_CONFINE_NO_TCP"] = "1"
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
    """True when omniNames on 127.0.0.1:port (an int) or on the Unix socket port (a path) has
    activated its root context. It accepts
    connections a moment before, and calls in between fail with OBJECT_NOT_EXIST, so an open
    port is not enough: a GIOP 1.2 LocateRequest for the key "NameService" must be answered
    OBJECT_HERE. Plain sockets, so that neither side needs omniORBpy."""
    key = b"NameService"
    # request id, TargetAddress KeyAddr (short 0, two pad octets), sequence<octet> key
    body = struct.pack(">IhxxI", 1, 0, len(key)) + key
    message = b"GIOP\x01\x02\x00\x03" + struct.pack(">I", len(body)) + body
    try:
        with _connect(port) as s:
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


def _connect(where):
    """A socket connected to 127.0.0.1:where (an int) or to the Unix socket where (a path)."""
    if isinstance(where, int):
        return socket.create_connection(("127.0.0.1", where), timeout=1.0)
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        s.settimeout(1.0)
        s.connect(where)
    except OSError:
        s.close()
        raise
    return s


def socket_open(path):
    """True if something accepts connections on the Unix socket path."""
    try:
        with _connect(path):
            return True
    except OSError:
        return False


def is_ready(server, data, port=0):
    """True once `server` serves: omniNames' root context answers, omniEvents accepts
    connections (on 127.0.0.1:port, or without a port on its socket in data), qmr-datastored
    has written its reference to DATA/datastore.ior."""
    if server == "naming":
        if not port:
            return root_context_answers(socket_path(server, data))
        return port_open(port) and root_context_answers(port)
    if server == "events":
        return port_open(port) if port else socket_open(socket_path(server, data))
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
