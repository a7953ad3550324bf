"""soak_worker - the load of the soak run, executed inside qmr-host by tools/soak.py.

    qmr-host [ORB options] tools/soak_worker.py MODE OUT STOP SEED [CHANNEL]

MODE "verify" (qmr-host ... soak_worker.py verify OUT IN): reads every key of the JSON object
IN ({key: value}) back in batches and writes {"present": n, "missing": [...], "wrong": [...],
"failed_reads": n} to OUT.

MODE "store": transactions in a loop (set one to three keys, commit, read back a sample of the
keys committed so far) through _datastore. MODE "events": a stream of _MiscCorba.signalEvent
calls on CHANNEL, each value "sig-N-end".

Every call is recorded as one JSON line in OUT: its sequence number, kind, start time
(CLOCK_MONOTONIC, comparable with the driver's), status, and what it raised if it raised.
Before each call the worker writes "SOAK-OP N" to stderr, so the library's log lines of call N
are the stderr lines between that marker and the next. Runs until the file STOP exists.
Exit status 0 unless the worker itself broke.
"""

import json
import os
import random
import sys
import time


class Recorder:
    def __init__(self, path):
        self.out = open(path, "w", buffering=1)
        self.n = 0

    def call(self, kind, fn, *args, **extra):
        """Calls fn(*args) between markers; returns (result, raised-text-or-None)."""
        self.n += 1
        sys.stderr.write("SOAK-OP %d %s\n" % (self.n, kind))
        sys.stderr.flush()
        t = time.monotonic()
        raised = None
        result = None
        try:
            result = fn(*args)
        except BaseException as e:  # the soak counts any exception as a defect
            raised = "%s: %s" % (type(e).__name__, e)
        sys.stderr.flush()
        rec = {"n": self.n, "kind": kind, "t": t, "t_end": time.monotonic(), "raised": raised}
        rec.update(extra)
        return result, raised, rec

    def write(self, rec):
        self.out.write(json.dumps(rec) + "\n")


def store_loop(rec, stop, rng, seed):
    import _datastore as ds
    committed = {}  # key -> value of every commit that returned 1
    txn = 0
    while not os.path.exists(stop):
        txn += 1
        value = "v%d-%s" % (txn, "\u00e9\u6f22" * rng.randrange(0, 40))
        # Keys are never reused, across runs of other seeds too: a commit whose reply was lost
        # (the server died after applying it) must not be taken for another's value.
        keys = ["soak-%d-%d-%d" % (seed, txn, j) for j in range(1 + rng.randrange(3))]
        status, raised, r = rec.call("set", ds.set, [(k, value, 0) for k in keys], txn=txn)
        r["status"] = status
        rec.write(r)
        if status == 1:
            status, raised, r = rec.call("commit", ds.commit, txn=txn)
            r["status"] = status
            if status == 1:
                r["keys"] = keys
                r["value"] = value
                for k in keys:
                    committed[k] = value
            rec.write(r)
        sample = rng.sample(sorted(committed), min(len(committed), 5)) if committed else keys
        result, raised, r = rec.call("get", ds.get, sample, 0, txn=txn)
        if isinstance(result, tuple) and result:
            r["status"] = result[0]
            if result[0] == 1:
                found = result[1]
                r["wrong"] = [k for k in sample if k in committed and found.get(k) != committed[k]]
        else:
            r["status"] = None
            r["shape"] = repr(result)[:200]
        rec.write(r)
        time.sleep(rng.uniform(0, 0.01))


def events_loop(rec, stop, rng, channel):
    import _MiscCorba
    i = 0
    while not os.path.exists(stop):
        i += 1
        result, raised, r = rec.call("signal", _MiscCorba.signalEvent, channel, "soak",
                                     "sig-%d-end" % i, sig=i)
        r["status"] = None if result is None else repr(result)[:200]
        rec.write(r)
        time.sleep(0.02)


def verify(out, expected_path):
    import _datastore as ds
    with open(expected_path) as f:
        expected = json.load(f)
    keys = sorted(expected)
    report = {"present": 0, "missing": [], "wrong": [], "failed_reads": 0}
    for start in range(0, len(keys), 500):
        batch = keys[start:start + 500]
        for attempt in range(3):  # the first read after start-up may meet a stale session
            result = ds.get(batch, 0)
            if result[0] == 1:
                break
            report["failed_reads"] += 1
        else:
            report["missing"].extend(batch)
            continue
        found = result[1]
        for k in batch:
            if k not in found:
                report["missing"].append(k)
            elif found[k] != expected[k]:
                report["wrong"].append(k)
            else:
                report["present"] += 1
    with open(out, "w") as f:
        json.dump(report, f)
    return 0


def main(argv):
    if len(argv) == 4 and argv[1] == "verify":
        return verify(argv[2], argv[3])
    if len(argv) < 5 or argv[1] not in ("store", "events"):
        sys.stderr.write("usage: soak_worker.py store|events OUT STOP SEED [CHANNEL]\n")
        return 2
    mode, out, stop, seed = argv[1], argv[2], argv[3], int(argv[4])
    rng = random.Random(seed)
    rec = Recorder(out)
    if mode == "store":
        store_loop(rec, stop, rng, seed)
    else:
        events_loop(rec, stop, rng, argv[5])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
