"""pybench.py - the Python side of the benchmarks: reads and writes through `_datastore` (run
inside qmr-host), signalEvent calls through `_MiscCorba`, the host's resident size over many
reads, and the same reads and writes through redis-py with its hiredis parser (run with
/usr/bin/python3).

Prints one JSON object per line for each figure, like the C++ benchmark programs.

  qmr-host -ORBInitRef NameService=... bench/pybench.py datastore reads --shapes 1x16,100x1024
  /usr/bin/python3 bench/pybench.py redis reads --port 6390
"""

import argparse
import json
import math
import os
import sys
import time

KEY_PREFIX = {16: "key", 1024: "kib"}


def key_name(value_bytes, index):
    """The key names the C++ programs use (BenchSupport.cc keyName)."""
    prefix = KEY_PREFIX.get(value_bytes, "v%d" % value_bytes)
    return "%s:%06d" % (prefix, index)


def value_for(value_bytes, index):
    tag = "value-%d-" % index
    return (tag * (value_bytes // len(tag) + 1))[:value_bytes]


def parse_shapes(text):
    shapes = []
    for item in text.split(","):
        keys, _, size = item.partition("x")
        if not keys.isdigit() or not size.isdigit() or not 1 <= int(keys) <= 1000:
            raise argparse.ArgumentTypeError("bad shape %r: write KEYSxBYTES, e.g. 100x1024" % item)
        shapes.append((int(keys), int(size)))
    return shapes


def time_calls(call, seconds, warmup, min_calls=20, latencies=None):
    """(microseconds per call, timed calls, processor microseconds per call of this process)
    of call() over at least `seconds`, after up to `warmup` untimed calls (fewer when they
    take more than a fifth of `seconds`). With a list as `latencies`, every timed call's
    microseconds are appended to it (the clock is then read after every call)."""
    clock = time.perf_counter
    warm_until = clock() + seconds / 5
    for i in range(warmup):
        call()
        if i >= 1 and clock() >= warm_until:
            break
    cpu_start = time.process_time()
    start = clock()
    until = start + seconds
    n = 0
    batch = 1
    last = start
    while True:
        for _ in range(batch):
            call()
        n += batch
        now = clock()
        if latencies is not None:
            latencies.append((now - last) * 1e6)
            last = now
            if now >= until and n >= min_calls:
                break
            continue
        if now >= until and n >= min_calls:
            break
        # Look at the clock about every millisecond, not after every call.
        elapsed = now - start
        if elapsed > 0 and n > 0:
            batch = max(1, min(1000, int(n * 0.001 / elapsed)))
    return (now - start) * 1e6 / n, n, (time.process_time() - cpu_start) * 1e6 / n


def percentile(values, p):
    """The p-th percentile (nearest rank) of values; 0 when there are none."""
    if not values:
        return 0.0
    ordered = sorted(values)
    rank = max(1, int(math.ceil(p / 100.0 * len(ordered))))
    return ordered[min(rank, len(ordered)) - 1]


def emit(kind, **fields):
    record = {"kind": kind}
    record.update(fields)
    print(json.dumps(record), flush=True)


def wait_until(epoch):
    delay = epoch - time.time()
    if epoch > 0 and delay > 0:
        time.sleep(delay)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class DataStoreBackend:
    name = "python"

    def __init__(self, args):
        import _datastore
        self.ds = _datastore

    def read(self, keys, value_bytes):
        ds = self.ds
        reply = ds.get(keys, 0)
        if reply[0] != 1 or len(reply[1]) != len(keys):
            raise SystemExit("pybench: _datastore.get returned %r; run populate first" % (reply[:1],))

        def call():
            ds.get(keys, 0)
        return call

    def write(self, entries):
        ds = self.ds

        def call():
            if ds.set(entries) != 1 or ds.commit() != 1:
                raise SystemExit("pybench: _datastore.set/commit failed; see the log lines")
        return call


class RedisBackend:
    name = "redis-py"

    def __init__(self, args):
        import redis
        from redis.utils import HIREDIS_AVAILABLE
        if not HIREDIS_AVAILABLE:
            raise SystemExit("pybench: python3-redis does not see the hiredis parser; "
                             "install python3-hiredis (./qmr deps)")
        self.r = redis.Redis(host="127.0.0.1", port=args.port, decode_responses=True)
        self.r.ping()

    def read(self, keys, value_bytes):
        mget = self.r.mget
        values = mget(keys)
        if len(values) != len(keys) or values[0] is None or len(values[0]) != value_bytes:
            raise SystemExit("pybench: MGET did not return every value; populate redis first")

        def call():
            mget(keys)
        return call

    def write(self, entries):
        r = self.r

        def call():
            pipe = r.pipeline(transaction=True)
            for key, value, _ in entries:
                pipe.set(key, value)
            pipe.execute()
        return call


def run_reads(backend, args):
    for keys_n, value_bytes in args.shapes:
        keys = [key_name(value_bytes, i) for i in range(keys_n)]
        lat = []
        us, calls, cpu = time_calls(backend.read(keys, value_bytes), args.seconds, args.warmup,
                                    latencies=lat)
        emit("read", method=backend.name, keys=keys_n, value_bytes=value_bytes, us=us,
             cpu_us=cpu, calls=calls, p50_us=percentile(lat, 50), p99_us=percentile(lat, 99))


def run_writes(backend, args):
    for n in args.entries:
        entries = [("w:" + key_name(16, i), value_for(16, i), 0) for i in range(n)]
        us, calls, _ = time_calls(backend.write(entries), args.seconds, max(1, args.warmup // 4),
                                  10)
        emit("write", method=backend.name, entries=n, us=us, calls=calls)


def run_events(args):
    import _MiscCorba
    signal = _MiscCorba.signalEvent
    channel = args.channel

    def call():
        signal(channel, "bench", "value")
    us, calls, _ = time_calls(call, args.seconds, args.warmup)
    emit("event", method="signalEvent", us=us, per_second=1e6 / us, calls=calls)


def run_memory(args):
    import _datastore
    get = _datastore.get
    keys = [key_name(16, 0)]
    for _ in range(1000):
        get(keys, 0)
    after_first = rss_bytes()
    peak = after_first
    done = 1000
    start = time.perf_counter()
    step = max(1000, args.calls // 50)
    while done < args.calls:
        for _ in range(min(step, args.calls - done)):
            get(keys, 0)
        done += min(step, args.calls - done)
        peak = max(peak, rss_bytes())
    elapsed = time.perf_counter() - start
    end = rss_bytes()
    emit("memory", method="python", calls=done, rss_after_1000=after_first, rss_end=end,
         rss_peak=peak, growth=end - after_first, us=elapsed * 1e6 / max(1, done - 1000))


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="pybench.py",
        description="Python benchmarks: _datastore (inside qmr-host) or redis-py (python3).")
    parser.add_argument("backend", choices=["datastore", "redis"])
    parser.add_argument("what", choices=["reads", "writes", "events", "memory"])
    parser.add_argument("--shapes", type=parse_shapes, default=[(1, 16)],
                        help="read cases KEYSxBYTES,... (default 1x16)")
    parser.add_argument("--entries", type=lambda t: [int(x) for x in t.split(",")],
                        default=[1, 10, 100], help="write sizes (default 1,10,100)")
    parser.add_argument("--seconds", type=float, default=0.3, help="timed length of each case")
    parser.add_argument("--warmup", type=int, default=200, help="untimed calls before each case")
    parser.add_argument("--start-at", type=float, default=0,
                        help="wait until this wall-clock time (epoch seconds) before timing")
    parser.add_argument("--port", type=int, help="redis-server port on 127.0.0.1")
    parser.add_argument("--channel", default="BenchChannel", help="event channel for events")
    parser.add_argument("--calls", type=int, default=1000000, help="reads of the memory run")
    args = parser.parse_args(argv)
    if args.backend == "redis" and (args.port is None or args.what not in ("reads", "writes")):
        parser.error("redis needs --port and does reads or writes only")
    wait_until(args.start_at)
    if args.what == "events":
        run_events(args)
    elif args.what == "memory":
        run_memory(args)
    else:
        backend = (DataStoreBackend if args.backend == "datastore" else RedisBackend)(args)
        (run_reads if args.what == "reads" else run_writes)(backend, args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
