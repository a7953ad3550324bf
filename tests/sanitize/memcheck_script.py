"""memcheck_script - every function of _datastore and _MiscCorba on its success, failure and
refusal paths, run inside qmr-host under valgrind by tests/sanitize/memcheck.

Needs the stack named by QMR_STACK_STATE (tools/qmrstack.py): it kills and restarts the data
store once to drive the failure and reset paths. Exit status 0 when every call gave the
expected result.
"""

import os
import sys

import _datastore as ds
import _MiscCorba
import _qmrsession
import qmr.DataStoreInterface
import qmr.MiscCorbaInterface
from qmrstack import Stack

CHANNEL = sys.argv[1] if len(sys.argv) > 1 else "MemcheckChannel"
failures = []


def expect(what, got, want):
    if got != want:
        failures.append("%s: got %r, want %r" % (what, got, want))


def refused(what, fn, *args):
    try:
        fn(*args)
    except Exception:
        return
    failures.append("%s: no exception" % what)


for rnd in range(3):
    expect("set", ds.set([("mc-a", "alpha", 0), ("mc-b", "b\u00e9ta", 3600), ("mc-a", "again", 0)]), 1)
    expect("commit", ds.commit(), 1)
    expect("get cached", ds.get(["mc-a", "mc-b", "mc-none", "mc-a"], 1),
           (1, {"mc-a": "again", "mc-b": "b\u00e9ta"}, {"mc-none": None}))
    expect("get uncached", ds.get(["mc-a"], 0)[0], 1)
    expect("get default", ds.get(["mc-b"], None)[0], 1)
    ds.enableCaching(1)
    ds.enableCaching(0)
    ds.clearCache()
    expect("remove", ds.remove(["mc-b", "mc-b"]), 1)
    expect("abort", ds.abort(), 1)
    expect("set surrogateescape", ds.set([("mc-raw", b"\xff\xfe".decode("utf-8", "surrogateescape"), 0)]), 1)
    expect("commit 2", ds.commit(), 1)
    expect("signal", _MiscCorba.signalEvent(CHANNEL, "type", "value"), None)
    expect("signal missing channel", _MiscCorba.signalEvent("MemcheckNoSuchChannel", "t", "v"), None)
    refused("get empty", ds.get, [], None)
    refused("get tuple", ds.get, ("a",), None)
    refused("get non-str key", ds.get, ["a", 5], None)
    refused("get bad cache", ds.get, ["a"], "yes")
    refused("get arg count", ds.get, ["a"])
    refused("set non-tuple", ds.set, [["k", "v", 0]])
    refused("set short tuple", ds.set, [("k", "v")])
    refused("set empty", ds.set, [])
    refused("remove empty", ds.remove, [])
    refused("remove non-str", ds.remove, [None])
    refused("enableCaching none", ds.enableCaching)
    refused("signal int", _MiscCorba.signalEvent, CHANNEL, 1, "v")
    refused("signal NUL", _MiscCorba.signalEvent, CHANNEL, "a\0b", "v")
    refused("lone surrogate", ds.get, ["\ud800"], None)

# Failure and reset paths: the data store dies; calls return their failure status; after its
# restart the manager finds the new server.
stack = Stack.load(os.environ["QMR_STACK_STATE"])
stack.kill9("datastore")
expect("get while down", ds.get(["mc-a"], 0), (0, None))
expect("set while down", ds.set([("mc-c", "c", 0)]), 0)
expect("remove while down", ds.remove(["mc-a"]), 0)
expect("commit while down", ds.commit(), 0)
expect("abort while down", ds.abort(), 0)
stack.restart("datastore")
ds.get(["mc-a"], 0)  # may meet the stale session once; it resets
expect("get after restart", ds.get(["mc-a"], 0), (1, {"mc-a": "again"}, {}))

expect("session counters", (type(_qmrsession.generation()),
                             type(_qmrsession.transaction_generation())), (int, int))
expect("sessions started", _qmrsession.generation() >= 1, True)

expect("interfaces set", (qmr.DataStoreInterface.interface is not None,
                          qmr.MiscCorbaInterface.interface is not None), (True, True))
if failures:
    print("memcheck script: %d unexpected results:\n  %s" % (len(failures), "\n  ".join(failures)),
          file=sys.stderr)
    sys.exit(1)
print("memcheck script: every call as expected")
