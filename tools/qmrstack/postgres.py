"""PostgreSQL: binaries, the unprivileged user, the cluster."""

import os
import shutil
import stat

from .common import StackError, _read, check_private
from .process import wait_for


POSTGRES_USER = "qmr"  # the superuser that initdb creates; trust authentication on loopback
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
