"""The command line of qmrstack (tools/qmrstack.py, python3 -m qmrstack)."""

import argparse
import os
import shlex
import sys

from .common import CHILD_UMASK, SERVERS, STATE_FILE, StackError, default_dir
from .postgres import postgres_passfile, postgres_user_prefix
from .process import _start_time, listening, wait_for
from .servers import is_ready, prepare, server_argv, server_env
from .fleet import Fleet
from .stack import Stack
from .tls import make_authority



def _cli_up(args):
    stack = Stack.up(args.dir, channels=args.channel or [], build=args.build,
                     datastore=not args.no_datastore, datastore_name=args.datastore,
                     postgres=args.postgres, tcp=args.tcp, group=args.group,
                     tls=args.tls)
    for server in stack.procs:
        print("%-9s pid %-7d log %s" % (server, stack.procs[server]["pid"],
                                        stack.log_path(server)))
    if stack.channels:
        print("channels  %s" % " ".join(stack.channels))
    if stack.postgres:
        print("database  %s" % stack.db)
        print("psql      psql %s   (TCP: PGPASSFILE=%s psql -h 127.0.0.1 -p %d -U qmr "
              "postgres)" % (shlex.quote(stack.db), postgres_passfile(os.path.join(stack.dir,
                                                                                 "postgres")),
                             stack.ports["postgres"]))
    if stack.metrics_address and "datastore" in stack.procs:
        print("metrics   http://%s/metrics" % stack.metrics_address)
    if stack.tls:
        print("tls       %s (authority, server and client certificates)"
              % os.path.dirname(stack.tls_files["ca"]))
    print("orb args  %s" % " ".join(shlex.quote(a) for a in stack.orb_args()))
    return 0


def _cli_down(args):
    if Fleet.exists(args.dir):
        fleet = Fleet.load(args.dir)
        was = fleet.running_processes()
        fleet.down()
        print("stopped the fleet (%s) and its naming and events"
              % (", ".join(was) or "nothing was running"))
        return 0
    if not os.path.exists(os.path.join(args.dir, STATE_FILE)):
        print("qmrstack: no stack in %s (nothing to stop)" % args.dir, file=sys.stderr)
        return 0
    stack = Stack.load(args.dir)
    was = stack.running_servers()
    stack.down()
    print("stopped %s" % (", ".join(was) or "nothing (no server was running)"))
    return 0


def _print_state(name, width, alive, pid, log):
    """One line of a status listing; returns the exit status it stands for (1: stopped)."""
    print("%-*s %-8s pid %-7s log %s" % (width, name, "running" if alive else "stopped",
                                         pid or "-", log))
    return 0 if alive else 1


def _print_roles(fleet):
    print("roles      %s" % " ".join("%s=%s" % mr for mr in sorted(fleet.roles().items())))


def _cli_fleet(args):
    if args.action == "up":
        fleet = Fleet.up(args.dir, build=args.build, channels=args.channel or [])
        for name, proc in fleet.procs.items():
            print("%-10s pid %-7d log %s" % (name, proc["pid"], proc["log"]))
        _print_roles(fleet)
        print("database   %s (password in %s)" % (fleet.db_uri, fleet.pgpass_path))
        print("orb args   %s" % " ".join(shlex.quote(a) for a in fleet.stack.orb_args()))
        return 0
    fleet = Fleet.load(args.dir)
    rc = 0
    for name, proc in fleet.procs.items():
        rc |= _print_state(name, 10, fleet.running(name), proc["pid"], proc["log"])
    _print_roles(fleet)
    return rc


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
        rc |= _print_state(server, 9, alive, proc["pid"], stack.log_path(server))
        if alive:
            print("          listens on %s" % " ".join(listening(proc["pid"])))
    return rc


def _cli_certs(args):
    for key, path in sorted(make_authority(args.dir, args.name).items()):
        print("%-10s %s" % (key, path))
    return 0


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
        prepare(args.server, args.data, args.primary_port, args.primary_dir)
    tcp = args.tcp or (bool(args.port) and args.server in ("naming", "events"))
    naming = args.naming_socket or args.naming_port
    argv = server_argv(args.server, args.data, args.port, build=args.build, name=args.name,
                       extra=extra, program=args.program, db=args.db,
                       standby=bool(args.primary_port), tcp=tcp, naming=naming)
    env = server_env(args.server, args.build, tcp=tcp)
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
        description="Start and stop omniNames, omniEvents (with channels) and qmr-datastored in "
                    "one folder, listening on Unix sockets in it (only its owner, or with "
                    "--group a group, connects; --tcp: on 127.0.0.1 instead); pids, sockets "
                    "and logs are kept in the folder.",
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
    p.add_argument("--group", metavar="GROUP",
                   help="let the members of GROUP connect too (the folder becomes GROUP's, "
                        "mode 2750); default: only you")
    p.add_argument("--tcp", action="store_true",
                   help="listen on 127.0.0.1 (free ports) instead of Unix sockets in the folder; "
                        "then every user of this machine can connect")
    p.add_argument("--tls", action="store_true",
                   help="the data store serves TLS only (giop:ssl on 127.0.0.1) and wants a "
                        "client certificate; a throw-away authority, server and client "
                        "certificates are made in DIR/tls (keys 0600)")
    p.set_defaults(func=_cli_up)

    p = sub.add_parser("down", help="stop every process of the stack in --dir, by pid")
    p.add_argument("--dir", default=default_dir(), help=dir_help)
    p.set_defaults(func=_cli_down)

    p = sub.add_parser("fleet", help="up: start naming, events, etcd, two PostgreSQL members "
                                     "under Patroni and two front-ends (DataStore, DataStore2) "
                                     "in --dir; status: show them and the members' roles")
    p.add_argument("action", choices=("up", "status"))
    p.add_argument("--dir", default=default_dir(), help=dir_help)
    p.add_argument("--build", help="build folder holding bin/qmr-datastored (default: build/)")
    p.add_argument("--channel", action="append", metavar="NAME",
                   help="create an event channel bound as NAME (repeatable)")
    p.set_defaults(func=_cli_fleet)

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

    p = sub.add_parser("listening", help="print the TCP addresses and Unix sockets that each "
                                         "process listens on")
    p.add_argument("pid", type=int, nargs="+")
    p.set_defaults(func=_cli_listening)

    p = sub.add_parser("certs", help="make a throw-away authority with a server and a client "
                                     "certificate in --dir (replacing any there) and print "
                                     "their paths")
    p.add_argument("--dir", required=True, help="folder for them (created, mode 0700)")
    p.add_argument("--name", default="qmr throw-away authority",
                   help="the authority's common name")
    p.set_defaults(func=_cli_certs)

    p = sub.add_parser("default-dir", help="print the default stack folder")
    p.set_defaults(func=lambda args: print(default_dir()) or 0)

    p = sub.add_parser("exec", help="become one server as the stack defines it (for a caller "
                                    "that runs it as its own child, e.g. the C++ test harness)")
    p.add_argument("server", choices=SERVERS + ("channel",))
    p.add_argument("--data", default=".", help="the server's data folder (created if needed)")
    p.add_argument("--port", type=int, default=0,
                   help="the port of naming or events on 127.0.0.1 (default: its Unix socket "
                        "in --data)")
    p.add_argument("--tcp", action="store_true",
                   help="datastore: listen on 127.0.0.1 (a free port), not on DATA/datastore.sock")
    p.add_argument("--naming-port", type=int, default=0, help="the port of omniNames")
    p.add_argument("--naming-socket", metavar="PATH",
                   help="the Unix socket of omniNames (NAMING_DATA/names.sock)")
    p.add_argument("--build", help="build folder (default: build/)")
    p.add_argument("--name", default="DataStore", help="the data store's name")
    p.add_argument("--program", default="qmr-datastored",
                   help="the data store's program in the build's bin/ (default qmr-datastored; "
                        "tests use qmr-datastored-faults)")
    p.add_argument("--db", help="the data store's --db (default: datastore.db in --data)")
    p.add_argument("--primary-port", type=int, default=0,
                   help="postgres: make the cluster a streaming standby of the primary on this "
                        "port (pg_basebackup -R), named qmrstandby")
    p.add_argument("--primary-dir",
                   help="postgres: with --primary-port, the primary's --data (its socket is "
                        "there)")
    p.set_defaults(func=_cli_exec)
    p.epilog = ("After --: more flags of qmr-datastored, or the name of the channel to create. "
                "Example: qmrstack.py exec datastore --data D --naming-socket N/names.sock -- "
                "--max-sessions 4; qmrstack.py exec postgres --data D --port 5433 -- -c "
                "synchronous_standby_names=qmrstandby")

    p = sub.add_parser("ready", help="wait until one server is ready (status 0) or not (1)")
    p.add_argument("server", choices=SERVERS)
    p.add_argument("--data", default=".", help="the server's data folder")
    p.add_argument("--port", type=int, default=0,
                   help="the port of naming or events (default: its Unix socket in --data)")
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
