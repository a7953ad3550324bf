"""The qmr package: the data store's script API against the real stack, and the package outside
the host."""

import os
import subprocess

import pytest

import qmr
import qmr.DataStoreInterface

store = qmr.DataStoreInterface.interface


def test_reads_and_writes_take_plain_collections(key, log):
    store.set({key("a"): "1"})
    store.set([(key("b"), "2"), (key("c"), "3", 60)], expiry=30)
    assert log()[-2:] == ["DEBUG Adding datastore entry (%s=2; Exp=30)" % key("b"),
                          "DEBUG Adding datastore entry (%s=3; Exp=60)" % key("c")]
    store.commit()
    assert store.get([key("a"), key("b"), key("x")]) == (
        {key("a"): "1", key("b"): "2"}, {key("x")})
    assert store.get(key("a"), cache=True) == ({key("a"): "1"}, set())
    assert store.get((k for k in [key("x")]), cache=0) == ({}, {key("x")})
    assert log()[-1] == "DEBUG Values ( %s ) NOT cached." % key("x")
    assert (store.value(key("c")), store.value(key("x"), default="none")) == ("3", "none")
    store.remove(key("c"))
    store.abort()
    assert store.value(key("c")) == "3"
    for call, exc, message in [
            (lambda: store.get([]), ValueError, "keys must name at least one key"),
            (lambda: store.get(5), TypeError, "keys must be a str or an iterable of str, not int"),
            (lambda: store.set(["kv"]), TypeError, "each entry must be a (key, value) or "
                                                   "(key, value, expiry) tuple, not 'kv'")]:
        with pytest.raises(exc) as info:
            call()
        assert str(info.value) == message


def test_transaction_commits_on_success_and_aborts_on_error(key):
    with store.transaction():
        store.set({key("a"): "kept"})
    with pytest.raises(KeyError):
        with store.transaction():
            store.set({key("b"): "dropped"})
            store.remove(key("a"))
            raise KeyError("stop")
    assert store.get([key("a"), key("b")]) == ({key("a"): "kept"}, {key("b")})


def test_outside_the_host_the_package_imports_and_explains_what_is_missing():
    script = ("import qmr.DataStoreInterface as d, qmr.MiscCorbaInterface as m\n"
              "from qmr.embedded.DataStoreInterfaceImpl import InterfaceImpl\n"
              "for f in (d.get_interface, m.get_interface, InterfaceImpl):\n"
              "    try:\n"
              "        f()\n"
              "    except (RuntimeError, ImportError) as e:\n"
              "        print(getattr(e, 'name', None) or e)\n")
    python_dir = os.path.dirname(os.path.dirname(os.path.abspath(qmr.__file__)))
    done = subprocess.run(["/usr/bin/python3", "-c", script], capture_output=True, text=True,
                          timeout=60, env=dict(os.environ, PYTHONPATH=python_dir))
    assert done.stdout.splitlines() == [
        "qmr.DataStoreInterface.interface is not set: run the script with qmr-host connected "
        "to a data store (not --no-datastore)",
        "qmr.MiscCorbaInterface.interface is not set: run the script with qmr-host",
        "_datastore",
    ], done.stderr
