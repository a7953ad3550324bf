"""qmrstack - a local stack of the services the client talks to, on this machine.

Starts, in one folder, omniNames (naming), omniEvents (event channels, created with eventc)
and qmr-datastored (the reference data store, SQLite file in the folder; or, with
postgres=True / `up --postgres`, a PostgreSQL server of the stack's own), each listening on a
Unix socket in the folder (naming/names.sock, events/events.sock, datastore.sock), each
writing its own log file into the folder. The folder's mode decides who connects: its owner
only (0700), or with group= / `up --group G` the members of G too (2750). With tcp=True /
`up --tcp` they listen on free loopback ports instead, which every local user reaches. The process ids, ports and
start times are kept in DIR/stack.json so that any process (a shell, a test run inside
qmr-host, a later `down`) can stop, kill or restart each server by its process id.

Used as a module:

    from qmrstack import Stack
    stack = Stack.up("/tmp/mystack", channels=["TestChannel"], build="build")
    args = stack.orb_args()     # ['-ORBInitRef', 'NameService=corbaloc:omniunix:D/naming/names.sock:/NameService']
    stack.kill9("datastore"); stack.restart("datastore")
    stack.down()

    stack = Stack.load("/tmp/mystack")   # attach to a stack another process started

Servers are started detached from the starting process (double fork, new session), so a stop
or kill by one process is seen by every other process that reads the state file; they do not
die with the process that started them: call down() (the CLI and tests/python/run do so on
every exit path).

servers.py is the one definition of the stack's servers: their command lines, their
environment and when each is ready (server_argv, server_env, prepare, is_ready). The C++ test
harness (tests/harness) starts its servers through `qmrstack.py exec` and waits with
`qmrstack.py ready`, so a change here reaches both.

Every server runs with umask 077. omniNames and omniEvents run with libqmr_confine.so
preloaded (tools/confine/confine.c): omniEvents always adds a TCP endpoint on every interface
and resets its umask to 0, which no option of its own prevents; the library makes that
endpoint unreachable (QMR_CONFINE_NO_TCP=1; on loopback in a tcp stack) and keeps the umask
the server was started with.

The package: common (folder, state file, StackError), process (ports, waiting, spawn, pids),
postgres (the cluster), servers (the definitions), tls (a throw-away certificate authority
for `up --tls`), stack (Stack), cli (the command line of
tools/qmrstack.py and `python3 -m qmrstack`). Everything is importable from qmrstack itself.
"""

from .common import (CHILD_UMASK, SERVERS, SOURCE_DIR, STATE_FILE, StackError, _read,
                     check_private, default_dir, group_id, private_folder, set_access)
from .process import (_start_time, end_child, free_port, listening, port_open, spawn,
                      wait_for)
from .postgres import (POSTGRES_STANDBY_NAME, POSTGRES_USER, postgres_bindir, postgres_conninfo,
                       postgres_os_user, postgres_passfile,
                       postgres_user_prefix, prepare_postgres)
from .servers import (CONFINE_LIBRARY, SOCKETS, corbaloc, is_ready, prepare,
                      root_context_answers, server_argv, server_env, socket_open, socket_path)
from .stack import Stack
from .tls import authority, client_tls_args, make_authority, server_tls_args, tls_files
from .cli import main

__all__ = ["CHILD_UMASK", "CONFINE_LIBRARY", "POSTGRES_STANDBY_NAME", "POSTGRES_USER", "SERVERS",
           "SOURCE_DIR", "STATE_FILE", "Stack", "StackError", "_read", "_start_time",
           "check_private", "corbaloc", "default_dir", "end_child", "free_port", "is_ready",
           "listening",
           "main", "port_open", "postgres_bindir", "postgres_conninfo", "postgres_os_user",
           "postgres_passfile", "postgres_user_prefix",
           "prepare", "prepare_postgres", "private_folder", "root_context_answers",
           "server_argv", "server_env", "spawn", "wait_for", "SOCKETS", "group_id", "set_access",
           "socket_open", "socket_path", "authority", "client_tls_args", "make_authority",
           "server_tls_args", "tls_files"]
