"""The qmr package: what the bootstraps leave behind, the script API of the two InterfaceImpl
classes against the real stack, and behaviour without a data store or outside the host."""

import os
import subprocess
import uuid

import pytest

import qmr
import qmr.DataStoreInterface
import qmr.MiscCorbaInterface
from qmr.embedded.DataStoreInterfaceImpl import InterfaceImpl as DataStoreImpl
from qmr.embedded.MiscCorbaInterfaceImpl import InterfaceImpl as MiscCorbaImpl

PYTHON_DIR = os.path.dirname(os.path.dirname(os.path.abspath(qmr.__file__)))


@pytest.fixture
def store():
    return qmr.DataStoreInterface.interface


@pytest.fixture
def key():
    prefix = "p-%s-" % uuid.uuid4().hex[:10]
    return lambda name: prefix + name


def test_bootstraps_leave_both_interfaces_set():
    assert type(qmr.DataStoreInterface.interface) is DataStoreImpl
    assert type(qmr.MiscCorbaInterface.interface) is MiscCorbaImpl
    assert qmr.DataStoreInterface.get_interface() is qmr.DataStoreInterface.interface
    assert qmr.MiscCorbaInterface.get_interface() is qmr.MiscCorbaInterface.interface


def test_get_returns_found_dict_and_missing_set(store, key):
    store.set({key("a"): "1", key("b"): "2"})
    store.commit()
    assert store.get([key("a"), key("b"), key("c")]) == (
        {key("a"): "1", key("b"): "2"}, {key("c")})
    assert store.get(key("a"), cache=True) == ({key("a"): "1"}, set())
    assert store.get((k for k in [key("c")]), cache=False) == ({}, {key("c")})
    assert store.value(key("b")) == "2"
    assert store.value(key("c"), default="none") == "none"


def test_set_accepts_pairs_and_triples_with_a_default_expiry(store, key, capfd):
    capfd.readouterr()
    store.set([(key("a"), "1"), (key("b"), "2", 60)], expiry=30)
    lines = capfd.readouterr().err.splitlines()
    assert lines == ["DEBUG Adding datastore entry (%s=1; Exp=30)" % key("a"),
                     "DEBUG Adding datastore entry (%s=2; Exp=60)" % key("b")]
    store.abort()
    assert store.get([key("a"), key("b")])[0] == {}


def test_transaction_commits_on_success_and_aborts_on_error(store, key):
    with store.transaction():
        store.set({key("a"): "kept"})
    with pytest.raises(KeyError):
        with store.transaction():
            store.set({key("b"): "dropped"})
            store.remove(key("a"))
            raise KeyError("stop")
    assert store.get([key("a"), key("b")]) == ({key("a"): "kept"}, {key("b")})


def test_script_api_argument_errors(store):
    for call, exc, message in [
            (lambda: store.get([]), ValueError, "keys must name at least one key"),
            (lambda: store.get(5), TypeError, "keys must be a str or an iterable of str, not int"),
            (lambda: store.set(["kv"]), TypeError, "each entry must be a (key, value) or "
                                                   "(key, value, expiry) tuple, not 'kv'")]:
        with pytest.raises(exc) as info:
            call()
        assert str(info.value) == message


def test_signal_goes_through_the_pusher(capfd):
    name = "NoSuchChannel-%s" % uuid.uuid4().hex[:8]
    capfd.readouterr()
    assert qmr.MiscCorbaInterface.interface.signal(name, "type") is None
    assert capfd.readouterr().err.splitlines() == [
        "ERROR Error getting push consumer for %s. Aborting push." % name]


def test_without_a_data_store_the_data_functions_raise_runtime_error(run_host):
    script = (
        "import _datastore, qmr.DataStoreInterface\n"
        "print(type(qmr.DataStoreInterface.interface).__name__)\n"
        "for call in (lambda: _datastore.get(['k'], None), lambda: _datastore.set([('k', 'v', 0)]),\n"
        "             lambda: _datastore.remove(['k']), _datastore.commit, _datastore.abort,\n"
        "             _datastore.clearCache, lambda: _datastore.enableCaching(1)):\n"
        "    try:\n"
        "        call()\n"
        "    except RuntimeError as e:\n"
        "        print(e)\n"
        "try:\n"
        "    _datastore.get([], None)\n"
        "except TypeError as e:\n"
        "    print(e)\n")
    done = run_host("--no-datastore", "-c", script)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == (
        ["InterfaceImpl"] + ["data store client is not initialised"] * 7 +
        ["keys argument is empty or not of type list"])


def test_outside_the_host_the_package_imports_and_explains_what_is_missing():
    script = (
        "import qmr.DataStoreInterface as d, qmr.MiscCorbaInterface as m\n"
        "for f in (d.get_interface, m.get_interface):\n"
        "    try:\n"
        "        f()\n"
        "    except RuntimeError as e:\n"
        "        print(e)\n"
        "try:\n"
        "    from qmr.embedded.DataStoreInterfaceImpl import InterfaceImpl\n"
        "    InterfaceImpl()\n"
        "except ImportError as e:\n"
        "    print(e.name)\n")
    done = subprocess.run(["/usr/bin/python3", "-c", script], capture_output=True, text=True,
                          timeout=60, env=dict(os.environ, PYTHONPATH=PYTHON_DIR))
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "qmr.DataStoreInterface.interface is not set: run the script with qmr-host connected "
        "to a data store (not --no-datastore)",
        "qmr.MiscCorbaInterface.interface is not set: run the script with qmr-host",
        "_datastore",
    ]
