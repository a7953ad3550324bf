#!/usr/bin/python3
"""debcheck - installs the four qmr .deb packages of a folder with apt-get, checks that the
installed system works without any source or build tree, and purges the packages again.

    tools/debcheck.py build-deb        (./qmr package --check runs it after lintian)

What it checks, every program run from /tmp with no QMR_, PYTHON, LD_ or PKG_CONFIG variable:
  - qmr-host, qmr-listen and qmr-datastored answer --help from /usr; their man pages resolve;
  - qmr-datastored loads no libpython and every library of the three resolves;
  - the installed qmr-host finds the qmr package and the .pyi stubs in /usr/share/qmr/python;
  - the system users qmr-datastored and qmr-names and the access group qmr exist,
    /etc/default/qmr-datastored and /etc/qmr/orb.conf are conffiles, /run/qmr is made for group
    qmr only, and the installed units pass systemd-analyze verify;
  - the packaged services, started as their units say (as their users, without systemd),
    serve `qmr-host -c ...` with no option at all (the Naming Service from /etc/qmr/orb.conf)
    for root and a member of group qmr, and refuse nobody;
  - a script in the installed qmr-host writes, commits and reads back through the installed
    qmr-datastored, and signals an event that qmr-listen prints (omniNames and omniEvents on
    free 127.0.0.1 ports in a temporary folder, stopped by process id);
  - examples/consumer, built against /usr with find_package(qmr_client) and with a pkg-config
    compiler line, writes and reads back through the same server;
  - after the purge: no package, state folder or options file is left, and the system users
    qmr-datastored and qmr-names and the group qmr are (the postrm keeps them on purpose:
    deleted, their ids could go to a later user, who would own what the services left behind).
Packages that apt-get pulled in for them are purged too; then the check deletes the users and
groups that the packages created itself, to leave the machine as it found it.
It refuses to run when one of the four packages is installed already. Needs root (or sudo).
"""

import argparse
import glob
import grp
import os
import pwd
import shlex
import shutil
import subprocess
import sys
import tempfile
import time

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tools"))

from qmrstack import Stack, StackError, end_child  # noqa: E402

PACKAGES = ["libqmr-client1", "libqmr-client-dev", "qmr-host", "qmr-datastored"]
USER = "qmr-datastored"
NAMES_USER = "qmr-names"
ACCESS_GROUP = "qmr"
SUDO = [] if os.geteuid() == 0 else ["sudo"]


class CheckFailed(Exception):
    pass


def say(text):
    print("debcheck: " + text, file=sys.stderr, flush=True)


def run(argv, check=True, **kwargs):
    """Runs argv from /tmp in the environment of a user who has nothing of this project set
    (no QMR_, PYTHON, LD_, PKG_CONFIG or CMAKE_ variable), so only /usr can serve it."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("QMR_", "PYTHON", "LD_", "PKG_CONFIG", "CMAKE_"))}
    env.update(kwargs.pop("env", {}))
    result = subprocess.run(argv, capture_output=True, text=True, cwd="/tmp", env=env,
                            timeout=kwargs.pop("timeout", 120), **kwargs)
    if check and result.returncode != 0:
        raise CheckFailed("%s exited with %d:\n%s%s" % (" ".join(argv), result.returncode,
                                                        result.stdout, result.stderr))
    return result


def installed(package):
    result = run(["dpkg-query", "-W", "-f=${Status}", package], check=False)
    return result.returncode == 0 and "install ok installed" in result.stdout


def auto_installed():
    return set(run(["apt-mark", "showauto"]).stdout.split())


def apt_get(*args):
    env = {"DEBIAN_FRONTEND": "noninteractive"}
    return run(SUDO + ["apt-get", "-y", "-q"] + list(args), env=env, timeout=600)


def exists(lookup, name):
    try:
        lookup(name)
        return True
    except KeyError:
        return False


def check(what, condition, detail=""):
    if not condition:
        raise CheckFailed(what + (": " + detail if detail else ""))
    say("ok: " + what)


# ---- the checks of the installed system

def check_programs():
    for program in ("/usr/bin/qmr-host", "/usr/bin/qmr-listen", "/usr/sbin/qmr-datastored"):
        out = run([program, "--help"]).stdout
        check(program + " --help", out.startswith("usage:"), out[:200])
    if shutil.which("man"):
        for page in ("qmr-host", "qmr-listen", "qmr-datastored"):
            path = run(["man", "-w", page]).stdout.strip()
            check("man page of " + page, path.startswith("/usr/share/man/"), path)
    for program in ("/usr/bin/qmr-host", "/usr/bin/qmr-listen", "/usr/sbin/qmr-datastored"):
        libs = run(["ldd", program]).stdout
        check("libraries of %s resolve" % program, "not found" not in libs, libs)
        # "libqmr_util.so.1 => /lib/x86_64-linux-gnu/libqmr_util.so.1 (0x...)"
        ours = [line.split()[2] for line in libs.splitlines() if line.strip().startswith("libqmr_")]
        check("%s loads its libqmr_ libraries from the system folders" % program,
              ours and all(path.startswith(("/lib/", "/usr/lib/")) for path in ours), libs)
    libs = run(["ldd", "/usr/sbin/qmr-datastored"]).stdout
    check("qmr-datastored loads no libpython", "libpython" not in libs, libs)


def check_python_package():
    code = ("import qmr, _datastore, _MiscCorba, os; "
            "d = os.path.realpath(os.path.dirname(os.path.dirname(qmr.__file__))); print(d); "
            "print(all(os.path.isfile(os.path.join(d, m + '.pyi')) for m in ('_datastore', "
            "'_MiscCorba')))")
    out = run(["/usr/bin/qmr-host", "--no-datastore", "-c", code]).stdout.split()
    check("installed qmr-host finds the qmr package in /usr/share/qmr/python",
          out[:1] == ["/usr/share/qmr/python"], " ".join(out))
    check("the .pyi stubs lie beside the qmr package", out[1:] == ["True"], " ".join(out))


def check_service_files():
    user = pwd.getpwnam(USER) if exists(pwd.getpwnam, USER) else None
    check("system user %s" % USER, user is not None and user.pw_uid < 1000
          and user.pw_dir == "/var/lib/qmr-datastored" and user.pw_shell.endswith("nologin"),
          str(user))
    check("group %s" % USER, exists(grp.getgrnam, USER))
    check("system user %s" % NAMES_USER, exists(pwd.getpwnam, NAMES_USER))
    check("access group %s" % ACCESS_GROUP, exists(grp.getgrnam, ACCESS_GROUP))
    conffiles = run(["dpkg-query", "-W", "-f=${Conffiles}", "qmr-datastored"]).stdout
    for conffile in ("/etc/default/qmr-datastored", "/etc/qmr/orb.conf"):
        check(conffile + " is a conffile", conffile in conffiles, conffiles)
    for folder, owner in (("/run/qmr", NAMES_USER), ("/run/qmr/datastored", USER)):
        st = os.stat(folder) if os.path.isdir(folder) else None
        check("%s is %s's, group %s, mode 2750" % (folder, owner, ACCESS_GROUP),
              st is not None and st.st_mode & 0o7777 == 0o2750
              and st.st_uid == pwd.getpwnam(owner).pw_uid
              and st.st_gid == grp.getgrnam(ACCESS_GROUP).gr_gid,
              "missing" if st is None else "%o %d:%d" % (st.st_mode, st.st_uid, st.st_gid))
    for name in ("qmr-datastored", "qmr-names"):
        units = glob.glob("/lib/systemd/system/%s.service" % name) + glob.glob(
            "/usr/lib/systemd/system/%s.service" % name)
        check("the unit %s.service is installed" % name, bool(units))
        if shutil.which("systemd-analyze"):
            result = run(["systemd-analyze", "verify", units[0]], check=False)
            output = (result.stdout + result.stderr).strip()
            check("systemd-analyze verify " + units[0], result.returncode == 0 and not output,
                  output)
        else:
            say("systemd-analyze is not installed: %s was not verified" % units[0])


def unit_command(name, env):
    """ExecStart of the installed unit `name`, split into words as systemd does (unbraced $VAR
    into the words of its value in env)."""
    path = next(p for p in ("/lib/systemd/system/" + name, "/usr/lib/systemd/system/" + name)
                if os.path.exists(p))
    with open(path) as f:
        command = next(line.split("=", 1)[1].strip() for line in f
                       if line.startswith("ExecStart="))
    argv = []
    for word in shlex.split(command):
        argv.extend(env.get(word[1:], "").split() if word.startswith("$") else [word])
    return argv


def environment_file(path):
    env = {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#") and "=" in line:
                key, value = line.split("=", 1)
                env[key] = value.strip('"')
    return env


def as_service_user(user):
    """setpriv to user, with its own group and the access group, as the units run them."""
    return ["setpriv", "--reuid=" + user, "--regid=" + user,
            "--groups=" + str(grp.getgrnam(ACCESS_GROUP).gr_gid)]


def check_packaged_service():
    """The packaged omniNames and qmr-datastored, started the way their units start them (as
    their users, in group qmr, their state folders made as systemd makes them), and the
    installed qmr-host with no option: /etc/qmr/orb.conf must lead it to them."""
    for folder, user, mode in (("/var/lib/qmr-names", NAMES_USER, 0o700),
                               ("/var/lib/qmr-datastored", USER, 0o750)):
        if not os.path.isdir(folder):
            os.makedirs(folder, mode)
            pw = pwd.getpwnam(user)
            os.chown(folder, pw.pw_uid, pw.pw_gid)
    logs = tempfile.mkdtemp(prefix="qmr-debcheck-service.")
    env = environment_file("/etc/default/qmr-datastored")
    procs = []
    try:
        for unit, user, ready in (("qmr-names.service", NAMES_USER, "/run/qmr/names.sock"),
                                  ("qmr-datastored.service", USER,
                                   "/run/qmr/datastored/datastore.ior")):
            log = open(os.path.join(logs, unit + ".log"), "w")
            procs.append(subprocess.Popen(as_service_user(user) + unit_command(unit, env),
                                          stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                          cwd="/", env={"PATH": "/usr/sbin:/usr/bin:/sbin:/bin",
                                                        "QMR_LOG_LEVEL": "info"}))
            deadline = time.time() + 20
            while not os.path.exists(ready) and procs[-1].poll() is None and time.time() < deadline:
                time.sleep(0.1)
            with open(log.name) as f:
                check(unit + " started as its unit says", os.path.exists(ready), f.read())
        st = os.stat("/run/qmr/datastored/datastore.ior")
        check("the reference file is 0640, group %s" % ACCESS_GROUP,
              st.st_mode & 0o777 == 0o640 and st.st_gid == grp.getgrnam(ACCESS_GROUP).gr_gid,
              "%o gid %d" % (st.st_mode, st.st_gid))
        script = ("from qmr.DataStoreInterface import interface as s; s.set({'debcheck.d': 'v'}); "
                  "s.commit(); print(s.get(['debcheck.d'])[0])")
        result = run(["/usr/bin/qmr-host", "-c", script], check=False)
        check("qmr-host -c with no option works against the packaged service (root)",
              result.returncode == 0 and "'debcheck.d': 'v'" in result.stdout,
              result.stdout + result.stderr)
        member = ["setpriv", "--reuid=nobody", "--regid=nogroup",
                  "--groups=" + str(grp.getgrnam(ACCESS_GROUP).gr_gid)]
        result = run(member + ["/usr/bin/qmr-host", "-c", script], check=False)
        check("... and for a member of group %s" % ACCESS_GROUP,
              result.returncode == 0 and "'debcheck.d': 'v'" in result.stdout,
              result.stdout + result.stderr)
        outsider = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
        result = run(outsider + ["/usr/bin/qmr-host", "-c", script], check=False)
        check("... but not for nobody outside it (status 3, advice with installed commands only)",
              result.returncode == 3 and "adduser USER qmr" in result.stderr
              and "./qmr" not in result.stderr, result.stdout + result.stderr)
    finally:
        for proc in reversed(procs):
            end_child(proc, grace=10)
        shutil.rmtree(logs, ignore_errors=True)


SCRIPT = r"""
import sys
from qmr.DataStoreInterface import interface as store
from qmr.MiscCorbaInterface import interface as events
store.set({"debcheck.key": "installed é"}, expiry=0)
store.commit()
found, missing = store.get(["debcheck.key", "debcheck.absent"])
assert found == {"debcheck.key": "installed é"}, found
assert missing == {"debcheck.absent"}, missing
events.signal(sys.argv[1], "debcheck.event", "delivered")
print("roundtrip ok")
"""


def check_stack(confine):
    """The installed programs against omniNames and omniEvents on loopback."""
    folder = tempfile.mkdtemp(prefix="qmr-debcheck.")
    # Stack runs BUILD/bin/qmr-datastored: point that at the installed server.
    fake_build = os.path.join(folder, "installed")
    os.makedirs(os.path.join(fake_build, "bin"))
    os.symlink("/usr/sbin/qmr-datastored", os.path.join(fake_build, "bin", "qmr-datastored"))
    os.makedirs(os.path.join(fake_build, "lib"))
    os.symlink(confine, os.path.join(fake_build, "lib", "libqmr_confine.so"))
    stack = None
    listener = None
    try:
        stack = Stack.up(os.path.join(folder, "stack"), channels=["DebCheck"], build=fake_build)
        orb = stack.orb_args()
        listener = subprocess.Popen(["/usr/bin/qmr-listen", "--count", "1", "--timeout", "30"]
                                    + orb + ["DebCheck"], cwd="/tmp", stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, text=True)
        # The listener says so on stderr once connected; read that one line.
        line = listener.stderr.readline()
        check("installed qmr-listen connects to the channel", "listening on DebCheck" in line,
              line.strip())
        result = run(["/usr/bin/qmr-host"] + orb + ["-c", SCRIPT, "DebCheck"], check=False)
        check("a script in the installed qmr-host writes, commits and reads through the "
              "installed qmr-datastored", result.returncode == 0 and "roundtrip ok"
              in result.stdout, result.stdout + result.stderr)
        out, err = listener.communicate(timeout=40)
        check("installed qmr-listen prints the event the script signalled",
              listener.returncode == 0 and out.strip() == "DebCheck debcheck.event delivered",
              out + err)
        listener = None
        for program, how in build_consumers(folder):
            result = run([program] + orb + ["debcheck." + how, how], check=False)
            check("examples/consumer built with %s against /usr writes and reads back" % how,
                  result.returncode == 0 and "debcheck.%s=%s" % (how, how) in result.stdout,
                  result.stdout + result.stderr)
    finally:
        if listener is not None:
            listener.kill()
            listener.wait()
        if stack is not None:
            stack.down()
        shutil.rmtree(folder, ignore_errors=True)


def build_consumers(folder):
    """examples/consumer built against the installed libqmr-client-dev, once with
    find_package(qmr_client) and once with one pkg-config compiler line."""
    source = os.path.join(SOURCE_DIR, "examples", "consumer")
    build = os.path.join(folder, "consumer-cmake")
    run(["cmake", "-S", source, "-B", build, "-G", "Ninja"])
    run(["cmake", "--build", build], timeout=300)
    pc_program = os.path.join(folder, "consumer-pkg-config")
    run(["sh", "-c", 'c++ -std=c++17 "$1" -o "$2" $(pkg-config --cflags --libs qmr-client)',
         "c++", os.path.join(source, "consumer.cc"), pc_program], timeout=300)
    return [(os.path.join(build, "qmr-consumer"), "cmake"), (pc_program, "pkg-config")]


# ---- install and purge

def main():
    p = argparse.ArgumentParser(
        description="Install the qmr .deb packages of DIR, check the installed system, purge "
                    "them again (see the top of this file for what is checked).")
    p.add_argument("dir",
                   help="folder holding the .deb files (./qmr package puts them in build-deb/)")
    p.add_argument("--confine", metavar="LIB",
                   default=os.path.join(SOURCE_DIR, "build", "lib", "libqmr_confine.so"),
                   help="the loopback shim the check's omniNames and omniEvents run with "
                        "(default: build/lib/libqmr_confine.so of this tree)")
    args = p.parse_args()

    debs = []
    for package in PACKAGES:
        found = sorted(glob.glob(os.path.join(os.path.abspath(args.dir), package + "_*.deb")))
        if not found:
            say("no %s_*.deb in %s; build the packages with ./qmr package" % (package, args.dir))
            return 2
        debs.append(found[-1])
    already = [p for p in PACKAGES if installed(p)]
    if already:
        say("%s already installed on this machine; this check installs and purges them, so "
            "remove them first (apt-get purge %s)" % (", ".join(already), " ".join(already)))
        return 2

    had_users = {u for u in (USER, NAMES_USER) if exists(pwd.getpwnam, u)}
    had_groups = {g for g in (USER, NAMES_USER, ACCESS_GROUP) if exists(grp.getgrnam, g)}
    auto_before = auto_installed()
    started = time.time()
    rc = 0
    try:
        say("installing " + " ".join(os.path.basename(d) for d in debs))
        apt_get("install", "--no-install-recommends", *debs)
        check("the four packages are installed", all(installed(p) for p in PACKAGES))
        check_programs()
        check_python_package()
        check_service_files()
        check_packaged_service()
        check_stack(os.path.abspath(args.confine))
    except (CheckFailed, StackError, subprocess.TimeoutExpired) as e:
        say("FAILED: %s" % e)
        rc = 1
    finally:
        rc = purge(auto_before, had_users, had_groups) or rc
    say("%s in %.0f s" % ("all checks passed" if rc == 0 else "failed", time.time() - started))
    return rc


def purge(auto_before, had_users, had_groups):
    """Purges the packages and what came with them; returns 1 if something is left."""
    pulled = sorted(auto_installed() - auto_before)
    present = [p for p in PACKAGES if installed(p)]
    try:
        if present or pulled:
            say("purging " + " ".join(present + pulled))
            apt_get("purge", *(present + pulled))
        if "qmr-datastored" in present:
            check("the purge keeps the system users and the group qmr (on purpose)",
                  all(exists(pwd.getpwnam, u) for u in (USER, NAMES_USER))
                  and exists(grp.getgrnam, ACCESS_GROUP))
            say("deleting the users and groups that the purge keeps on purpose")
        for user in (USER, NAMES_USER):
            if user not in had_users and exists(pwd.getpwnam, user):
                run(SUDO + ["userdel", user])
        for group in (USER, NAMES_USER, ACCESS_GROUP):
            if group not in had_groups and exists(grp.getgrnam, group):
                run(SUDO + ["groupdel", group])
        left = [p for p in PACKAGES if installed(p)]
        left += [f for f in ("/var/lib/qmr-datastored", "/var/lib/qmr-names",
                             "/etc/default/qmr-datastored", "/etc/qmr", "/run/qmr",
                             "/usr/sbin/qmr-datastored", "/usr/share/qmr") if os.path.exists(f)]
        left += ["user " + u for u in (USER, NAMES_USER)
                 if u not in had_users and exists(pwd.getpwnam, u)]
        check("nothing of the packages is left after the purge", not left, ", ".join(left))
    except CheckFailed as e:
        say("FAILED: %s" % e)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
