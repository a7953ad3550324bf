"""PostgreSQL: binaries, the unprivileged user, the cluster and who may log in to it.

Nobody logs in without proof: the role qmr is reached through the Unix socket in the cluster's
own folder with peer authentication, which only the stack's owner and the cluster's own user
pass (pg_ident.conf maps them to qmr); TCP listens on 127.0.0.1 and asks for the password
(scram-sha-256), which is only in the owner's password file beside the folder (0600)."""

import os
import pwd
import shutil
import stat

from .common import StackError, _read, check_private
from .process import wait_for


POSTGRES_USER = "qmr"  # the superuser that initdb creates; peer authentication on the socket
POSTGRES_STANDBY_NAME = "qmrstandby"  # a standby's cluster_name, as the primary names it


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


def postgres_os_user():
    """The passwd entry of the user PostgreSQL runs as: ours, or, as root (which PostgreSQL
    refuses to run as), the system's `postgres` user (Debian's postgresql package makes it),
    else nobody. As nobody, every process running as nobody would own the cluster's files."""
    if os.geteuid() != 0:
        return pwd.getpwuid(os.geteuid())
    try:
        return pwd.getpwnam("postgres")
    except KeyError:
        return pwd.getpwnam("nobody")


def postgres_user_prefix():
    """As root, PostgreSQL's programs run as postgres_os_user() (setpriv, which execs, so the
    process id stays the one the caller watches, and keeps a parent-death signal that the
    caller set); as anyone else, as that user."""
    if os.geteuid() != 0:
        return []
    user = postgres_os_user()
    return ["setpriv", "--reuid=%d" % user.pw_uid, "--regid=%d" % user.pw_gid,
            "--clear-groups", "--pdeathsig", "keep", "--"]


def _conninfo_value(text):
    """text as a value of a libpq connection string: quoted when it holds a space or quote."""
    if text and not any(c in text for c in " '\\\t\n"):
        return text
    return "'" + text.replace("\\", "\\\\").replace("'", "\\'") + "'"


def postgres_conninfo(data, port, options=None):
    """The libpq connection string of the stack's PostgreSQL in folder data on port: its Unix
    socket (in data), the role qmr with peer authentication, database postgres. options is e.g.
    "-csearch_path=NAME" to give a server a schema of its own."""
    text = "host=%s port=%d user=%s dbname=postgres" % (
        _conninfo_value(os.path.abspath(data)), port, POSTGRES_USER)
    if options:
        text += " options=" + _conninfo_value(options)
    return text


def postgres_passfile(data):
    """The libpq password file (PGPASSFILE) of the cluster in data, for a client that must use
    TCP: beside the folder, the stack owner's only."""
    return os.path.abspath(data).rstrip("/") + ".pgpass"


def _postgres_reachable_folder(data):
    """As root, the cluster belongs to postgres_os_user(), which must reach it: the folder
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
            raise StackError("PostgreSQL runs as %s and cannot reach %s through %s (mode "
                             "%o); choose a stack folder under /tmp (--dir or QMR_STACK_DIR)"
                             % (postgres_os_user().pw_name, data, above,
                                stat.S_IMODE(os.stat(above).st_mode)))
        above = os.path.dirname(above)
    # Nor anything at all (its own libraries included: initdb then fails to load libpq) when
    # the root folder is closed to others, as in a chroot made with mktemp -d.
    if not os.stat("/").st_mode & 0o001:
        raise StackError("PostgreSQL runs as nobody, who cannot enter / (mode %o); the root "
                         "folder must be 0755 as on any installed system (chmod 0755 / in a "
                         "chroot made with mktemp -d)" % stat.S_IMODE(os.stat("/").st_mode))


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


def _write_owned(path, text, user):
    """Writes text to path (0600), owned by user (a passwd entry) when we are root."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write(text)
    if os.geteuid() == 0:
        os.chown(path, user.pw_uid, user.pw_gid)


def _write_authentication(cluster):
    """Who may log in, rewritten at every start (so a cluster made by an older qmrstack, with
    trust authentication, gets it too): the role qmr, through the socket for the stack's owner
    and the cluster's own user (peer, mapped in pg_ident.conf), through TCP on loopback with
    the password; nothing else."""
    user = postgres_os_user()
    owners = [pwd.getpwuid(os.getuid()).pw_name]
    if user.pw_name not in owners:
        owners.append(user.pw_name)  # its standbys' connections, pg_basebackup
    _write_owned(os.path.join(cluster, "pg_hba.conf"),
                 "# Written by qmrstack at every start; edits are lost.\n"
                 "# TYPE  DATABASE     USER  ADDRESS       METHOD\n"
                 "local   all          %(u)s                 peer map=qmrstack\n"
                 "local   replication  %(u)s                 peer map=qmrstack\n"
                 "host    all          %(u)s   127.0.0.1/32  scram-sha-256\n"
                 "host    replication  %(u)s   127.0.0.1/32  scram-sha-256\n"
                 % {"u": POSTGRES_USER}, user)
    _write_owned(os.path.join(cluster, "pg_ident.conf"),
                 "# Written by qmrstack at every start: the system users that log in as %s.\n"
                 % POSTGRES_USER
                 + "".join("qmrstack  %s  %s\n" % (name, POSTGRES_USER) for name in owners),
                 user)


def _take_over(path, user):
    """As root: a cluster that an older qmrstack made as nobody becomes user's."""
    if os.geteuid() != 0 or os.lstat(path).st_uid == user.pw_uid:
        return
    for root, dirs, files in os.walk(path):
        for name in dirs + files:
            os.lchown(os.path.join(root, name), user.pw_uid, user.pw_gid)
    os.lchown(path, user.pw_uid, user.pw_gid)


def prepare_postgres(data, primary_port=0, primary_dir=None):
    """Creates the cluster in data/cluster unless it exists: initdb (superuser qmr, peer
    authentication on the socket, scram-sha-256 with a random password on loopback TCP, the
    password in postgres_passfile(data)), or, with primary_port and primary_dir (the primary's
    folder, where its socket is), a streaming standby copied from that primary
    (pg_basebackup -R, through the socket)."""
    try:
        os.makedirs(data, mode=0o700)
    except FileExistsError:
        pass
    _postgres_reachable_folder(data)
    user = postgres_os_user()
    if os.geteuid() == 0:
        st = os.lstat(data)
        nobody = pwd.getpwnam("nobody").pw_uid
        if st.st_uid not in (0, nobody, user.pw_uid) or not stat.S_ISDIR(st.st_mode):
            raise StackError("the PostgreSQL folder %s belongs to uid %d; choose another folder"
                             % (data, st.st_uid))
        _take_over(data, user)
    else:
        check_private(data)
    cluster = os.path.join(data, "cluster")
    if os.path.exists(os.path.join(cluster, "PG_VERSION")):
        _wait_for_old_backends(cluster)
        _write_authentication(cluster)
        return
    bindir = postgres_bindir()
    if primary_port:
        if not primary_dir:
            raise StackError("a standby needs the primary's folder (its socket is there)")
        shutil.copyfile(postgres_passfile(primary_dir), postgres_passfile(data))
        _postgres_run([os.path.join(bindir, "pg_basebackup"), "-h", os.path.abspath(primary_dir),
                       "-p", str(primary_port), "-U", POSTGRES_USER, "-D", cluster, "-R",
                       "-X", "stream", "--no-sync"], data, "pg_basebackup.log")
    else:
        import secrets
        password = secrets.token_urlsafe(24)
        pwfile = os.path.join(data, "initdb.pw")
        _write_owned(pwfile, password + "\n", user)
        try:
            _postgres_run([os.path.join(bindir, "initdb"), "-D", cluster, "-U", POSTGRES_USER,
                           "--auth-local=peer", "--auth-host=scram-sha-256",
                           "--pwfile=" + pwfile, "-E", "UTF8", "--locale=C", "--no-sync"],
                          data, "initdb.log")
        finally:
            os.remove(pwfile)
        fd = os.open(postgres_passfile(data), os.O_WRONLY | os.O_CREAT | os.O_TRUNC |
                     os.O_NOFOLLOW, 0o600)
        with os.fdopen(fd, "w") as f:
            f.write("127.0.0.1:*:*:%s:%s\n" % (POSTGRES_USER, password))
    _write_authentication(cluster)
