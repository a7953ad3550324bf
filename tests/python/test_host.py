"""qmr-host as a program: the Python command line, exit statuses, its own options and the
messages it gives when it cannot start. Most cases start qmr-host as a child against the test
stack; the first group looks at the host these tests themselves run in."""

import os
import sys

import pytest

import qmr.DataStoreInterface
import qmr.MiscCorbaInterface
from qmr.embedded.DataStoreInterfaceImpl import InterfaceImpl as DataStoreImpl
from qmr.embedded.MiscCorbaInterfaceImpl import InterfaceImpl as MiscCorbaImpl


def test_this_host_bootstrapped_both_interfaces(host):
    assert isinstance(qmr.DataStoreInterface.interface, DataStoreImpl)
    assert isinstance(qmr.MiscCorbaInterface.interface, MiscCorbaImpl)
    assert os.path.samefile(sys.executable, host)
    assert "_datastore" in sys.modules and "_MiscCorba" in sys.modules


# ---- the Python command line

def test_script_gets_its_arguments_and_its_exit_status_passes_through(run_host, tmp_path):
    script = tmp_path / "args.py"
    script.write_text("import sys\nprint(repr(sys.argv[1:]))\nsys.exit(int(sys.argv[1]))\n")
    done = run_host(str(script), "7", "two words", "--datastore", "-ORBx")
    assert done.returncode == 7, done.stderr
    assert done.stdout.strip() == repr(["7", "two words", "--datastore", "-ORBx"])
    assert run_host(str(script), "0").returncode == 0


def test_dash_c_and_dash_m_run_like_python3(run_host, tmp_path):
    done = run_host("-c", "import sys; print(sys.argv); raise SystemExit(5)", "x")
    assert (done.returncode, done.stdout.strip()) == (5, "['-c', 'x']")
    (tmp_path / "hostmod.py").write_text(
        "import sys, qmr.DataStoreInterface as d\n"
        "print(__name__, sys.argv[1:], type(d.interface).__name__)\n")
    done = run_host("-m", "hostmod", "a", env={"PYTHONPATH": str(tmp_path)})
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "__main__ ['a'] InterfaceImpl"


def test_uncaught_exception_gives_status_1_and_a_traceback(run_host):
    done = run_host("-c", "raise ValueError('boom')")
    assert done.returncode == 1
    assert "ValueError: boom" in done.stderr


def test_script_from_standard_input_like_the_prompt(run_host):
    done = run_host(input="import _datastore, _MiscCorba\nprint(6 * 7)\n")
    assert (done.returncode, done.stdout.strip()) == (0, "42"), done.stderr


def test_python_options_after_host_options_reach_python(run_host):
    done = run_host("-B", "-c", "import sys; print(sys.dont_write_bytecode)")
    assert done.stdout.strip() == "True", done.stderr
    done = run_host("-Z")
    assert done.returncode == 2 and "-Z" in done.stderr


# ---- host options

def test_help_describes_the_options_and_exits_0(run_host):
    done = run_host("--help", orb=False)
    assert done.returncode == 0
    for word in ("--datastore NAME", "--no-datastore", "--log-level LEVEL", "-ORB",
                 "QMR_PYTHONPATH", "-c", "-m"):
        assert word in done.stdout
    assert done.stdout.startswith("usage: qmr-host")


@pytest.mark.parametrize("args,message", [
    (["--bogus"], "qmr-host: unknown option '--bogus'"),
    (["--log-level", "loud"], "qmr-host: unknown log level 'loud' (use error, warning, info or debug)"),
    (["--log-level"], "qmr-host: option --log-level needs a level"),
    (["--datastore"], "qmr-host: option --datastore needs a name"),
    (["-ORBInitRef"], "qmr-host: ORB option -ORBInitRef needs a value"),
])
def test_bad_command_line_says_what_is_wrong_and_exits_2(run_host, args, message):
    done = run_host(*args, "-c", "print('ran')", orb=False)
    assert done.returncode == 2
    assert done.stdout == ""
    assert done.stderr.startswith(message)
    assert "qmr-host --help" in done.stderr


def test_an_orb_option_the_orb_rejects_exits_2(run_host):
    done = run_host("-ORBnoSuchOption", "1", "-c", "print('ran')")
    assert done.returncode == 2 and done.stdout == ""
    assert "the ORB did not accept its options" in done.stderr


def test_log_level_filters_the_library_log(run_host):
    code = "import _datastore; _datastore.enableCaching(0)"
    lines = {level: run_host("--log-level", level, "-c", code).stderr.splitlines()
             for level in ("error", "info", "debug")}
    assert "INFO Attempting to connect to DataStore.." in lines["info"]
    assert not any(l.startswith("DEBUG") for l in lines["info"])
    assert "INFO Attempting to connect to DataStore.." in lines["debug"]
    assert any(l.startswith("DEBUG") for l in lines["debug"])
    assert lines["error"] == []
    env_level = run_host("-c", code, env={"QMR_LOG_LEVEL": "debug"}).stderr
    assert "DEBUG" in env_level


# ---- the data store

def test_unreachable_data_store_is_explained_and_exits_3(run_host):
    done = run_host("--datastore", "NoSuchStore", "-c", "print('ran')")
    assert done.returncode == 3
    assert done.stdout == ""
    assert 'qmr-host: cannot reach the data store "NoSuchStore": ' in done.stderr
    assert "--no-datastore" in done.stderr and "qmr-datastored" in done.stderr


def test_unreachable_naming_service_is_explained_and_exits_3(run_host, tmp_path):
    import socket
    with socket.socket() as s:  # a loopback port nobody listens on
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    done = run_host("-ORBInitRef", "NameService=corbaloc::127.0.0.1:%d/NameService" % port,
                    "-c", "print('ran')", orb=False)
    assert done.returncode == 3
    assert 'cannot reach the data store "DataStore": CORBA::TRANSIENT' in done.stderr


def test_no_datastore_runs_with_the_module_but_no_session(run_host):
    code = ("import _datastore, qmr.DataStoreInterface as d\n"
            "assert d.interface is not None\n"
            "try:\n    _datastore.get(['k'], None)\n"
            "except RuntimeError as e:\n    print(e)\n")
    for args in (["--no-datastore"], ["--no-datastore", "--datastore", "NoSuchStore"]):
        done = run_host(*args, "-c", code)
        assert done.returncode == 0, done.stderr
        assert done.stdout.strip() == "data store client is not initialised"
        assert "Attempting to connect" not in done.stderr


def test_datastore_option_takes_an_object_reference(run_host, stack):
    with open(stack.ior_path) as f:
        ior = f.read().strip()
    done = run_host("--datastore=" + ior, "-c", "import _datastore; print(_datastore.get(['k'], 0)[0])")
    assert (done.returncode, done.stdout.strip()) == (0, "1"), done.stderr


def test_writes_of_a_script_reach_the_store_and_the_next_host(run_host, tmp_path):
    key = "host-%d" % os.getpid()
    first = run_host("-c", "import _datastore as d; d.set([(%r, 'v1', 0)]); print(d.commit())" % key)
    assert first.stdout.strip() == "1", first.stderr
    second = run_host("-c", "import _datastore as d; print(d.get([%r], 0)[1])" % key)
    assert second.stdout.strip() == repr({key: "v1"}), second.stderr


# ---- the qmr package

def test_qmr_pythonpath_comes_first_and_a_broken_package_exits_4(run_host, tmp_path):
    (tmp_path / "qmr").mkdir()
    (tmp_path / "qmr" / "__init__.py").write_text("")
    done = run_host("--no-datastore", "-c", "print('ran')",
                    env={"QMR_PYTHONPATH": "/nonexistent:" + str(tmp_path)})
    assert done.returncode == 4 and done.stdout == ""
    assert "the qmr package did not set up" in done.stderr
    assert str(tmp_path) in done.stderr and "QMR_PYTHONPATH" in done.stderr


# ---- teardown

def test_exit_handlers_of_the_script_still_have_the_data_store(run_host):
    key = "host-atexit-%d" % os.getpid()
    code = ("import atexit, _datastore as d\n"
            "atexit.register(lambda: print(d.set([(%r, 'late', 0)]), d.commit()))\n" % key)
    done = run_host("-c", code)
    assert (done.returncode, done.stdout.strip()) == (0, "1 1"), done.stderr
    read = run_host("-c", "import _datastore as d; print(d.get([%r], 0)[1])" % key)
    assert read.stdout.strip() == repr({key: "late"}), read.stderr


def test_the_session_is_ended_at_exit_dropping_uncommitted_writes(run_host, stack, eventually):
    line = "ended by endSession: 1 pending changes discarded"
    before = stack.log("datastore").count(line)
    key = "host-pending-%d" % os.getpid()
    done = run_host("-c", "import _datastore as d; print(d.set([(%r, 'x', 0)]))" % key)
    assert (done.returncode, done.stdout.strip()) == (0, "1"), done.stderr
    assert eventually(lambda: stack.log("datastore").count(line) == before + 1)
    read = run_host("-c", "import _datastore as d; print(d.get([%r], 0)[2])" % key)
    assert read.stdout.strip() == repr({key: None})


def test_interactive_prompt_on_a_terminal(host, orb_args):
    import pty
    import select
    import subprocess
    import time
    master, slave = pty.openpty()
    proc = subprocess.Popen([host] + orb_args + ["-q"], stdin=slave, stdout=slave, stderr=slave,
                            close_fds=True)
    os.close(slave)
    try:
        os.write(master, b"import _datastore\nprint('answer', 6 * 7)\nraise SystemExit(9)\n")
        output = b""
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if not select.select([master], [], [], 0.5)[0]:
                if proc.poll() is not None:
                    break
                continue
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the terminal is gone with the process
                break
            if not chunk:
                break
            output += chunk
        assert proc.wait(timeout=30) == 9
    finally:
        if proc.poll() is None:
            proc.kill()
        os.close(master)
    assert b">>> " in output and b"answer 42" in output
