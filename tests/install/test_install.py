"""test_install.py - the library and its programs outside the build tree.

The build is staged with `DESTDIR=… cmake --install` under a prefix nobody uses, then used
only from there: a consumer project finds it with find_package(qmr_client) and with
pkg-config, the staged qmr-datastored serves a real omniNames, and the staged qmr-host runs a
script from a folder outside the source tree.
"""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import pytest

SOURCE = os.environ.get("QMR_SOURCE_DIR") or os.path.dirname(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("QMR_BUILD_DIR") or os.path.join(SOURCE, "build")
sys.path.insert(0, os.path.join(SOURCE, "tools"))

from qmrstack import Stack  # noqa: E402

PREFIX = "/opt/qmr-staged"  # never created: everything lands under DESTDIR


def run(argv, **kwargs):
    kwargs.setdefault("capture_output", True)
    kwargs.setdefault("text", True)
    kwargs.setdefault("timeout", 120)
    return subprocess.run(argv, **kwargs)


def clean_env(**extra):
    """The environment of a user who has nothing of this project set."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("QMR_", "PYTHON", "LD_", "PKG_CONFIG", "CMAKE_"))}
    env.update(extra)
    return env


@pytest.fixture(scope="module")
def tmp():
    folder = tempfile.mkdtemp(prefix="qmr-install-")
    yield folder
    if os.environ.get("QMR_KEEP_TMP") != "1":
        shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture(scope="module")
def staged(tmp):
    """The installed prefix, as a path that exists (DESTDIR + PREFIX)."""
    dest = os.path.join(tmp, "dest")
    done = run(["cmake", "--install", BUILD, "--prefix", PREFIX],
               env=dict(os.environ, DESTDIR=dest))
    assert done.returncode == 0, done.stdout + done.stderr
    assert not os.path.exists(PREFIX), "DESTDIR was not honoured"
    return dest + PREFIX


def libdir(prefix):
    """The library folder of the prefix (lib, or lib/<multiarch> for /usr)."""
    for root, _, files in os.walk(prefix):
        if "libqmr_client.so.1" in files:
            return root
    pytest.fail("libqmr_client.so.1 is not installed under %s" % prefix)


@pytest.fixture(scope="module")
def stack(tmp, staged):
    """omniNames and omniEvents from the stack tool, and the staged qmr-datastored."""
    s = Stack.up(os.path.join(tmp, "stack"), datastore=False)
    log = open(os.path.join(tmp, "datastored.log"), "w")
    server = subprocess.Popen(
        [os.path.join(staged, "sbin", "qmr-datastored"), "--db", os.path.join(tmp, "store.db"),
         "--ior-file", os.path.join(tmp, "ior")] + s.orb_args(),
        stdout=subprocess.PIPE, stderr=log, text=True, env=clean_env(), cwd=tmp)
    try:
        ready = server.stdout.readline()
        assert ready.startswith("qmr-datastored: ready"), open(log.name).read()
        yield s
    finally:
        server.terminate()
        server.wait(timeout=10)
        log.close()
        s.down()


def test_the_prefix_holds_what_a_user_of_the_library_needs(staged):
    lib = libdir(staged)
    for path in ["include/qmr/DataStoreManager.h", "include/qmr/util/Log.h",
                 "include/qmr/ClientCore/DataStore.hh", "include/qmr/ClientCore/Event.hh",
                 "share/idl/qmr/DataStoreSession.idl", "bin/qmr-host", "bin/qmr-listen",
                 "sbin/qmr-datastored", "share/qmr/python/qmr/DataStoreInterface.py",
                 "share/qmr/python/_datastore.pyi", "share/qmr/python/_MiscCorba.pyi"]:
        assert os.path.exists(os.path.join(staged, path)), path
    for name in ["libqmr_client.so", "libqmr_util.so", "libqmr_util.so.1",
                 "cmake/qmr_client/qmr_clientConfigVersion.cmake", "pkgconfig/qmr-client.pc"]:
        assert os.path.exists(os.path.join(lib, name)), name
    # Generated headers live inside include/qmr/, never at the top of include/.
    assert not [f for f in os.listdir(os.path.join(staged, "include")) if f.endswith(".hh")]


def needed(path):
    out = run(["readelf", "-d", path]).stdout
    return [line.split("[")[1].rstrip("]") for line in out.splitlines() if "(NEEDED)" in line]


def test_only_what_embeds_python_loads_libpython(staged):
    lib = libdir(staged)
    assert "libqmr_util.so.1" in needed(os.path.join(staged, "sbin", "qmr-datastored"))
    for path in [os.path.join(staged, "sbin", "qmr-datastored"),
                 os.path.join(staged, "bin", "qmr-listen"), os.path.join(lib, "libqmr_util.so.1")]:
        assert not [n for n in needed(path) if "python" in n], path
    assert [n for n in needed(os.path.join(staged, "bin", "qmr-host")) if "python" in n]
    assert "libqmr_util.so.1" in needed(os.path.join(lib, "libqmr_client.so.1"))


def test_a_cmake_project_and_a_pkg_config_line_build_a_client_that_talks_to_the_store(
        tmp, staged, stack):
    consumer = os.path.join(SOURCE, "examples", "consumer")
    env = clean_env()
    cmake_build = os.path.join(tmp, "consumer-cmake")
    done = run(["cmake", "-S", consumer, "-B", cmake_build, "-G", "Ninja",
                "-DCMAKE_PREFIX_PATH=" + staged], env=env)
    assert done.returncode == 0, done.stdout + done.stderr
    done = run(["cmake", "--build", cmake_build], env=env)
    assert done.returncode == 0, done.stdout + done.stderr

    pc_program = os.path.join(tmp, "consumer-pkgconfig")
    pc_env = clean_env(PKG_CONFIG_PATH=os.path.join(libdir(staged), "pkgconfig"))
    done = run(["sh", "-c", 'c++ -std=c++17 "$1" -o "$2" $(pkg-config --cflags --libs qmr-client)',
                "sh", os.path.join(consumer, "consumer.cc"), pc_program], env=pc_env)
    assert done.returncode == 0, done.stdout + done.stderr

    # The CMake-built program finds the libraries by its build RPATH, the pkg-config one by
    # LD_LIBRARY_PATH, as a user of such a line would set it.
    for program, key, program_env in [
            (os.path.join(cmake_build, "qmr-consumer"), "from-cmake", env),
            (pc_program, "from-pkg-config", clean_env(LD_LIBRARY_PATH=libdir(staged)))]:
        done = run([program] + stack.orb_args() + [key, "value of " + key],
                   env=program_env, cwd=tmp)
        assert done.returncode == 0, done.stdout + done.stderr
        assert done.stdout.splitlines() == [key + "=value of " + key,
                                            "missing: %s.missing" % key]
        assert staged in run(["ldd", program], env=program_env).stdout

    # Run as a newcomer would: without arguments, without a Naming Service, with one that is
    # not there. Each ends with a sentence saying what to do, never with an uncaught exception.
    program = os.path.join(cmake_build, "qmr-consumer")
    with socket.socket() as s:  # a loopback port nobody listens on
        s.bind(("127.0.0.1", 0))
        dead = "NameService=corbaloc::127.0.0.1:%d/NameService" % s.getsockname()[1]
    for args, status, says in [
            ([], 2, "usage: qmr-consumer"),
            (["k", "v"], 1, "qmr-consumer: CORBA::INITIALIZE: no Naming Service is configured; "
                            "give -ORBInitRef"),
            (["-ORBInitRef", dead, "k", "v"], 1,
             "qmr-consumer: CORBA::TRANSIENT: the Naming Service or the data store cannot be "
             "reached")]:
        done = run([program] + args, env=env, cwd=tmp)
        assert (done.returncode, done.stdout) == (status, ""), (args, done.stderr)
        assert says in done.stderr and "terminate called" not in done.stderr, (args, done.stderr)


def test_the_package_version_file_refuses_another_major_version(tmp, staged):
    project = os.path.join(tmp, "version-check")
    os.makedirs(project, exist_ok=True)
    results = {}
    for wanted in ["2.14", "2.0", "3.0", "2.99"]:
        with open(os.path.join(project, "CMakeLists.txt"), "w") as f:
            f.write("cmake_minimum_required(VERSION 3.16)\nproject(v NONE)\n"
                    "find_package(qmr_client %s CONFIG QUIET)\n"
                    "message(STATUS \"found=${qmr_client_FOUND}\")\n" % wanted)
        done = run(["cmake", "-S", project, "-B", os.path.join(project, "b-" + wanted),
                    "-DCMAKE_PREFIX_PATH=" + staged], env=clean_env())
        results[wanted] = "found=1" in done.stdout
    assert results == {"2.14": True, "2.0": True, "3.0": False, "2.99": False}


def test_the_staged_host_runs_a_script_with_the_installed_package_only(tmp, staged, stack):
    work = os.path.join(tmp, "elsewhere")
    os.makedirs(work, exist_ok=True)
    with open(os.path.join(work, "script.py"), "w") as f:
        f.write("import sys, qmr, _datastore\n"
                "print(qmr.__file__)\n"
                "print([p for p in sys.path if %r in p])\n"
                "print(_datastore.get(['from-cmake', 'nothing'], 0))\n" % SOURCE)
    # The consumer test may not have run (-k): write the key the script reads here as well.
    done = run([os.path.join(staged, "bin", "qmr-host")] + stack.orb_args() + ["-c",
               "import _datastore as d; d.set([('from-cmake', 'value of from-cmake', 0)]); "
               "assert d.commit() == 1"], env=clean_env(), cwd=work)
    assert done.returncode == 0, done.stderr
    done = run([os.path.join(staged, "bin", "qmr-host")] + stack.orb_args() + ["script.py"],
               env=clean_env(), cwd=work)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert os.path.realpath(lines[0]).startswith(os.path.realpath(staged) + "/share/qmr/python/")
    assert lines[1] == "[]"  # nothing of the source tree on sys.path
    assert lines[2] == "(1, {'from-cmake': 'value of from-cmake'}, {'nothing': None})"
    # QMR_PYTHONPATH still comes first.
    override = os.path.join(tmp, "override")
    os.makedirs(os.path.join(override, "qmr"), exist_ok=True)
    open(os.path.join(override, "qmr", "__init__.py"), "w").close()
    done = run([os.path.join(staged, "bin", "qmr-host"), "--no-datastore", "-c", "print(1)"],
               env=clean_env(QMR_PYTHONPATH=override), cwd=work)
    assert done.returncode == 4 and override in done.stderr, done.stderr
