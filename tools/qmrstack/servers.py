"""The one definition of the servers: command lines, environment, readiness."""

import os
import socket
import struct

from .common import SOURCE_DIR, StackError, _read, private_folder
from .postgres import (POSTGRES_STANDBY_NAME, POSTGRES_USER, postgres_bindir,
                       postgres_user_prefix, prepare_postgres)
from .process import port_open


CONFINE_LIBRARY = os.path.join("lib", "libqmr_confine.so")  # in the build folder


def corbaloc(naming_port):
    return "corbaloc::127.0.0.1:%d/NameService" % naming_port


def server_argv(server, data, port=0, naming_port=0, build=None, name="DataStore", extra=(),
                program="qmr-datastored", db=None, standby=False, metrics_port=0):
    """The command line of `server` with its data in folder `data`: "naming" (omniNames on
    port), "events" (omniEvents on port), "postgres" (PostgreSQL on 127.0.0.1:port, its socket
    in data, with the settings extra, e.g. ["-c", "synchronous_standby_names=qmrstandby"];
    standby: named as the primary's synchronous_standby_names expects), "datastore" (program of
    build, qmr-datastored or its test build qmr-datastored-faults, registered as name, on the
    database db (default: the SQLite file in data), with the flags extra, serving metrics on
    127.0.0.1:metrics_port unless it is 0) or "channel" (eventc creating the channel
    extra[0])."""
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
        metrics = ["--metrics", "127.0.0.1:%d" % metrics_port] if metrics_port else []
        return [exe, "--db", db or os.path.join(data, "datastore.db"), "--name", name,
                "--ior-file", os.path.join(data, "datastore.ior")] + metrics + list(extra) + init_ref
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
