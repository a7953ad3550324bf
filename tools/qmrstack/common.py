"""The stack's folder, its state file, the names of its servers and its error."""

import grp
import os
import stat


STATE_FILE = "stack.json"
SERVERS = ("naming", "events", "postgres", "datastore")  # start order; stopped in reverse
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CHILD_UMASK = 0o077  # nothing a server writes is readable by other users


class StackError(RuntimeError):
    """A server of the stack could not be started, found or stopped."""


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


def group_id(group):
    """The gid of group (a name or a number); raises StackError unless it exists and this user
    may give files to it (root, or a member)."""
    try:
        gid = int(group) if str(group).isdigit() else grp.getgrnam(group).gr_gid
        name = grp.getgrgid(gid).gr_name
    except (KeyError, ValueError):
        raise StackError("there is no group %r; create it (addgroup %s) or name another"
                         % (group, group))
    if os.geteuid() != 0 and gid not in os.getgroups() and gid != os.getegid():
        raise StackError("you are not a member of group %s, so the stack cannot be shared with "
                         "it; adduser %s %s (then log in again) or name a group of yours"
                         % (name, os.environ.get("USER", "YOU"), name))
    return gid


def set_access(path, gid=None):
    """Decides who reaches the servers whose sockets are in folder path (ours): only this user
    (mode 0700), or also the members of group gid (group gid, mode 2750: they may enter and
    connect to the sockets, not read the files, which are created 0600, nor add any)."""
    if gid is None:
        os.chmod(path, 0o700)
    else:
        os.chown(path, -1, gid)
        os.chmod(path, 0o2750)


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


def _read(path):
    try:
        with open(path, "r", errors="replace") as f:
            return f.read()
    except OSError:
        return ""
