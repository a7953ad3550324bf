"""./qmr fleet --check: starts a fleet in a temporary folder, runs writers and readers through
both front-ends, kills the primary (SIGKILL), brings it back as a replica, then stops the new
primary (SIGSTOP) for longer than the failover timeout and lets it come back; at the end
every key is read through both front-ends. Prints commits acknowledged and lost, the longest
time without an acknowledged commit, the time to the first acknowledged commit after each
fault, and the history checker's verdict. Exit status 0 when nothing acknowledged was lost
and no read went back in time."""

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from fleet.history import check, commit_gaps
from qmrstack.fleet import FRONTENDS, TTL, Fleet
from qmrstack.common import StackError
from qmrstack.process import wait_for

CLIENTS_PER_FRONTEND = 2


def say(text):
    print("fleet check: %s" % text, flush=True)


class Clients:
    """qmr-host processes running tools/fleet/client.py, two per front-end."""

    def __init__(self, fleet, folder, keys):
        self.folder = folder
        self.history = os.path.join(folder, "history.jsonl")
        self.stop_file = os.path.join(folder, "stop")
        self.names = ["%s-%d" % (f, i) for f in FRONTENDS for i in range(CLIENTS_PER_FRONTEND)]
        self.procs = []
        host = os.path.join(fleet.stack.build, "bin", "qmr-host")
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "client.py")
        for name in self.names:
            frontend = name.rsplit("-", 1)[0]
            log = open(os.path.join(folder, name + ".log"), "ab")
            self.procs.append(subprocess.Popen(
                [host, "--datastore", frontend] + fleet.stack.orb_args() + [
                    script, "--id", name, "--clients", ",".join(self.names), "--keys",
                    str(keys), "--history", self.history, "--stop", self.stop_file],
                stdin=subprocess.DEVNULL, stdout=log, stderr=log))
            log.close()

    def acknowledged_since(self, at):
        """True once some write that started after `at` was acknowledged."""
        try:
            with open(self.history) as f:
                for line in f:
                    if '"op": "w"' in line and '"ok": true' in line:
                        r = json.loads(line)
                        if r["s"] >= at:
                            return True
        except (OSError, ValueError):
            pass
        return False

    def finish(self, timeout=180):
        with open(self.stop_file, "w"):
            pass
        deadline = time.monotonic() + timeout
        for proc in self.procs:
            try:
                proc.wait(timeout=max(1, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()

    def kill(self):
        for proc in self.procs:
            if proc.poll() is None:
                proc.kill()
                proc.wait()

    def records(self):
        with open(self.history) as f:
            return [json.loads(line) for line in f if line.strip()]


def wait_for_leader(fleet, other_than, timeout):
    """The member that leads, once it is not other_than; None after timeout."""
    def new_leader():
        leader = fleet.leader()
        return leader if leader != other_than else None
    return wait_for(new_leader, timeout=timeout, interval=0.25)


def run(args):
    folder = tempfile.mkdtemp(prefix="qmr-fleet-check-", dir="/tmp")
    fleet = clients = None
    faults, failovers = [], []
    started = time.monotonic()
    try:
        say("starting etcd, two PostgreSQL members under Patroni and two front-ends in %s"
            % folder)
        fleet = Fleet.up(folder, build=args.build)
        say("up in %.0f s; roles %s" % (time.monotonic() - started, fleet.roles()))
        if not fleet.anonymous_access_refused():
            raise StackError("etcd lets a client without the password read the cluster state")
        clients = Clients(fleet, folder, args.keys)
        time.sleep(args.phase)

        first = fleet.leader()
        say("fault 1: SIGKILL to the primary %s (Patroni and PostgreSQL)" % first)
        fleet.kill_member(first)
        at = time.monotonic()
        faults.append(("SIGKILL of primary %s" % first, at))
        second = wait_for_leader(fleet, first, timeout=TTL * 6)
        failovers.append(time.monotonic() - at)
        say("  %s leads %.1f s after the kill" % (second, failovers[-1]))
        wait_for(lambda: clients.acknowledged_since(at), timeout=60, interval=0.25)
        time.sleep(args.phase)
        say("  %s comes back as a replica" % first)
        fleet.restart_member(first)
        fleet.wait_replicated(timeout=180)
        say("  replicated again: %s" % fleet.roles())
        time.sleep(args.phase)

        hold = TTL + args.phase
        say("fault 2: SIGSTOP to the primary %s for %d s (failover after %d s)"
            % (second, hold, TTL))
        fleet.suspend_member(second, signal.SIGSTOP)
        at = time.monotonic()
        faults.append(("SIGSTOP of primary %s for %d s" % (second, hold), at))
        third = wait_for_leader(fleet, second, timeout=hold)
        failovers.append(time.monotonic() - at if third else None)
        say("  %s leads %.1f s after the stop" % (third, failovers[-1])
            if third else "  no failover within %d s" % hold)
        wait_for(lambda: time.monotonic() - at >= hold, timeout=hold + 1)
        fleet.suspend_member(second, signal.SIGCONT)
        say("  %s continued; it rejoins as a replica" % second)
        fleet.wait_replicated(timeout=180)
        say("  replicated again: %s" % fleet.roles())
        time.sleep(args.phase)

        say("final reads of every key through both front-ends")
        clients.finish()
        records = clients.records()
    finally:
        if clients:
            clients.kill()
        if fleet:
            fleet.down()
    verdict = check(records)
    longest, recovery = commit_gaps(records, faults)
    say("done in %.0f s" % (time.monotonic() - started))
    print("commits acknowledged: %d" % verdict.acknowledged)
    print("commits lost:         %d" % len(verdict.lost))
    print("commits failed:       %d (outcome not acknowledged; may or may not be there)"
          % verdict.failed_writes)
    print("reads checked:        %d (stale %d, going back %d, of unwritten values %d)"
          % (verdict.reads, len(verdict.stale), len(verdict.back), len(verdict.unknown)))
    print("longest time without an acknowledged commit: %.1f s" % longest)
    for (name, seconds), failover in zip(recovery, failovers):
        print("%s: new primary after %s, first acknowledged commit after %s" % (
            name, "%.1f s" % failover if failover is not None else "never",
            "%.1f s" % seconds if seconds is not None else "never"))
    for what, items in (("lost", verdict.lost), ("stale", verdict.stale),
                        ("going back", verdict.back), ("unwritten", verdict.unknown)):
        for item in items[:5]:
            print("  %s: %s" % (what, item))
    if args.keep:
        say("kept %s" % folder)
    else:
        shutil.rmtree(folder, ignore_errors=True)
    return 0 if verdict.ok and verdict.acknowledged and all(
        s is not None for _, s in recovery) else 1


def main(argv=None):
    parser = argparse.ArgumentParser(prog="./qmr fleet --check", description=__doc__)
    parser.add_argument("--build", default=os.path.join(os.path.dirname(os.path.dirname(
        os.path.dirname(os.path.abspath(__file__)))), "build"),
        help="build folder with bin/qmr-host and bin/qmr-datastored (default: build/)")
    parser.add_argument("--keys", type=int, default=8, help="keys per client (default 8)")
    parser.add_argument("--phase", type=float, default=10.0,
                        help="seconds of load between the steps (default 10)")
    parser.add_argument("--keep", action="store_true", help="keep the folder (logs, history)")
    args = parser.parse_args(argv)
    return run(args)


if __name__ == "__main__":
    sys.exit(main())
