"""_datastore while qmr-datastored (and the naming service) are down, killed with SIGKILL, and
after they come back: failure shapes, the module's error lines, recovery with data intact."""

import time
import uuid

import pytest

import _datastore
import qmr
from qmr.DataStoreInterface import interface as store


@pytest.fixture(params=[("datastore",), ("datastore", "naming")], ids=["store", "store+naming"])
def server_down(stack, request):
    """qmr-datastored (alone, or with the naming service, so that reconnecting fails too)
    killed for the test and started again (same data) afterwards."""
    for server in request.param:
        stack.kill9(server)
    yield request.param
    for server in reversed(request.param):
        stack.restart(server)
    assert wait_until_readable(), "the data store did not come back after its restart"


def wait_until_readable(timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if _datastore.get(["probe"], 0)[0] == 1:
            return True
        time.sleep(0.1)
    return False


def err_lines(capfd):
    return capfd.readouterr().err.splitlines()


def test_every_function_reports_failure_while_the_server_is_down(server_down, capfd):
    cases = [
        (lambda: _datastore.get(["a", "b"], None), (0, None),
         "DEBUG Retrieving data for keys ( a  b ).",
         "ERROR Error retrieving values from datastore ( a  b )"),
        (lambda: _datastore.get(["a"], 1), (0, None),
         "DEBUG Retrieving data for keys ( a ).",
         "ERROR Error retrieving values from datastore ( a )"),
        (lambda: _datastore.set([("a", "1", 0)]), 0,
         "DEBUG Adding datastore entry (a=1; Exp=0)", "ERROR Error setting (adding) entries!"),
        (lambda: _datastore.remove(["a", "b"]), 0,
         "DEBUG Removing keys ( a  b )", "ERROR Error removing keys ( a  b )!"),
        (lambda: _datastore.commit(), 0,
         "DEBUG Committing datastore changes", "ERROR Error committing cache changes"),
        (lambda: _datastore.abort(), 0,
         "DEBUG Aborting datastore changes", "ERROR Error aborting cache"),
    ]
    for call, expected, first, last in cases:
        capfd.readouterr()
        result = call()
        assert result == expected and type(result) is type(expected)
        lines = err_lines(capfd)
        # Between the two: the manager's own report of the failure and of its reconnection.
        assert lines[0] == first and lines[-1] == last, lines
        if "naming" in server_down:  # the reconnection itself failed, with an exception
            assert any(": the data store could not be reached again (CORBA system exception "
                       in line for line in lines), lines
    assert _datastore.clearCache() is None
    assert _datastore.enableCaching(0) is None


def test_script_api_raises_datastore_error_naming_the_operation(server_down):
    for operation, call in [("get", lambda: store.get("a")),
                            ("set", lambda: store.set({"a": "1"})),
                            ("remove", lambda: store.remove(["a"])),
                            ("commit", store.commit),
                            ("abort", store.abort)]:
        with pytest.raises(qmr.DataStoreError) as info:
            call()
        assert info.value.operation == operation


def test_committed_data_is_readable_again_after_a_restart(stack):
    k = "f-%s" % uuid.uuid4().hex[:10]
    assert _datastore.set([(k, "survives", 0)]) == 1
    assert _datastore.commit() == 1
    stack.kill9("datastore")
    try:
        assert _datastore.get([k], None) == (0, None)
    finally:
        stack.restart("datastore")
    assert wait_until_readable()
    assert _datastore.get([k], None) == (1, {k: "survives"}, {})
