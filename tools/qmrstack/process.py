"""Processes by pid: ports on 127.0.0.1, waiting, starting a server detached, and what a
process listens on."""

import os
import signal
import socket
import subprocess
import time

from .common import CHILD_UMASK, StackError


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


def signal_all(pids, sig):
    """Sends sig to each of pids that still exists."""
    for pid in pids:
        try:
            os.kill(pid, sig)
        except ProcessLookupError:
            pass


def stop_process(pid, alive, grace=5.0):
    """SIGTERM to pid, then SIGKILL if alive() still holds after grace seconds; returns once
    alive() is false (or 5 s after the SIGKILL). alive() tells whether pid is still the
    process meant, not a later one that reuses its number."""
    signal_all([pid], signal.SIGTERM)
    if not wait_for(lambda: not alive(), timeout=grace):
        signal_all([pid], signal.SIGKILL)
        wait_for(lambda: not alive(), timeout=5.0)


def end_child(proc, grace=5.0):
    """Ends a child started with subprocess.Popen: SIGTERM, then SIGKILL if it has not exited
    after grace seconds; returns once it has been waited for."""
    proc.terminate()
    try:
        proc.wait(timeout=grace)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def listening(pid):
    """"ADDRESS:PORT" of each TCP socket and "unix:PATH" of each Unix stream socket that
    process pid listens on (from /proc), so that anyone can check who can reach a server."""
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
    with open("/proc/%d/net/unix" % pid) as f:
        for line in f.readlines()[1:]:
            # Num RefCount Protocol Flags Type St Inode [Path]; flag 0x10000: accepting.
            fields = line.split(None, 7)
            if len(fields) >= 7 and fields[6] in inodes and int(fields[3], 16) & 0x10000 \
                    and int(fields[4], 16) == socket.SOCK_STREAM:
                found.append("unix:" + (fields[7].strip() if len(fields) > 7 else "(unnamed)"))
    return found


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
