"""The systemd units of qmr-datastored and qmr-names pass systemd-analyze verify as the Debian
package installs them (binaries in /usr/sbin and /usr/bin, man page present), the options the
shipped options file gives are accepted by the server built here, and every server of the
packages listens on a Unix socket in /run/qmr only, where /etc/qmr/orb.conf points."""

import os
import re
import shlex
import shutil
import subprocess

import pytest

SOURCE_DIR = os.environ.get("QMR_SOURCE_DIR") or os.path.dirname(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD_DIR = os.environ.get("QMR_BUILD_DIR") or os.path.join(SOURCE_DIR, "build")
UNIT = os.path.join(SOURCE_DIR, "services", "datastored", "qmr-datastored.service")
NAMES_UNIT = os.path.join(SOURCE_DIR, "services", "datastored", "qmr-names.service")
DEFAULTS = os.path.join(SOURCE_DIR, "services", "datastored", "qmr-datastored.default")
ORB_CONF = os.path.join(SOURCE_DIR, "services", "datastored", "orb.conf")
TMPFILES = os.path.join(SOURCE_DIR, "services", "datastored", "qmr-datastored.tmpfiles")
SERVER = os.path.join(BUILD_DIR, "bin", "qmr-datastored")
# Where this system keeps the units of its packages (/lib is /usr/lib on Debian 12).
SYSTEM_UNITS = next((d for d in ("/usr/lib/systemd/system", "/lib/systemd/system")
                     if os.path.isdir(d)), "/usr/lib/systemd/system")


def unit_settings(path):
    """Key -> list of values of the unit file (a key may be given more than once)."""
    settings = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line and line[0] not in "#;[" and "=" in line:
                key, value = line.split("=", 1)
                settings.setdefault(key.strip(), []).append(value.strip())
    return settings


def environment_file(path):
    """The variables an EnvironmentFile= gives: VAR=value lines, values optionally quoted."""
    env = {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or line[0] in "#;":
                continue
            m = re.fullmatch(r'([A-Za-z_][A-Za-z0-9_]*)=(?:"([^"]*)"|(\S*))', line)
            assert m, f"{path}:{number}: not a VAR=value line: {line}"
            env[m.group(1)] = m.group(2) if m.group(2) is not None else m.group(3)
    return env


def exec_start_argv(env, unit=UNIT):
    """ExecStart split into words the way systemd does for unbraced $VAR."""
    (command,) = unit_settings(unit)["ExecStart"]
    argv = []
    for word in shlex.split(command):
        if re.fullmatch(r"\$[A-Za-z_][A-Za-z0-9_]*", word):
            argv.extend(env.get(word[1:], "").split())
        else:
            argv.append(word)
    return argv


def test_unit_passes_systemd_analyze_verify(tmp_path):
    if shutil.which("systemd-analyze") is None:
        pytest.skip("systemd-analyze is not installed (Debian package systemd); "
                    "the unit was not verified")
    assert os.access(SERVER, os.X_OK), f"{SERVER} is not built; run ./qmr build"
    # --man=yes runs man to resolve Documentation=man:...
    assert shutil.which("man"), "man is not installed (Debian package man-db; ./qmr deps)"
    # A root holding the system's units, the unit and what it refers to, where the packages
    # install them: verify checks that ExecStart is executable and Documentation= resolves.
    root = tmp_path / "root"
    shutil.copytree(SYSTEM_UNITS, root / SYSTEM_UNITS.lstrip("/"), symlinks=True)
    shutil.copy(UNIT, root / SYSTEM_UNITS.lstrip("/") / "qmr-datastored.service")
    shutil.copy(NAMES_UNIT, root / SYSTEM_UNITS.lstrip("/") / "qmr-names.service")
    (root / "usr/sbin").mkdir(parents=True)
    shutil.copy(SERVER, root / "usr/sbin/qmr-datastored")
    (root / "usr/bin").mkdir(parents=True)
    shutil.copy(shutil.which("omniNames") or "/usr/bin/omniNames", root / "usr/bin/omniNames")
    mandir = tmp_path / "man"
    (mandir / "man8").mkdir(parents=True)
    shutil.copy(os.path.join(SOURCE_DIR, "man", "qmr-datastored.8"), mandir / "man8")
    result = subprocess.run(
        ["systemd-analyze", "verify", f"--root={root}", "--man=yes",
         f"{SYSTEM_UNITS}/qmr-datastored.service", f"{SYSTEM_UNITS}/qmr-names.service"],
        capture_output=True, text=True, timeout=60,
        env={**os.environ, "MANPATH": str(mandir), "SYSTEMD_LOG_COLOR": "0"})
    # Unknown keys and unparsable values are only warnings to systemd: fail on any output.
    output = (result.stdout + result.stderr).strip()
    assert result.returncode == 0 and output == "", output


def orb_conf_settings(path):
    """Name -> list of values of an orb.conf ("Name = value" lines, '#' comments)."""
    settings = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                name, value = line.split("=", 1)
                settings.setdefault(name.strip(), []).append(value.strip())
    return settings


def test_shipped_options_are_accepted_by_the_server_and_stay_on_unix_sockets():
    assert os.access(SERVER, os.X_OK), f"{SERVER} is not built; run ./qmr build"
    env = environment_file(DEFAULTS)
    argv = exec_start_argv(env)
    # The server parses every option before it acts on --help: an option it does not know,
    # or a value it refuses, ends it with status 2 here as it would at service start.
    result = subprocess.run([SERVER] + argv[1:] + ["--help"], capture_output=True, text=True,
                            timeout=30, env={**os.environ, **env})
    assert result.returncode == 0, f"{' '.join(argv)}: {result.stderr}"
    orb_words = env["QMR_DATASTORED_ORB_OPTS"].split()
    endpoints = [orb_words[i + 1] for i, w in enumerate(orb_words) if w == "-ORBendPoint"]
    assert endpoints == ["giop:unix:/run/qmr/datastored/datastore.sock"], orb_words
    assert "--ior-file /run/qmr/datastored/datastore.ior" in " ".join(argv), argv
    # The naming service: only on its socket, where orb.conf sends every program.
    names = exec_start_argv({}, NAMES_UNIT)
    assert names[0] == "/usr/bin/omniNames" and names[names.index("-start") + 1][0] == "-", names
    assert [names[i + 1] for i, w in enumerate(names) if w == "-ORBendPoint"] == \
        ["giop:unix:/run/qmr/names.sock"], names
    assert orb_conf_settings(ORB_CONF) == {
        "InitRef": ["NameService=corbaloc:omniunix:/run/qmr/names.sock:/NameService"]}
    assert env["QMR_LOG_LEVEL"] in ("error", "warning", "info", "debug")


def test_the_socket_folders_let_in_the_access_group_only():
    """Each socket's folder is its service's, group qmr, no access for others; both units run
    in group qmr so that they reach each other."""
    folders = {}
    with open(TMPFILES, encoding="utf-8") as f:
        for line in f:
            fields = line.split()
            if fields and fields[0] == "d":
                folders[fields[1]] = tuple(fields[2:5])
    assert folders == {"/run/qmr": ("2750", "qmr-names", "qmr"),
                       "/run/qmr/datastored": ("2750", "qmr-datastored", "qmr")}, folders
    for unit, user in ((UNIT, "qmr-datastored"), (NAMES_UNIT, "qmr-names")):
        settings = unit_settings(unit)
        assert settings["User"] == [user] and settings["SupplementaryGroups"] == ["qmr"], unit

