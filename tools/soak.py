#!/usr/bin/python3
"""soak - kill the services under load and prove that the client survives every fault.

Three stages on a local stack (tools/qmrstack.py) in one folder, all on 127.0.0.1:

  store   a script in qmr-host (tools/soak_worker.py) writes, commits and reads in a loop while
          qmr-datastored is killed with SIGKILL and restarted at random (seeded) moments;
  events  the script streams _MiscCorba.signalEvent calls while omniEvents is killed and
          restarted; a listener (omniEvents' `events` tool) records what arrives;
  naming  omniNames and then qmr-datastored are killed, so that the client's reset meets a
          naming service that is down; both are restarted and the client must recover.

Then qmr-datastored is killed and restarted one last time and every commit that returned 1
is read back. The run fails unless: every commit that returned 1 is present with its value,
every failed call returned its failure status with its log line (none raised, the host never
crashed), the first call after each recovery succeeded, and signals arrive again after each
restart of omniEvents. The figures are printed and written as JSON (--report).

Examples:
  tools/soak.py --build build                 # the full run: 50 / 10 / 5 kills
  tools/soak.py --build build --short         # the short form that ./qmr test runs
"""

import argparse
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from qmrstack import Stack, StackError, end_child, wait_for  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
WORKER = os.path.join(HERE, "soak_worker.py")
CHANNEL = "SoakChannel"
# The log line of each _datastore call that returned its failure status.
FAILURE_LINES = {
    "set": "Error setting (adding) entries!",
    "commit": "Error committing cache changes",
    "get": "Error retrieving values from datastore (",
}
# A reset that failed: the attempt, then the manager's or the module's report of its failure
# (the module reports a lookup that raised, e.g. TRANSIENT from a naming service that is down).
RESET_ATTEMPT = "Attempting to connect to DataStore.."
RESET_FAILED = ("DataStore connection NOT established", "the data store could not be reached again")


def reset_failed_in(lines):
    return (any(RESET_ATTEMPT in line for line in lines)
            and any(text in line for line in lines for text in RESET_FAILED))
MARKER = re.compile(r"^SOAK-OP (\d+) (\w+)$")


class SoakFailure(Exception):
    pass


def say(text):
    print("soak: " + text, flush=True)


class Worker:
    """One qmr-host running soak_worker.py, our child, stopped by its pid."""

    def __init__(self, host, stack, folder, name, mode, seed, extra=()):
        self.ops_path = os.path.join(folder, name + ".ops")
        self.err_path = os.path.join(folder, name + ".err")
        self.stop_path = os.path.join(folder, name + ".stop")
        argv = [host] + stack.orb_args() + [WORKER, mode, self.ops_path, self.stop_path,
                                            str(seed)] + list(extra)
        self.err = open(self.err_path, "wb")
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=self.err,
                                     stderr=self.err, cwd=folder)
        self._offset = 0
        self.ops = []

    def poll_ops(self):
        """Reads the records written since the last call; returns all records so far."""
        try:
            with open(self.ops_path) as f:
                f.seek(self._offset)
                data = f.read()
        except FileNotFoundError:
            return self.ops
        complete = data[:data.rfind("\n") + 1]
        self._offset += len(complete.encode())
        self.ops.extend(json.loads(line) for line in complete.splitlines() if line)
        return self.ops

    def alive(self):
        return self.proc.poll() is None

    def finish(self, timeout=60):
        """Asks the worker to stop and waits; returns its exit status (negative: a signal)."""
        open(self.stop_path, "w").close()
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            rc = self.proc.wait()
            say("the worker did not stop within %d s and was killed" % timeout)
        self.err.close()
        self.poll_ops()
        return rc

    def log_segments(self):
        """Call number -> the library's log lines written during that call."""
        segments, current = {}, None
        with open(self.err_path, errors="replace") as f:
            for line in f:
                m = MARKER.match(line.rstrip("\n"))
                if m:
                    current = int(m.group(1))
                    segments[current] = []
                elif current is not None:
                    segments[current].append(line.rstrip("\n"))
        return segments


def kill_and_restart(stack, server, rng):
    """SIGKILLs `server`, waits a random moment, restarts it; returns (killed at, ready at)."""
    t_kill = time.monotonic()
    stack.kill9(server)
    time.sleep(rng.uniform(0.0, 0.4))
    stack.restart(server)
    return t_kill, time.monotonic()


def wait_until(condition, timeout, what):
    if not wait_for(condition, timeout=timeout, interval=0.05):
        raise SoakFailure("timed out after %d s waiting for %s" % (timeout, what))


def check_calls(worker, rc, figures, problems, stage):
    """The call-level checks shared by the store and naming stages."""
    ops = worker.ops
    segments = worker.log_segments()
    failed = [r for r in ops if r.get("status") == 0]
    unlogged = [r for r in failed
                if not any(FAILURE_LINES[r["kind"]] in line for line in segments.get(r["n"], []))]
    raised = [r for r in ops if r["raised"]]
    bad_shape = [r for r in ops if r["kind"] == "get" and r.get("status") not in (0, 1)]
    wrong = [r for r in ops if r.get("wrong")]
    figures.update({
        "calls": len(ops),
        "commits_returned_1": sum(1 for r in ops if r["kind"] == "commit" and r["status"] == 1),
        "calls_failed": len(failed),
        "calls_failed_with_log_line": len(failed) - len(unlogged),
        "calls_raised": len(raised),
        "worker_exit_status": rc,
    })
    if rc != 0:
        problems.append("%s: the host exited with status %s (see %s)" % (stage, rc, worker.err_path))
    for r in unlogged[:5]:
        problems.append("%s: call %d (%s) returned 0 without its log line" % (stage, r["n"], r["kind"]))
    for r in raised[:5]:
        problems.append("%s: call %d (%s) raised %s" % (stage, r["n"], r["kind"], r["raised"]))
    for r in bad_shape[:5]:
        problems.append("%s: call %d (get) returned %s" % (stage, r["n"], r.get("shape")))
    for r in wrong[:5]:
        problems.append("%s: call %d read committed keys with other values: %s"
                        % (stage, r["n"], r["wrong"]))


def recovery_after(ops, t_ready, t_next):
    """Calls started after a restart was ready: (recovered, calls until the first success,
    seconds from ready to that success). The first call may still meet the stale session
    and fail (that failure triggers the reset); the one after it must succeed."""
    after = [r for r in ops if t_ready <= r["t"] < t_next]
    for i, r in enumerate(after):
        if r.get("status") == 1 or (r["kind"] == "signal" and r["raised"] is None):
            return i <= 1, i + 1, r["t_end"] - t_ready
    return False, len(after), None


def expected_values(ops):
    expected = {}
    for r in ops:
        if r["kind"] == "commit" and r["status"] == 1:
            for k in r["keys"]:
                expected[k] = r["value"]
    return expected


def stage_store(stack, args, folder, rng, report, problems):
    kills = args.store_kills
    say("store: %d SIGKILLs of qmr-datastored under load" % kills)
    w = Worker(args.host, stack, folder, "store", "store", args.seed * 10 + 1)
    wait_until(lambda: sum(r.get("status") == 1 for r in w.poll_ops()) >= 5 or not w.alive(), 60,
               "the first successful calls of the worker")
    timeline = []
    for k in range(kills):
        if not w.alive():
            break
        time.sleep(rng.uniform(0.05, 0.8))
        t_kill, t_ready = kill_and_restart(stack, "datastore", rng)
        timeline.append((t_kill, t_ready))
        wait_until(lambda: any(r["t"] >= t_ready and r.get("status") == 1 for r in w.poll_ops())
                   or not w.alive(), 30, "the first successful call after restart %d" % (k + 1))
    time.sleep(0.5)
    rc = w.finish()
    figures = {"kills": len(timeline)}
    check_calls(w, rc, figures, problems, "store")
    recovered, calls_to, secs = 0, [], []
    for i, (t_kill, t_ready) in enumerate(timeline):
        t_next = timeline[i + 1][0] if i + 1 < len(timeline) else float("inf")
        ok, n, s = recovery_after(w.ops, t_ready, t_next)
        recovered += ok
        calls_to.append(n)
        if s is not None:
            secs.append(s)
        if not ok:
            problems.append("store: after restart %d the call after the first failure did not "
                            "succeed (%d calls until success)" % (i + 1, n))
    figures["recoveries_with_next_call_ok"] = recovered
    figures["max_seconds_ready_to_success"] = round(max(secs), 3) if secs else None
    report["store"] = figures
    return expected_values(w.ops)


class Listener:
    """omniEvents' `events` tool consuming CHANNEL, our child, stopped by its pid; what it
    receives (the events' CDR, in which each value "sig-N-end" appears as is) goes to a file."""

    def __init__(self, stack, folder):
        self.path = os.path.join(folder, "listener.out")
        self.argv = (["events", "-n", CHANNEL] + stack.orb_args()
                     + ["-ORBendPoint", "giop:tcp:127.0.0.1:"])
        self.out = open(self.path, "ab")
        self.proc = None
        self.restarts = 0
        self.start()

    def start(self):
        if self.proc is not None:
            self.restarts += 1
        self.proc = subprocess.Popen(self.argv, stdin=subprocess.DEVNULL, stdout=self.out,
                                     stderr=self.out)

    def alive(self):
        return self.proc.poll() is None

    def received(self):
        with open(self.path, "rb") as f:
            return {int(m) for m in re.findall(rb"sig-(\d+)-end", f.read())}

    def stop(self):
        if self.alive():
            end_child(self.proc)
        self.out.close()


def stage_events(stack, args, folder, rng, report, problems):
    kills = args.event_kills
    say("events: %d SIGKILLs of omniEvents during a stream of signalEvent calls" % kills)
    listener = Listener(stack, folder)
    try:
        stage_events_with(listener, stack, args, folder, rng, report, problems)
    finally:
        listener.stop()


def stage_events_with(listener, stack, args, folder, rng, report, problems):
    kills = args.event_kills
    w = Worker(args.host, stack, folder, "events", "events", args.seed * 10 + 2, [CHANNEL])
    sent_at = {}

    def sigs():
        for r in w.poll_ops():
            sent_at[r["sig"]] = r
        return sent_at

    wait_until(lambda: listener.received() or not w.alive(), 60,
               "the listener to receive the first signal")
    timeline, resume_secs = [], []
    for k in range(kills):
        if not w.alive():
            break
        time.sleep(rng.uniform(0.3, 1.2))
        t_kill, t_ready = kill_and_restart(stack, "events", rng)
        if not listener.alive():
            listener.start()
        timeline.append((t_kill, t_ready))

        def resumed():
            got = listener.received()
            return [r for n, r in sigs().items() if r["t"] >= t_ready and n in got]
        if not wait_for(lambda: resumed() or not w.alive(), timeout=30, interval=0.05):
            problems.append("events: no signal arrived in 30 s after restart %d" % (k + 1))
        else:
            first = min(resumed(), key=lambda r: r["t"])
            resume_secs.append(first["t_end"] - t_ready)
    time.sleep(1.0)
    rc = w.finish()
    sigs()
    got = listener.received()
    raised = [r for r in w.ops if r["raised"]]
    not_none = [r for r in w.ops if r["raised"] is None and r["status"] is not None]
    report["events"] = {
        "kills": len(timeline), "signals_sent": len(w.ops), "signals_received": len(got),
        "calls_raised": len(raised), "calls_not_returning_none": len(not_none),
        "restarts_with_signals_resumed": len(resume_secs),
        "max_seconds_ready_to_first_delivered_signal":
            round(max(resume_secs), 3) if resume_secs else None,
        "listener_restarts": listener.restarts, "worker_exit_status": rc,
    }
    if rc != 0:
        problems.append("events: the host exited with status %s (see %s)" % (rc, w.err_path))
    for r in raised[:5]:
        problems.append("events: signal %d raised %s" % (r["sig"], r["raised"]))
    for r in not_none[:5]:
        problems.append("events: signal %d returned %s instead of None" % (r["sig"], r["status"]))


def stage_naming(stack, args, folder, rng, report, problems):
    rounds = args.naming_kills
    say("naming: %d rounds of omniNames down while the client must reset" % rounds)
    w = Worker(args.host, stack, folder, "naming", "store", args.seed * 10 + 3)
    wait_until(lambda: sum(r.get("status") == 1 for r in w.poll_ops()) >= 5 or not w.alive(), 60,
               "the first successful calls of the worker")
    timeline, clean_resets = [], 0
    for k in range(rounds):
        if not w.alive():
            break
        time.sleep(rng.uniform(0.2, 0.8))
        t_kill = time.monotonic()
        stack.kill9("naming")
        stack.kill9("datastore")

        def reset_failed_cleanly():
            seg = w.log_segments()
            return [r for r in w.poll_ops() if r["t"] >= t_kill and r.get("status") == 0
                    and reset_failed_in(seg.get(r["n"], []))]
        wait_until(lambda: reset_failed_cleanly() or not w.alive(), 30,
                   "a reset to fail while the naming service is down (round %d)" % (k + 1))
        clean_resets += 1
        time.sleep(rng.uniform(0.1, 0.5))
        stack.restart("naming")
        stack.restart("datastore")
        t_ready = time.monotonic()
        timeline.append((t_kill, t_ready))
        wait_until(lambda: any(r["t"] >= t_ready and r.get("status") == 1 for r in w.poll_ops())
                   or not w.alive(), 30, "the first successful call after round %d" % (k + 1))
    time.sleep(0.5)
    rc = w.finish()
    figures = {"rounds": len(timeline), "resets_failed_cleanly_while_down": clean_resets}
    check_calls(w, rc, figures, problems, "naming")
    recovered = 0
    for i, (t_kill, t_ready) in enumerate(timeline):
        t_next = timeline[i + 1][0] if i + 1 < len(timeline) else float("inf")
        ok, n, _ = recovery_after(w.ops, t_ready, t_next)
        recovered += ok
        if not ok:
            problems.append("naming: after round %d the call after the first failure did not "
                            "succeed (%d calls until success)" % (i + 1, n))
    figures["recoveries_with_next_call_ok"] = recovered
    report["naming"] = figures
    return expected_values(w.ops)


def final_check(stack, args, folder, expected, report, problems):
    say("final: SIGKILL and restart of qmr-datastored, then every returned commit read back")
    stack.kill9("datastore")
    stack.restart("datastore")
    expected_path = os.path.join(folder, "expected.json")
    out = os.path.join(folder, "verify.json")
    with open(expected_path, "w") as f:
        json.dump(expected, f)
    with open(os.path.join(folder, "verify.err"), "wb") as err:
        rc = subprocess.run([args.host] + stack.orb_args() + [WORKER, "verify", out, expected_path],
                            stdin=subprocess.DEVNULL, stdout=err, stderr=err, cwd=folder,
                            timeout=600).returncode
    if rc != 0:
        problems.append("final: the read-back exited with status %d (see verify.err)" % rc)
        return
    with open(out) as f:
        v = json.load(f)
    report["final"] = {"keys_committed": len(expected), "keys_present": v["present"],
                       "keys_missing": len(v["missing"]), "keys_wrong": len(v["wrong"])}
    if v["missing"] or v["wrong"]:
        problems.append("final: %d committed keys missing, %d with another value (e.g. %s)"
                        % (len(v["missing"]), len(v["wrong"]), (v["missing"] + v["wrong"])[:3]))


def main(argv=None):
    p = argparse.ArgumentParser(
        prog="soak.py", description=__doc__.split("\n\n")[0],
        epilog="Exit status 0 when every check held, 1 when one failed, 2 on a usage or "
               "start-up error. Logs of every process stay in --dir when --keep is given.")
    p.add_argument("--build", default=os.path.join(os.path.dirname(HERE), "build"),
                   help="build folder with bin/qmr-host and bin/qmr-datastored")
    p.add_argument("--dir", help="folder for the stack (default: a new temporary folder)")
    p.add_argument("--keep", action="store_true", help="keep the folder and its logs")
    p.add_argument("--seed", type=int, default=1205, help="seed of every random choice")
    p.add_argument("--store-kills", type=int, default=50)
    p.add_argument("--event-kills", type=int, default=10)
    p.add_argument("--naming-kills", type=int, default=5)
    p.add_argument("--short", action="store_true", help="5 / 2 / 1 kills (the form ./qmr test runs)")
    p.add_argument("--report", help="write the figures as JSON here")
    args = p.parse_args(argv)
    if args.short:
        args.store_kills, args.event_kills, args.naming_kills = 5, 2, 1
    args.host = os.path.join(os.path.abspath(args.build), "bin", "qmr-host")
    if not os.access(args.host, os.X_OK):
        print("soak: %s is missing; build first (./qmr build)" % args.host, file=sys.stderr)
        return 2
    folder = args.dir or tempfile.mkdtemp(prefix="qmr-soak-")
    os.makedirs(folder, exist_ok=True)
    rng = random.Random(args.seed)
    report = {"seed": args.seed}
    problems = []
    stack = None
    started = time.monotonic()
    try:
        stack = Stack.up(folder, channels=[CHANNEL], build=args.build)
        expected = {}
        if args.store_kills:
            expected.update(stage_store(stack, args, folder, rng, report, problems))
        if args.event_kills:
            stage_events(stack, args, folder, rng, report, problems)
        if args.naming_kills:
            expected.update(stage_naming(stack, args, folder, rng, report, problems))
        final_check(stack, args, folder, expected, report, problems)
    except (SoakFailure, StackError, subprocess.TimeoutExpired) as e:
        problems.append(str(e))
    finally:
        if stack is not None:
            stack.down()
    report["seconds"] = round(time.monotonic() - started, 1)
    report["problems"] = problems
    print(json.dumps(report, indent=2))
    if args.report:
        with open(args.report, "w") as f:
            json.dump(report, f, indent=2)
    if problems:
        say("FAILED (%d problems); logs in %s" % (len(problems), folder))
        return 1
    say("passed in %.0f s" % report["seconds"])
    if not args.keep and not args.dir:
        shutil.rmtree(folder, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
