"""The systemd unit of qmr-datastored passes systemd-analyze verify as the Debian package
installs it (binary in /usr/sbin, man page present), and the options its shipped options file
gives are accepted by the server built here."""

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
DEFAULTS = os.path.join(SOURCE_DIR, "services", "datastored", "qmr-datastored.default")
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


def exec_start_argv(env):
    """ExecStart split into words the way systemd does for unbraced $VAR."""
    (command,) = unit_settings(UNIT)["ExecStart"]
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
    (root / "usr/sbin").mkdir(parents=True)
    shutil.copy(SERVER, root / "usr/sbin/qmr-datastored")
    mandir = tmp_path / "man"
    (mandir / "man8").mkdir(parents=True)
    shutil.copy(os.path.join(SOURCE_DIR, "man", "qmr-datastored.8"), mandir / "man8")
    result = subprocess.run(
        ["systemd-analyze", "verify", f"--root={root}", "--man=yes",
         f"{SYSTEM_UNITS}/qmr-datastored.service"],
        capture_output=True, text=True, timeout=60,
        env={**os.environ, "MANPATH": str(mandir), "SYSTEMD_LOG_COLOR": "0"})
    # Unknown keys and unparsable values are only warnings to systemd: fail on any output.
    output = (result.stdout + result.stderr).strip()
    assert result.returncode == 0 and output == "", output


def test_shipped_options_are_accepted_by_the_server_and_stay_on_loopback():
    assert os.access(SERVER, os.X_OK), f"{SERVER} is not built; run ./qmr build"
    env = environment_file(DEFAULTS)
    argv = exec_start_argv(env)
    # The server parses every option before it acts on --help: an option it does not know,
    # or a value it refuses, ends it with status 2 here as it would at service start.
    result = subprocess.run([SERVER] + argv[1:] + ["--help"], capture_output=True, text=True,
                            timeout=30, env={**os.environ, **env})
    assert result.returncode == 0, f"{' '.join(argv)}: {result.stderr}"
    orb_words = env["QMR_DATASTORED_ORB_OPTS"].split()
    assert "-ORBendPoint" not in orb_words, "the shipped options must leave the server on 127.0.0.1"
    refs = [w for w in orb_words if w.startswith("NameService=")]
    assert refs and all("::127.0.0.1:" in r for r in refs), orb_words
    assert env["QMR_LOG_LEVEL"] in ("error", "warning", "info", "debug")

