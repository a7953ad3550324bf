#!/usr/bin/python3
"""metrics_run.py - qmr-datastored's metrics endpoint under a load, and what counting costs.

The load run starts a stack (tools/qmrstack.py, metrics on a free loopback port) in a temporary
folder, fills the data store, then starts readers and writers (qmr-bench-corba) one after the
other while it scrapes the endpoint every --interval seconds. It writes each scrape's figures to
bench/results/metrics-load.csv and plots them with gnuplot into bench/results/metrics-load.png:
open sessions, commits and gets per second, and the p50 and p99 commit latency of each interval,
as an operator's dashboard would show them.

With --base BUILD it also measures what counting costs: the same reads and commits against the
qmr-datastored of BUILD (built from a tree without the counters) and of --build, in alternating
rounds, pinned to one CPU. It reports the median wall time per call and the median server
processor time per call (from /proc, so that other load on the machine moves it little) and
writes bench/results/metrics-overhead.json.

Every process it started is stopped by its process id.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tools"))
sys.dont_write_bytecode = True  # keep the source tree clean

import qmrstack  # noqa: E402

PREFIX = "qmr_datastore_"


def say(text):
    print("metrics_run: " + text, file=sys.stderr, flush=True)


# ---- reading a scrape

def parse(text):
    """{(name, frozenset(labels)): value} of a text exposition (enough of the format for the
    endpoint's own output: no escapes in label values)."""
    samples = {}
    for line in text.splitlines():
        if not line or line.startswith("#"):
            continue
        head, _, value = line.rpartition(" ")
        labels = frozenset()
        name = head
        if "{" in head:
            name, _, rest = head.partition("{")
            pairs = [p for p in rest.rstrip("}").split(",") if p]
            labels = frozenset(tuple(p.split("=", 1)) for p in pairs)
            labels = frozenset((k, v.strip('"')) for k, v in labels)
        samples[(name, labels)] = float(value)
    return samples


def scrape(address):
    with urllib.request.urlopen("http://%s/metrics" % address, timeout=5) as reply:
        return parse(reply.read().decode())


def value(samples, name):
    return samples.get((PREFIX + name, frozenset()), 0.0)


def buckets(samples, name):
    out = {}
    for (n, labels), v in samples.items():
        if n == PREFIX + name + "_bucket":
            out[float(dict(labels)["le"])] = v
    return dict(sorted(out.items()))


def quantile(q, later, earlier, name):
    """The q-quantile of histogram name over the observations between two scrapes
    (histogram_quantile's linear interpolation); None without observations."""
    now, before = buckets(later, name), buckets(earlier, name)
    counts = [(b, c - before.get(b, 0)) for b, c in now.items()]
    if not counts or counts[-1][1] <= 0:
        return None
    rank = q * counts[-1][1]
    low_bound, low_count, finite = 0.0, 0.0, 0.0
    for bound, count in counts:
        if bound == float("inf"):
            break
        finite = bound
        if count >= rank:
            inside = count - low_count
            return bound if inside <= 0 else low_bound + (bound - low_bound) * (rank - low_count) / inside
        low_bound, low_count = bound, count
    return finite


# ---- the load run

def bench_env(stack):
    env = dict(os.environ)
    env["QMR_LOG_LEVEL"] = "error"
    return env


def corba(build, stack, *args):
    return [os.path.join(build, "bin", "qmr-bench-corba")] + stack.orb_args() + list(args)


def load_run(args, folder):
    stack = qmrstack.Stack.up(os.path.join(folder, "load"), build=args.build)
    procs = []
    try:
        address = stack.metrics_address
        env = bench_env(stack)
        say("stack up; metrics at http://%s/metrics; filling the store" % address)
        subprocess.run(corba(args.build, stack, "populate", "--shapes", "1x16,1x1024"),
                       check=True, env=env, stdout=subprocess.DEVNULL)
        # (start second, argv): a reader, a writer, a second reader, then two more writers.
        s = args.phase
        plan = [
            (0.0, corba(args.build, stack, "reads", "--shapes", "10x16", "--seconds", str(5 * s))),
            (s, corba(args.build, stack, "writes", "--entries", "1", "--seconds", str(4 * s),
                      "--prefix", "a:")),
            (2 * s, corba(args.build, stack, "reads", "--shapes", "100x16", "--seconds", str(3 * s))),
            (3 * s, corba(args.build, stack, "writes", "--entries", "10", "--seconds", str(2 * s),
                          "--prefix", "b:")),
            (3 * s, corba(args.build, stack, "writes", "--entries", "1", "--seconds", str(2 * s),
                          "--prefix", "c:")),
        ]
        rows = []
        start = time.monotonic()
        previous = scrape(address)
        previous_at = start
        pending = list(plan)
        while True:
            elapsed = time.monotonic() - start
            while pending and pending[0][0] <= elapsed:
                procs.append(subprocess.Popen(pending.pop(0)[1], env=env,
                                              stdout=subprocess.DEVNULL))
            time.sleep(args.interval)
            now = scrape(address)
            at = time.monotonic()
            dt = at - previous_at
            p50 = quantile(0.5, now, previous, "commit_duration_seconds")
            p99 = quantile(0.99, now, previous, "commit_duration_seconds")
            rows.append({
                "t": round(at - start, 3),
                "sessions": value(now, "sessions_open"),
                "commits_per_s": (value(now, "commits_total") - value(previous, "commits_total")) / dt,
                "gets_per_s": (value(now, "gets_total") - value(previous, "gets_total")) / dt,
                "p50_ms": p50 * 1e3 if p50 is not None else None,
                "p99_ms": p99 * 1e3 if p99 is not None else None,
            })
            previous, previous_at = now, at
            if not pending and all(p.poll() is not None for p in procs):
                break
        failed = [p.args[-1] for p in procs if p.returncode != 0]
        if failed:
            raise RuntimeError("a load program failed (see the stack's logs in %s)" % folder)
        excerpt = urllib.request.urlopen("http://%s/metrics" % address, timeout=5).read().decode()
        return rows, excerpt
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()
        stack.down()


def write_load(rows, excerpt, out):
    csv_path = os.path.join(out, "metrics-load.csv")
    with open(csv_path, "w") as f:
        f.write("t,sessions,commits_per_s,gets_per_s,p50_ms,p99_ms\n")
        for r in rows:
            f.write("%.3f,%d,%.1f,%.1f,%s,%s\n" % (
                r["t"], r["sessions"], r["commits_per_s"], r["gets_per_s"],
                "" if r["p50_ms"] is None else "%.3f" % r["p50_ms"],
                "" if r["p99_ms"] is None else "%.3f" % r["p99_ms"]))
    with open(os.path.join(out, "metrics-scrape.txt"), "w") as f:
        f.write(excerpt)
    png = os.path.join(out, "metrics-load.png")
    script = """
set terminal pngcairo size 900,720 font ",10"
set termoption noenhanced
set output '{png}'
set datafile separator ','
set datafile missing ''
set key top left
set grid
set xrange [0:{end}]
set multiplot layout 3,1 title "qmr-datastored under a load, scraped every {interval} s (bench/metrics_run.py)"
set ylabel 'sessions open'
set yrange [0:*]
plot '{csv}' using 1:2 skip 1 with steps lw 2 title 'qmr_datastore_sessions_open'
set ylabel 'gets per second'
set y2label 'commits per second'
set y2range [0:*]
set ytics nomirror
set y2tics
plot '{csv}' using 1:4 skip 1 with lines lw 2 title 'gets/s (rate of qmr_datastore_gets_total)', \\
     '{csv}' using 1:3 skip 1 axes x1y2 with lines lw 2 title 'commits/s (rate of qmr_datastore_commits_total)'
unset y2label
unset y2tics
set ytics mirror
set ylabel 'commit latency (ms)'
set xlabel 'seconds'
plot '{csv}' using 1:5 skip 1 with linespoints lw 2 title 'p50 of qmr_datastore_commit_duration_seconds', \\
     '{csv}' using 1:6 skip 1 with linespoints lw 2 title 'p99'
unset multiplot
""".format(png=png, csv=csv_path, interval=ARGS.interval, end=rows[-1]["t"] if rows else 1)
    terminal = subprocess.run(["gnuplot", "-e", "set terminal"], capture_output=True, text=True)
    if "pngcairo" not in terminal.stdout + terminal.stderr:
        script = script.replace("pngcairo size 900,720 font \",10\"", "png size 900,720")
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    say("wrote %s, %s and metrics-scrape.txt" % (csv_path, png))


# ---- what counting costs

def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def set_affinity(pid, cpus):
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            os.sched_setaffinity(int(tid), cpus)
        except OSError:
            pass


def one_round(server_build, client_build, metrics, folder, seconds):
    """{case: (wall us per call, server cpu us per call)} of one server."""
    stack = qmrstack.Stack.up(folder, build=server_build, metrics=metrics)
    try:
        env = bench_env(stack)
        pid = stack.pid("datastore")
        set_affinity(pid, {0})
        pin = lambda: os.sched_setaffinity(0, {0})  # noqa: E731
        subprocess.run(corba(client_build, stack, "populate", "--shapes", "1x16"), check=True,
                       env=env, stdout=subprocess.DEVNULL)
        out = {}
        cases = [("get 1 key", ["reads", "--shapes", "1x16"]),
                 ("get 100 keys", ["reads", "--shapes", "100x16"]),
                 ("set+commit 1", ["writes", "--entries", "1"]),
                 ("set+commit 10", ["writes", "--entries", "10"])]
        for name, argv in cases:
            set_affinity(pid, {0})
            before = cpu_seconds(pid)
            proc = subprocess.run(corba(client_build, stack, *argv, "--seconds", str(seconds)),
                                  check=True, env=env, capture_output=True, text=True,
                                  preexec_fn=pin)
            used = cpu_seconds(pid) - before
            result = json.loads(proc.stdout.splitlines()[0])
            calls = result["calls"]
            # A write case is two calls (set, commit) per timed call.
            out[name] = (result["us"], used * 1e6 / calls)
        return out
    finally:
        stack.down()
        shutil.rmtree(folder, ignore_errors=True)


def overhead_run(args, folder):
    results = {"base": {}, "metrics": {}}
    for r in range(args.rounds):
        order = [("base", args.base, False), ("metrics", args.build, True)]
        if r % 2:
            order.reverse()
        for label, build, metrics in order:
            say("round %d/%d: %s" % (r + 1, args.rounds, label))
            for case, figures in one_round(build, args.build, metrics,
                                           os.path.join(folder, "%s-%d" % (label, r)),
                                           args.seconds).items():
                results[label].setdefault(case, []).append(figures)
    table = []
    for case in results["base"]:
        base_wall = statistics.median(f[0] for f in results["base"][case])
        base_cpu = statistics.median(f[1] for f in results["base"][case])
        wall = statistics.median(f[0] for f in results["metrics"][case])
        cpu = statistics.median(f[1] for f in results["metrics"][case])
        table.append({"case": case, "base_us": round(base_wall, 1), "metrics_us": round(wall, 1),
                      "base_server_cpu_us": round(base_cpu, 1),
                      "metrics_server_cpu_us": round(cpu, 1)})
    return table


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"),
                        help="build folder with qmr-datastored and qmr-bench-corba (default "
                             "build/)")
    parser.add_argument("--base", help="a build folder whose qmr-datastored has no counters: "
                                       "also measure what counting costs against it")
    parser.add_argument("--rounds", type=int, default=5, help="rounds of the cost run (median)")
    parser.add_argument("--seconds", type=float, default=1.0,
                        help="timed length of each case of the cost run (default 1)")
    parser.add_argument("--phase", type=float, default=3.0,
                        help="seconds between the load's steps (default 3)")
    parser.add_argument("--interval", type=float, default=0.5,
                        help="seconds between scrapes of the load run (default 0.5)")
    parser.add_argument("--no-load", action="store_true", help="skip the load run")
    parser.add_argument("--out", default=os.path.join(HERE, "results"),
                        help="folder for the results (default bench/results)")
    ARGS = args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    os.makedirs(args.out, exist_ok=True)
    folder = tempfile.mkdtemp(prefix="qmr-metrics-run.")
    try:
        if not args.no_load:
            rows, excerpt = load_run(args, folder)
            write_load(rows, excerpt, args.out)
            peak = max(rows, key=lambda r: r["commits_per_s"])
            say("peak %.0f commits/s, %.0f gets/s, p99 %s ms at %.1f s" % (
                peak["commits_per_s"], max(r["gets_per_s"] for r in rows),
                peak["p99_ms"], peak["t"]))
        if args.base:
            table = overhead_run(args, folder)
            path = os.path.join(args.out, "metrics-overhead.json")
            with open(path, "w") as f:
                json.dump({"rounds": args.rounds, "seconds": args.seconds, "cases": table}, f,
                          indent=1)
            print("%-14s %12s %12s %16s %16s" % ("case", "base us", "counted us",
                                                 "base server us", "counted server us"))
            for row in table:
                print("%-14s %12.1f %12.1f %16.1f %16.1f" % (
                    row["case"], row["base_us"], row["metrics_us"], row["base_server_cpu_us"],
                    row["metrics_server_cpu_us"]))
            say("wrote %s" % path)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
