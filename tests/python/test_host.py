"""qmr-host as a program: the Python command line, exit statuses, its own options and what it
says when it cannot start, and the data store session around the script."""

import os
import pty
import select
import socket
import subprocess

import _datastore


def test_runs_scripts_code_modules_and_stdin_like_python3(run_host, tmp_path):
    script = tmp_path / "args.py"
    script.write_text("import sys\nprint(repr(sys.argv[1:]))\nsys.exit(int(sys.argv[1]))\n")
    done = run_host(str(script), "7", "two words", "--datastore", "-ORBx")
    assert (done.returncode, done.stdout.strip()) == (
        7, repr(["7", "two words", "--datastore", "-ORBx"])), done.stderr
    done = run_host("-O", "-c", "import sys; print(sys.argv, sys.flags.optimize)", "x")
    assert (done.returncode, done.stdout.strip()) == (0, "['-c', 'x'] 1"), done.stderr
    (tmp_path / "hostmod.py").write_text(
        "import sys, qmr.DataStoreInterface as d\n"
        "print(__name__, sys.argv[1:], type(d.interface).__name__)\n")
    done = run_host("-m", "hostmod", "a", env={"PYTHONPATH": str(tmp_path)})
    assert (done.returncode, done.stdout.strip()) == (0, "__main__ ['a'] InterfaceImpl")
    done = run_host(input="import _datastore, _MiscCorba\nprint(6 * 7)\n")
    assert (done.returncode, done.stdout.strip()) == (0, "42"), done.stderr
    done = run_host("-c", "raise ValueError('boom')")
    assert done.returncode == 1 and "ValueError: boom" in done.stderr
    done = run_host("-Z")
    assert done.returncode == 2 and "-Z" in done.stderr


def test_interactive_prompt_on_a_terminal(host, orb_args):
    master, slave = pty.openpty()
    proc = subprocess.Popen([host] + orb_args + ["-q"], stdin=slave, stdout=slave, stderr=slave)
    os.close(slave)
    output = b""
    try:
        os.write(master, b"import _datastore\nprint('answer', 6 * 7)\nraise SystemExit(9)\n")
        while select.select([master], [], [], 30)[0]:  # until the terminal closes
            try:
                chunk = os.read(master, 4096)
            except OSError:  # EIO: the process is gone
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


def test_help_and_bad_command_lines(run_host):
    done = run_host("--help", orb=False)
    assert done.returncode == 0 and done.stdout.startswith("usage: qmr-host")
    for word in ("--datastore NAME", "--no-datastore", "--log-level LEVEL", "-ORB",
                 "QMR_PYTHONPATH", "-c", "-m"):
        assert word in done.stdout
    for args, message in [
            (["--bogus"], "qmr-host: unknown option '--bogus'\n"),
            (["--log-level", "loud"],
             "qmr-host: unknown log level 'loud' (use error, warning, info or debug)\n"),
            (["--log-level"], "qmr-host: option --log-level needs a level"),
            (["--datastore"], "qmr-host: option --datastore needs a name"),
            (["-ORBInitRef"], "qmr-host: ORB option -ORBInitRef needs a value")]:
        done = run_host(*args, "-c", "print('ran')", orb=False)
        assert (done.returncode, done.stdout) == (2, ""), args
        assert done.stderr.startswith(message) and "qmr-host --help" in done.stderr, args
    done = run_host("-ORBnoSuchOption", "1", "-c", "print('ran')")
    assert (done.returncode, done.stdout) == (2, "")
    assert "qmr-host: the ORB did not accept its options (INITIALIZE)" in done.stderr


def test_log_level_filters_the_library_log(run_host):
    code = "import _datastore; _datastore.enableCaching(0)"
    attempt = "INFO Attempting to connect to DataStore.."
    debug = "DEBUG Disabling datastore caching"
    assert run_host("--log-level", "error", "-c", code).stderr == ""
    info = run_host("--log-level", "info", "-c", code).stderr.splitlines()
    assert attempt in info and debug not in info
    for args, env in [(["--log-level", "debug"], None), ([], {"QMR_LOG_LEVEL": "debug"})]:
        lines = run_host(*args, "-c", code, env=env).stderr.splitlines()
        assert attempt in lines and debug in lines


def test_unreachable_data_store_or_naming_service_is_explained_and_exits_3(run_host):
    done = run_host("--datastore", "NoSuchStore", "-c", "print('ran')")
    assert (done.returncode, done.stdout) == (3, "")
    assert 'qmr-host: cannot reach the data store "NoSuchStore": ' in done.stderr
    assert "--no-datastore" in done.stderr and "qmr-datastored" in done.stderr
    with socket.socket() as s:  # a loopback port nobody listens on
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    done = run_host("-ORBInitRef", "NameService=corbaloc::127.0.0.1:%d/NameService" % port,
                    "-c", "print('ran')", orb=False)
    assert (done.returncode, done.stdout) == (3, "")
    assert 'cannot reach the data store "DataStore": CORBA::TRANSIENT' in done.stderr
    # The advice is for a machine with the packages: no commands of the source tree.
    assert "./qmr" not in done.stderr and "tools/" not in done.stderr, done.stderr


def test_without_a_data_store_the_data_functions_raise_runtime_error(run_host):
    code = ("import _datastore as d, qmr.DataStoreInterface as i\n"
            "print(type(i.interface).__name__)\n"
            "for call in (lambda: d.get(['k'], None), lambda: d.set([('k', 'v', 0)]),\n"
            "             lambda: d.remove(['k']), d.commit, d.abort, d.clearCache,\n"
            "             lambda: d.enableCaching(1), lambda: d.get([], None)):\n"
            "    try:\n"
            "        call()\n"
            "    except (RuntimeError, TypeError) as e:\n"
            "        print(type(e).__name__, e)\n")
    for args in (["--no-datastore"], ["--no-datastore", "--datastore", "NoSuchStore"]):
        done = run_host(*args, "--log-level", "debug", "-c", code)
        assert done.returncode == 0, done.stderr
        assert done.stdout.splitlines() == (
            ["InterfaceImpl"] + ["RuntimeError data store client is not initialised"] * 7 +
            ["TypeError keys argument is empty or not of type list"])
        assert "Attempting to connect" not in done.stderr
        # A call that cannot reach a client logs nothing about what it would have done.
        assert "Adding datastore entry" not in done.stderr


def test_datastore_option_takes_an_object_reference(run_host, stack):
    with open(stack.ior_path) as f:
        ior = f.read().strip()
    done = run_host("--datastore=" + ior, "-c", "import _datastore as d; print(d.get(['k'], 0)[0])")
    assert (done.returncode, done.stdout.strip()) == (0, "1"), done.stderr


def test_qmr_pythonpath_comes_first_and_a_broken_package_exits_4(run_host, tmp_path):
    (tmp_path / "qmr").mkdir()
    (tmp_path / "qmr" / "__init__.py").write_text("")
    done = run_host("--no-datastore", "-c", "print('ran')",
                    env={"QMR_PYTHONPATH": "/nonexistent:" + str(tmp_path)})
    assert (done.returncode, done.stdout) == (4, "")
    assert "the qmr package did not set up" in done.stderr
    assert str(tmp_path) in done.stderr and "QMR_PYTHONPATH" in done.stderr


def test_exit_handlers_still_have_the_session_which_is_ended_after_them(run_host, stack, key,
                                                                        eventually):
    line = "ended by endSession: 1 pending changes discarded"
    before = stack.log("datastore").count(line)
    code = ("import atexit, _datastore as d\n"
            "atexit.register(lambda: print(d.set([(%r, 'late', 0)]), d.commit(),\n"
            "                              d.set([(%r, 'pending', 0)])))\n" % (key("a"), key("b")))
    done = run_host("-c", code)
    assert (done.returncode, done.stdout.strip()) == (0, "1 1 1"), done.stderr
    assert eventually(lambda: stack.log("datastore").count(line) == before + 1)
    assert _datastore.get([key("a"), key("b")], 0) == (1, {key("a"): "late"}, {key("b"): None})
