#!/usr/bin/python3
"""run.py - the benchmark run behind `./qmr bench [--quick]`.

Builds the release programs into build-bench/, starts its own omniNames, omniEvents (with a
channel), qmr-datastored and redis-server on 127.0.0.1 in a temporary folder, fills both stores
with the same keys and values, then runs every benchmark in rounds (each round runs every
method once, so that drift of the machine hits all methods alike) and takes the median of the
rounds. Reads and set+commit also go through qmr-datastored on PostgreSQL (a server of the
run's own, started as tools/qmrstack.py defines it, with two front-ends on one database).
Then the scale run (1, 2 and 4 client processes at once), the group-commit run (1, 2, 4 and 8
writer processes at once), the front-ends run (one client per PostgreSQL front-end, 1 and 2
front-ends) and the memory run (many _datastore.get calls in one
qmr-host). Beside qmr-datastored it reads from qmr-bench-orbonly (the same interface behind the
generated skeleton with nothing but a hash map: what the ORB alone costs), and writes to a
second redis-server with appendfsync always (as durable as a commit of qmr-datastored). Writes bench/results/latest.json, latest.csv,
latest.png and latest.md (the report as Markdown, which the README links) and prints the report.
Every server it started is stopped by its process id.

Pinning: by default every server and every single-client benchmark runs on CPU 0 (client and
server on one CPU give the steadiest figures on a small machine); the scale run lets the
server and its clients use every CPU. --no-pin leaves placement to the kernel.
"""

import argparse
import json
import os
import platform
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "tools"))
sys.dont_write_bytecode = True  # keep the source tree clean

import report  # noqa: E402
import qmrstack  # noqa: E402

PYTHON = "/usr/bin/python3"
TARGETS = ["qmr-datastored", "qmr-host", "qmr-bench-floor", "qmr-bench-redis", "qmr-bench-corba",
           "qmr-bench-orbonly"]
# Built too, but not programs: the stack preloads it into omniNames and omniEvents.
LIBRARIES = ["qmr_confine"]
ALL_SHAPES = [(1, 16), (10, 16), (100, 16), (1000, 16), (1, 1024), (10, 1024), (100, 1024),
              (1000, 1024)]
CHANNEL = "BenchChannel"
KEYS_PER_SIZE = 1000  # keys stored for each value length (kMaxKeys of BenchSupport.h)


class BenchError(RuntimeError):
    """A step of the run failed; the message says which and what to do."""


def say(text):
    print("bench: " + text, file=sys.stderr, flush=True)


def shapes_arg(shapes):
    return ",".join("%dx%d" % s for s in shapes)


def run_build(build, jobs):
    if not os.path.exists(os.path.join(build, "build.ninja")):
        say("configuring a Release build in %s" % build)
        subprocess.run(["cmake", "-S", ROOT, "-B", build, "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=Release", "-DQMR_BUILD_TESTS=OFF",
                        "-DQMR_BUILD_BENCH=ON"], check=True, stdout=subprocess.DEVNULL)
    say("building %s in %s" % (", ".join(TARGETS), build))
    started = time.monotonic()
    proc = subprocess.run(["ninja", "-C", build, "-j", str(jobs)] + TARGETS + LIBRARIES,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if proc.returncode != 0:
        raise BenchError("the build failed:\n" + proc.stdout[-4000:])
    say("build done in %.0f s" % (time.monotonic() - started))


def set_affinity(pid, cpus):
    """Moves every thread of pid onto cpus (threads created later inherit it)."""
    try:
        tids = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return
    for tid in tids:
        try:
            os.sched_setaffinity(int(tid), cpus)
        except OSError:
            pass  # the thread ended meanwhile


class Server:
    """A server process that this run started: stopped by its process id (and start time)."""

    pid = 0
    start = None

    def running(self):
        return self.pid > 0 and qmrstack._start_time(self.pid) == self.start

    def stop(self):
        if self.running():
            os.kill(self.pid, signal.SIGTERM)
            if not qmrstack.wait_for(lambda: not self.running(), timeout=5):
                os.kill(self.pid, signal.SIGKILL)
        self.pid = 0


class Redis(Server):
    """redis-server on 127.0.0.1 in a folder of its own: without persistence, or (durable) with
    an append-only file synced before each reply, as a commit of qmr-datastored is."""

    def __init__(self, folder, durable=False):
        self.dir = folder
        os.makedirs(folder, exist_ok=True)
        self.port = qmrstack.free_port()
        persistence = (["--appendonly", "yes", "--appendfsync", "always"] if durable
                       else ["--appendonly", "no"])
        self.pid, self.start = qmrstack.spawn(
            ["redis-server", "--bind", "127.0.0.1", "--port", str(self.port), "--save", ""] +
            persistence + ["--dir", folder, "--protected-mode", "yes"],
            os.path.join(folder, "redis.log"), cwd=folder)
        if not qmrstack.wait_for(lambda: qmrstack.port_open(self.port) or not self.running()):
            self.stop()
            raise BenchError("redis-server did not listen on 127.0.0.1:%d; see %s/redis.log"
                             % (self.port, folder))


class OrbOnly(Server):
    """qmr-bench-orbonly on 127.0.0.1: the reference server of the ORB alone."""

    def __init__(self, build, folder):
        os.makedirs(folder, exist_ok=True)
        ior_file = os.path.join(folder, "orbonly.ior")
        self.pid, self.start = qmrstack.spawn(
            [os.path.join(build, "bin", "qmr-bench-orbonly"), "--ior-file", ior_file],
            os.path.join(folder, "orbonly.log"), cwd=folder)
        if not qmrstack.wait_for(lambda: os.path.exists(ior_file) or not self.running()):
            self.stop()
            raise BenchError("qmr-bench-orbonly did not start; see %s/orbonly.log" % folder)
        with open(ior_file) as f:
            self.ior = f.read().strip()


class PostgresFrontEnds:
    """PostgreSQL on 127.0.0.1 and two qmr-datastored on its one database, registered in the
    stack's naming service as DataStorePgA and DataStorePgB; every server defined by
    tools/qmrstack.py and stopped by its process id."""

    def __init__(self, build, folder, naming):
        self.servers = []
        data = os.path.join(folder, "postgres")
        port = qmrstack.free_port()
        qmrstack.prepare("postgres", data)
        self._spawn(qmrstack.server_argv("postgres", data, port), os.path.join(folder,
                                                                            "postgres.log"),
                    lambda: qmrstack.is_ready("postgres", data, port), "PostgreSQL")
        self.uri = qmrstack.postgres_uri(port)
        self.iors = []
        for name in ("DataStorePgA", "DataStorePgB"):
            fe = os.path.join(folder, name)
            qmrstack.prepare("datastore", fe)
            self._spawn(qmrstack.server_argv("datastore", fe, naming=naming, tcp=True,
                                             build=build, name=name, db=self.uri),
                        os.path.join(folder, name + ".log"),
                        lambda: qmrstack.is_ready("datastore", fe), name)
            with open(os.path.join(fe, "datastore.ior")) as f:
                self.iors.append(f.read().strip())

    def _spawn(self, argv, log, ready, what):
        server = Server()
        server.pid, server.start = qmrstack.spawn(argv, log, cwd=os.path.dirname(log))
        self.servers.append(server)
        if not qmrstack.wait_for(lambda: ready() or not server.running(), timeout=30) or \
                not server.running():
            self.stop()
            raise BenchError("%s did not start; see %s" % (what, log))

    def pids(self):
        return [s.pid for s in self.servers]

    def stop(self):
        for server in reversed(self.servers):
            server.stop()


class Runner:
    def __init__(self, args, build, folder):
        self.args = args
        self.bin = os.path.join(build, "bin")
        self.build = build
        self.folder = folder
        self.records = []
        self.stack = None
        self.redis = None
        self.redis_durable = None
        self.orbonly = None
        self.pg = None
        self.env = dict(os.environ, QMR_LOG_LEVEL="warning")
        self.floor_cases = {}  # (keys, value_bytes) -> (request bytes, reply bytes)

    # ---- servers

    def start(self):
        say("starting omniNames, omniEvents (channel %s), qmr-datastored and redis-server in %s"
            % (CHANNEL, self.folder))
        # On loopback TCP, like the floor and the ORB-only server it is compared with.
        self.stack = qmrstack.Stack.up(os.path.join(self.folder, "stack"), channels=[CHANNEL],
                                       build=self.build, tcp=True)
        self.redis = Redis(os.path.join(self.folder, "redis"))
        self.redis_durable = Redis(os.path.join(self.folder, "redis-aof"), durable=True)
        self.orbonly = OrbOnly(self.build, os.path.join(self.folder, "orbonly"))
        say("starting PostgreSQL and two qmr-datastored on it")
        # In the run's own folder: PostgreSQL may run as nobody, which must reach it.
        self.pg = PostgresFrontEnds(self.build, self.folder, self.stack.naming)
        self.orb = self.stack.orb_args()

    def stop(self):
        for server in (self.pg, self.orbonly, self.redis_durable, self.redis):
            if server:
                server.stop()
        if self.stack:
            self.stack.down()

    def server_pids(self):
        return [self.stack.pid("datastore"), self.redis.pid, self.redis_durable.pid,
                self.orbonly.pid] + self.pg.pids()

    # ---- running one program

    def call(self, argv, what, timeout=600):
        """Runs one benchmark program; returns the result records it printed."""
        try:
            proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  text=True, timeout=timeout, env=self.env)
        except subprocess.TimeoutExpired:
            raise BenchError("%s did not finish within %d s" % (what, timeout))
        if proc.returncode != 0:
            raise BenchError("%s failed (exit %d):\n%s%s" % (what, proc.returncode,
                                                              proc.stdout[-2000:],
                                                              proc.stderr[-2000:]))
        return [json.loads(line) for line in proc.stdout.splitlines() if line.startswith("{")]

    def corba(self, *args):
        return [os.path.join(self.bin, "qmr-bench-corba")] + self.orb + list(args)

    def host(self, *args):
        return ([os.path.join(self.bin, "qmr-host")] + self.orb +
                [os.path.join(HERE, "pybench.py"), "datastore"] + list(args))

    def redis_c(self, *args, durable=False):
        port = (self.redis_durable if durable else self.redis).port
        return [os.path.join(self.bin, "qmr-bench-redis"), "--port", str(port)] + list(args)

    def redis_py(self, *args):
        return [PYTHON, os.path.join(HERE, "pybench.py"), "redis", "--port",
                str(self.redis.port)] + list(args)

    # ---- the benchmarks

    def populate(self, shapes):
        sizes = shapes_arg(sorted({(1, b) for _, b in shapes}))
        say("filling both stores: %d keys for each value length (%s)"
            % (KEYS_PER_SIZE, ", ".join("%d bytes" % b for b in sorted({b for _, b in shapes}))))
        self.call(self.corba("populate", "--shapes", sizes), "populating qmr-datastored")
        self.call(self.corba("populate", "--shapes", sizes, "--datastore", self.orbonly.ior),
                  "populating qmr-bench-orbonly")
        self.call(self.corba("populate", "--shapes", sizes, "--datastore", self.pg.iors[0]),
                  "populating qmr-datastored on PostgreSQL")
        self.call(self.redis_c("populate", "--shapes", sizes), "populating redis-server")

    def round(self, number, rounds, shapes, seconds):
        timing = ["--seconds", str(seconds)]
        reads = ["reads", "--shapes", shapes_arg(shapes)] + timing
        writes = ["writes", "--entries", "1,10,100"] + timing
        steps = [
            ("stub reads", self.corba(*reads, "--method", "stub")),
            ("floor", None),
            ("ORB-only reads", self.corba(*reads, "--method", "stub", "--datastore",
                                          self.orbonly.ior, "--label", "orb-only")),
            ("PostgreSQL stub reads", self.corba(*reads, "--method", "stub", "--datastore",
                                                 self.pg.iors[0], "--label", "pg")),
            ("manager reads", self.corba(*reads, "--method", "manager")),
            ("manager reads, caching on", self.corba(*reads, "--method", "manager-cache")),
            ("_datastore reads in qmr-host", self.host(*reads)),
            ("hiredis MGET", self.redis_c(*reads)),
            ("redis-py MGET", self.redis_py(*reads)),
            ("stub writes", self.corba(*writes, "--method", "stub")),
            ("PostgreSQL stub writes", self.corba(*writes, "--method", "stub", "--datastore",
                                                  self.pg.iors[0], "--label", "pg")),
            ("manager writes", self.corba(*writes, "--method", "manager")),
            ("_datastore writes", self.host(*writes)),
            ("hiredis MULTI/SET/EXEC", self.redis_c(*writes)),
            ("hiredis, appendfsync always", self.redis_c(*writes, "--label", "hiredis-fsync",
                                                         durable=True)),
            ("redis-py MULTI/SET/EXEC", self.redis_py(*writes)),
            ("signalEvent", self.host("events", "--channel", CHANNEL,
                                      "--seconds", str(seconds * 3))),
        ]
        for what, argv in steps:
            started = time.monotonic()
            if argv is None:
                argv = self.floor_argv(seconds)
                if argv is None:
                    continue
            records = self.call(argv, what)
            for record in records:
                record["round"] = number
                if record.get("method") == "stub" and record["kind"] == "read":
                    self.floor_cases[(int(record["keys"]), int(record["value_bytes"]))] = (
                        int(round(record["request_bytes"])), int(round(record["reply_bytes"])))
            self.records += records
            say("round %d/%d: %-30s %5.1f s  %s" % (number, rounds, what,
                                                    time.monotonic() - started, brief(records)))

    def floor_argv(self, seconds):
        cases = []
        for (keys, size), (req, rep) in sorted(self.floor_cases.items()):
            cases += ["--case", "%d:%d:%d:%d" % (keys, size, max(req, 8), max(rep, 1))]
        if not cases:
            return None
        return [os.path.join(self.bin, "qmr-bench-floor"), "--seconds", str(seconds)] + cases

    def unpin_servers(self):
        """Lets the servers use every CPU, for the runs with several clients at once."""
        if self.args.pin:
            for pid in self.server_pids():
                set_affinity(pid, set(range(os.cpu_count())))

    def run_clients(self, argvs, what):
        """Runs the client programs `argvs` at once on every CPU and returns the first result
        line of each (a dict); raises BenchError naming `what` when one of them fails."""
        every_cpu = set(range(os.cpu_count()))
        procs = [subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  text=True, env=self.env,
                                  preexec_fn=lambda: os.sched_setaffinity(0, every_cpu))
                 for argv in argvs]
        results, failures = [], []
        for proc in procs:
            out, err = proc.communicate(timeout=120)
            got = [json.loads(x) for x in out.splitlines() if x.startswith("{")]
            if proc.returncode != 0 or not got:
                failures.append(err.strip())
            else:
                results.append(got[0])
        if failures:
            raise BenchError("%s failed: %s" % (what, failures[0]))
        return results

    def scale(self, rounds, seconds):
        self.unpin_servers()
        for number in range(1, rounds + 1):
            for clients in (1, 2, 4):
                start_at = time.time() + 1.0
                argv = self.corba("reads", "--method", "manager", "--shapes", "1x16",
                                  "--seconds", str(seconds), "--start-at", "%.3f" % start_at)
                results = self.run_clients([argv] * clients, "a scale client")
                total = sum(1e6 / r["us"] for r in results)
                self.records.append({"kind": "scale", "method": "manager", "clients": clients,
                                     "us": 1e6 / total, "round": number})
                say("scale %d/%d: %d client%s %9.0f requests/s in total"
                    % (number, rounds, clients, "s" if clients > 1 else " ", total))

    def group_commit(self, rounds, seconds):
        """1, 2, 4 and 8 writer processes at once, each committing one entry at a time (keys
        of its own) through the generated stub; commits/s in total, p50 and p99 latency."""
        self.unpin_servers()
        for number in range(1, rounds + 1):
            for writers in (1, 2, 4, 8):
                start_at = time.time() + 1.0
                argvs = [self.corba("writes", "--method", "stub", "--entries", "1",
                                    "--seconds", str(seconds), "--start-at", "%.3f" % start_at,
                                    "--prefix", "g%d.%d:" % (writers, w))
                         for w in range(writers)]
                lines = self.run_clients(argvs, "a group-commit writer")
                record = report.group_record(writers, lines)
                record["round"] = number
                self.records.append(record)
                say("group commit %d/%d: %d writer%s %7.0f commits/s, p50 %.0f us, p99 %.0f us"
                    % (number, rounds, writers, "s" if writers > 1 else " ",
                       1e6 / record["us"], record["p50_us"], record["p99_us"]))

    def frontends(self, rounds, seconds):
        """One stub client per PostgreSQL front-end, 1 and 2 front-ends: reads of 1 key and
        set+commit of 1 entry, requests/s in total."""
        self.unpin_servers()
        for number in range(1, rounds + 1):
            for count in (1, 2):
                for kind, args in (("read", ["reads", "--shapes", "1x16"]),
                                   ("write", ["writes", "--entries", "1"])):
                    start_at = time.time() + 1.0
                    argvs = [self.corba(*args, "--method", "stub", "--datastore",
                                        self.pg.iors[fe], "--seconds", str(seconds),
                                        "--start-at", "%.3f" % start_at,
                                        "--prefix", "f%d.%d:" % (count, fe))
                             for fe in range(count)]
                    results = self.run_clients(argvs, "a front-end client")
                    total = sum(1e6 / r["us"] for r in results)
                    self.records.append({"kind": "frontends", "method": "pg-" + kind,
                                         "clients": count, "us": 1e6 / total, "round": number})
                    say("front-ends %d/%d: %d front-end%s, %s %7.0f/s in total"
                        % (number, rounds, count, "s" if count > 1 else " ",
                           "reads  " if kind == "read" else "commits", total))

    def memory(self, calls):
        say("memory: %d _datastore.get calls in one qmr-host (takes a while)" % calls)
        started = time.monotonic()
        records = self.call(self.host("memory", "--calls", str(calls)), "the memory run",
                            timeout=3600)
        say("memory: done in %.0f s  %s" % (time.monotonic() - started, brief(records)))
        return records[0] if records else None


def brief(records):
    """A short progress note on what a step measured."""
    if not records:
        return ""
    rec = records[0]
    if rec["kind"] == "memory":
        return "RSS growth %+d KiB" % (rec["growth"] // 1024)
    return "%s: %.1f us" % (", ".join("%s" % rec[k] for k in ("keys", "entries") if k in rec)
                            or rec["method"], rec["us"])


def machine_info(pinned):
    info = {"python": platform.python_version(), "kernel": platform.release(),
            "cpus": os.cpu_count(), "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())}
    try:
        with open("/proc/cpuinfo") as f:
            models = [line.split(":", 1)[1].strip() for line in f if line.startswith("model name")]
        info["cpu"] = models[0] if models else "unknown"
        with open("/proc/meminfo") as f:
            info["memory_gib"] = round(int(f.readline().split()[1]) / 1048576.0, 1)
        with open("/etc/os-release") as f:
            for line in f:
                if line.startswith("PRETTY_NAME="):
                    info["os"] = line.split("=", 1)[1].strip().strip('"')
    except OSError:
        pass
    for name, argv in (("redis", ["redis-server", "--version"]),
                       ("omniorb", ["dpkg-query", "-W", "-f=${Version}", "libomniorb4-dev"]),
                       ("sqlite", ["dpkg-query", "-W", "-f=${Version}", "libsqlite3-dev"])):
        try:
            info[name] = subprocess.run(argv, capture_output=True, text=True).stdout.strip()[:60]
        except OSError:
            info[name] = "unknown"
    info["placement"] = ("every server and client on CPU 0 (scale and group-commit runs: all CPUs)" if pinned
                         else "unpinned")
    info["load_average"] = "%.1f %.1f %.1f" % os.getloadavg()  # other work on the machine
    return info


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="./qmr bench",
        description="Build in release mode, start local servers on 127.0.0.1, run every "
                    "benchmark side by side, write bench/results/latest.{json,csv,png,md} "
                    "and print the report.")
    parser.add_argument("--quick", action="store_true",
                        help="fewer rounds, shorter cases, 100000 calls in the memory run "
                             "(well under two minutes on 2 cores once built)")
    parser.add_argument("--rounds", type=int, help="rounds of every method (median taken; "
                        "default 7, 3 with --quick)")
    parser.add_argument("--seconds", type=float, help="timed length of each case (default 0.4, "
                        "0.12 with --quick)")
    parser.add_argument("--memory-calls", type=int,
                        help="_datastore.get calls of the memory run (default 1000000, 100000 "
                             "with --quick; 0 skips it)")
    parser.add_argument("--build", default=os.path.join(ROOT, "build-bench"),
                        help="release build folder (default build-bench/)")
    parser.add_argument("--no-build", action="store_true", help="use the build folder as it is")
    parser.add_argument("--no-pin", dest="pin", action="store_false",
                        help="do not pin servers and clients to CPU 0")
    parser.add_argument("--out", default=os.path.join(HERE, "results"),
                        help="folder for latest.json, .csv, .png and .md")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder (logs)")
    args = parser.parse_args(argv)
    rounds = args.rounds or (3 if args.quick else 7)
    seconds = args.seconds or (0.12 if args.quick else 0.4)
    memory_calls = args.memory_calls if args.memory_calls is not None else (
        100000 if args.quick else 1000000)
    scale_seconds = 1.0 if args.quick else 2.0
    shapes = ALL_SHAPES

    began = time.monotonic()
    if not args.no_build:
        run_build(os.path.abspath(args.build), int(os.environ.get("QMR_JOBS", os.cpu_count())))
    for target in TARGETS:
        if not os.access(os.path.join(args.build, "bin", target), os.X_OK):
            raise BenchError("%s/bin/%s is missing; run without --no-build" % (args.build, target))
    if shutil.which("redis-server") is None:
        raise BenchError("redis-server is missing; run ./qmr deps")
    if args.pin:
        os.sched_setaffinity(0, {0})  # servers and clients started from here inherit it

    folder = tempfile.mkdtemp(prefix="qmr-bench-")
    runner = Runner(args, os.path.abspath(args.build), folder)
    # A SIGTERM ends the run through the same clean-up as an error.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("bench: terminated"))
    memory = None
    try:
        runner.start()
        runner.populate(shapes)
        measuring = time.monotonic()
        for number in range(1, rounds + 1):
            runner.round(number, rounds, shapes, seconds)
        runner.scale(rounds, scale_seconds)
        runner.group_commit(rounds, scale_seconds)
        runner.frontends(rounds, scale_seconds)
        if memory_calls > 0:
            memory = runner.memory(memory_calls)
        say("measured in %.0f s" % (time.monotonic() - measuring))
    finally:
        runner.stop()
        if args.keep:
            say("logs kept in %s" % folder)
        else:
            shutil.rmtree(folder, ignore_errors=True)

    figures = report.medians(runner.records)
    machine = machine_info(args.pin)
    config = {"quick": args.quick, "rounds": rounds, "seconds_per_case": seconds,
              "scale_seconds": scale_seconds, "memory_calls": memory_calls,
              "shapes": ["%dx%d" % s for s in shapes], "build": "Release (-O3)"}
    os.makedirs(args.out, exist_ok=True)
    report.write_json(os.path.join(args.out, "latest.json"), figures, shapes, memory, machine,
                      config)
    report.write_csv(os.path.join(args.out, "latest.csv"), figures)
    sections = report.sections(figures, shapes, memory, machine)
    with open(os.path.join(args.out, "latest.md"), "w") as f:
        f.write(report.as_markdown(sections))
    problem = report.write_plot(os.path.join(args.out, "latest.png"), figures, shapes,
                                "qmr benchmarks, %s, %d CPUs, %s" % (machine.get("cpu", "?"),
                                                                    machine["cpus"],
                                                                    machine["date"]))
    print(report.as_text(sections))
    print("Results: %s/latest.json, .csv, .png and .md (%d rounds, median; %.0f s in all)"
          % (os.path.relpath(args.out), rounds, time.monotonic() - began))
    if problem:
        say("no plot: " + problem)
        return 1
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (BenchError, qmrstack.StackError) as e:
        say(str(e))
        sys.exit(1)
    except KeyboardInterrupt:
        say("interrupted")
        sys.exit(130)
