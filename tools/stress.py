#!/usr/bin/python3
"""stress - many large gets at once against a default-flag qmr-datastored: its peak memory
stays under a bound, it survives, and a fresh client is served during and after.

Starts a stack (tools/qmrstack) in a temporary folder, with qmr-datastored on its Unix socket
and every limit at its default. Then, for each round, qmr-stress-gets (bench/stress_gets.cc)
opens --sessions sessions and sends one get of --keys keys on each, all at once, while this
script:

  - samples the server's /proc/PID/status every 20 ms; VmHWM, the kernel's high-water mark of
    its resident size, is the peak (reset before each round through /proc/PID/clear_refs, so
    each round reports its own);
  - runs a fresh small client (qmr-host -c: set, commit, get of one key of its own) once
    before the burst, again and again while it lasts, and once after, timing each.

Refusals (NO_MEMORY, IMP_LIMIT) are expected outcomes. The run fails (exit status 1) when a
round's peak reaches --limit-mib (default 512), the server dies, a call of the burst hangs
(--timeout), or a fresh client fails or takes longer than --fresh-seconds.

Example:
  tools/stress.py --build build                  # one round of 48 gets of 1,000,000 keys
  tools/stress.py --build build --rounds 3
./qmr stress runs it (with its arguments); ./qmr test runs it too (QMR_STRESS=0 leaves it out).
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from qmrstack import Stack, StackError  # noqa: E402

MIB = 1024 * 1024

# The fresh client: one key of its own, set, committed and read back; status 0 when all worked.
FRESH_CODE = """
import os, sys
import _datastore as ds
key = "stress-fresh-%d" % os.getpid()
ok = ds.set([(key, "fresh", 0)]) == 1 and ds.commit() == 1
got = ds.get([key], 0)
sys.exit(0 if ok and got[0] == 1 and got[1].get(key) == "fresh" else 1)
"""


def say(text):
    print("stress: " + text, flush=True)


def proc_status(pid):
    """{"VmRSS": bytes, "VmHWM": bytes, "Threads": n} of pid, or None when it is gone."""
    try:
        with open("/proc/%d/status" % pid) as f:
            lines = f.read().splitlines()
    except OSError:
        return None
    found = {}
    for line in lines:
        name, _, value = line.partition(":")
        if name in ("VmRSS", "VmHWM"):
            found[name] = int(value.split()[0]) * 1024
        elif name == "Threads":
            found[name] = int(value)
    return found


def reset_peak(pid):
    """Resets pid's VmHWM to its present resident size; False when the kernel refused."""
    try:
        with open("/proc/%d/clear_refs" % pid, "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


class Sampler(threading.Thread):
    """Reads the server's status every 20 ms until stop(): the highest VmHWM and VmRSS seen,
    the most threads, and whether the process vanished."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid = pid
        self.hwm = self.rss = self.threads = 0
        self.gone = False
        self._halt = threading.Event()

    def run(self):
        while not self._halt.is_set():
            status = proc_status(self.pid)
            if status is None:
                self.gone = True
                return
            self.hwm = max(self.hwm, status.get("VmHWM", 0))
            self.rss = max(self.rss, status.get("VmRSS", 0))
            self.threads = max(self.threads, status.get("Threads", 0))
            self._halt.wait(0.02)

    def stop(self):
        self._halt.set()
        self.join()


def fresh_client(host, stack, timeout):
    """Runs the fresh client; returns (ok, seconds, error text)."""
    start = time.monotonic()
    try:
        run = subprocess.run([host] + stack.orb_args() + ["-c", FRESH_CODE],
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, timeout=timeout)
    except subprocess.TimeoutExpired:
        return False, time.monotonic() - start, "no answer within %d s" % timeout
    seconds = time.monotonic() - start
    if run.returncode != 0:
        return False, seconds, "status %d: %s" % (run.returncode,
                                                  run.stdout.decode(errors="replace").strip())
    return True, seconds, ""


def burst(args, stack, pid, client, host):
    """One round; returns its figures (a dict) and the problems found (a list of texts)."""
    problems = []
    ok, before, error = fresh_client(host, stack, args.fresh_timeout)
    if not ok:
        problems.append("the fresh client failed before the burst: " + error)
    if not reset_peak(pid):
        say("cannot reset the server's VmHWM (/proc/%d/clear_refs); the peak is since its start"
            % pid)
    sampler = Sampler(pid)
    sampler.start()
    start = time.monotonic()
    argv = [client] + stack.orb_args() + [
        "--datastore", stack.datastore_name, "--sessions", str(args.sessions),
        "--keys", str(args.keys), "--populate", str(args.populate),
        "--timeout", str(args.timeout)]
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    calling = threading.Event()
    stderr_lines = []

    def read_stderr():
        for raw in proc.stderr:
            line = raw.decode(errors="replace").rstrip()
            stderr_lines.append(line)
            if args.verbose or "ended:" not in line:
                print("   " + line, flush=True)
            if line.endswith(": calling"):
                calling.set()

    reader = threading.Thread(target=read_stderr, daemon=True)
    reader.start()
    during = []
    # While the burst lasts, fresh clients one after another (the first once the calls left).
    deadline = time.monotonic() + args.timeout + 60
    while proc.poll() is None and time.monotonic() < deadline:
        if not calling.wait(0.1):
            continue
        ok, seconds, error = fresh_client(host, stack, args.fresh_timeout)
        during.append(seconds)
        if not ok:
            problems.append("a fresh client failed during the burst after %.2f s: %s"
                            % (seconds, error))
    try:
        out, _ = proc.communicate(timeout=max(1.0, deadline - time.monotonic()))
    except subprocess.TimeoutExpired:
        proc.kill()
        out, _ = proc.communicate()
        problems.append("qmr-stress-gets did not end within %d s: a call hangs"
                        % (args.timeout + 60))
    reader.join(5)
    duration = time.monotonic() - start
    # The resident size after: once the server's delayed heap trims (100 ms and 1.1 s after
    # the last large request) have run.
    time.sleep(1.5)
    sampler.stop()
    after_status = proc_status(pid) or {}
    figures = {}
    for line in out.decode(errors="replace").splitlines():
        if line.startswith("{"):
            figures = json.loads(line)
    if proc.returncode != 0:
        problems.append("qmr-stress-gets ended with status %d: %s"
                        % (proc.returncode, " / ".join(stderr_lines[-3:])))
    if sampler.gone or not stack.running("datastore"):
        problems.append("qmr-datastored died during the burst")
    peak = max(sampler.hwm, after_status.get("VmHWM", 0))
    if peak >= args.limit_mib * MIB:
        problems.append("the server's peak resident size %.1f MiB reached the bound of %d MiB"
                        % (peak / MIB, args.limit_mib))
    ok, after, error = fresh_client(host, stack, args.fresh_timeout)
    if not ok:
        problems.append("the fresh client failed after the burst: " + error)
    for seconds in [before, after] + during:
        if seconds > args.fresh_seconds:
            problems.append("a fresh client took %.2f s, more than --fresh-seconds %g"
                            % (seconds, args.fresh_seconds))
            break
    return {
        "peak_mib": round(peak / MIB, 1),
        "rss_after_mib": round(after_status.get("VmRSS", 0) / MIB, 1),
        "max_threads": sampler.threads,
        "outcomes": figures.get("outcomes", {}),
        "burst_s": round(figures.get("seconds", duration), 2),
        "round_s": round(duration, 2),
        "fresh_before_s": round(before, 2),
        "fresh_during_s": [round(s, 2) for s in during],
        "fresh_after_s": round(after, 2),
    }, problems


def main():
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog="See the top of tools/stress.py for what is measured and when it fails.")
    parser.add_argument("--build", default=os.path.join(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__))), "build"), help="build folder (default: build)")
    parser.add_argument("--sessions", type=int, default=48, help="concurrent gets (48)")
    parser.add_argument("--keys", type=int, default=1000000, help="keys per get (1000000)")
    parser.add_argument("--populate", type=int, default=10000,
                        help="distinct keys stored before the burst (10000)")
    parser.add_argument("--rounds", type=int, default=1, help="bursts on the same server (1)")
    parser.add_argument("--limit-mib", type=int, default=512,
                        help="the bound on the server's peak resident size (512)")
    parser.add_argument("--timeout", type=int, default=120,
                        help="a call of the burst that takes longer hangs (120 s)")
    parser.add_argument("--fresh-seconds", type=float, default=5.0,
                        help="the longest a fresh client may take (5 s)")
    parser.add_argument("--fresh-timeout", type=int, default=30,
                        help="a fresh client is stopped after this long (30 s)")
    parser.add_argument("--report", help="also write the figures to this JSON file")
    parser.add_argument("--keep", action="store_true", help="keep the stack's folder")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="print every call's end as well")
    args = parser.parse_args()

    build = os.path.abspath(args.build)
    host = os.path.join(build, "bin", "qmr-host")
    client = os.path.join(build, "bin", "qmr-stress-gets")
    for program in (host, client):
        if not os.access(program, os.X_OK):
            say("%s is missing; build first (./qmr build, or give --build)" % program)
            return 2
    folder = tempfile.mkdtemp(prefix="qmr-stress.")
    stack = None
    problems = []
    rounds = []
    started = time.monotonic()
    try:
        say("starting a stack with a default-flag qmr-datastored in " + folder)
        stack = Stack.up(folder, build=build)
        pid = stack.pid("datastore")
        say("qmr-datastored pid %d, resident %.1f MiB at rest"
            % (pid, (proc_status(pid) or {}).get("VmRSS", 0) / MIB))
        for number in range(1, args.rounds + 1):
            say("round %d of %d: %d gets of %d keys at once"
                % (number, args.rounds, args.sessions, args.keys))
            figures, found = burst(args, stack, pid, client, host)
            rounds.append(figures)
            problems += ["round %d: %s" % (number, p) for p in found]
            during = figures["fresh_during_s"]
            say("round %d: peak %.1f MiB (bound %d), resident after %.1f MiB, threads up to %d; "
                "outcomes %s; burst %.2f s; fresh client %.2f s before, %s during, %.2f s "
                "after"
                % (number, figures["peak_mib"], args.limit_mib, figures["rss_after_mib"],
                   figures["max_threads"], json.dumps(figures["outcomes"]),
                   figures["burst_s"], figures["fresh_before_s"],
                   ("%d runs, at most %.2f s" % (len(during), max(during))) if during
                   else "none", figures["fresh_after_s"]))
            if not stack.running("datastore"):
                break
    except StackError as e:
        problems.append(str(e))
    finally:
        if stack is not None:
            if not stack.running("datastore"):
                say("qmr-datastored's log ends:\n" + "\n".join(
                    stack.log("datastore").splitlines()[-20:]))
            stack.down()
        if args.keep:
            say("kept " + folder)
        else:
            shutil.rmtree(folder, ignore_errors=True)
    total = time.monotonic() - started
    result = {"rounds": rounds, "seconds": round(total, 1), "problems": problems,
              "peak_mib": max([r["peak_mib"] for r in rounds] or [0])}
    if args.report:
        with open(args.report, "w") as f:
            json.dump(result, f, indent=1)
    if rounds:
        say("%d rounds in %.1f s; highest peak %.1f MiB"
            % (len(rounds), total, result["peak_mib"]))
    for problem in problems:
        say("FAILED: " + problem)
    if not problems:
        say("passed: the peak stayed under %d MiB, the server lived and fresh clients were "
            "served" % args.limit_mib)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
