"""report.py - turns the result lines of a benchmark run into figures: medians over rounds,
the ratios between methods, the verdict on each target, the printed table, and the
latest.json / latest.csv / latest.png files.

Every result line is a dict with "kind" (read, write, event, scale, memory), "method", the case
("keys" and "value_bytes", or "entries", or "clients") and "us" (microseconds per request).
"""

import csv
import json
import os
import statistics
import subprocess

READ_METHODS = ["floor", "stub", "manager", "manager-cache", "python", "hiredis", "redis-py"]
WRITE_METHODS = ["stub", "manager", "python", "hiredis", "redis-py"]
METHOD_LABELS = {
    "floor": "TCP floor (same bytes)",
    "stub": "generated stub (C++)",
    "manager": "DataStoreManager::get (C++)",
    "manager-cache": "DataStoreManager::get, caching on",
    "python": "_datastore.get (Python, qmr-host)",
    "hiredis": "redis MGET, hiredis (C)",
    "redis-py": "redis MGET, redis-py+hiredis (Python)",
}
WRITE_LABELS = {
    "stub": "stub set+commit (C++)",
    "manager": "DataStoreManager set+commit (C++)",
    "python": "_datastore set+commit (Python)",
    "hiredis": "redis MULTI/SET/EXEC, hiredis (C)",
    "redis-py": "redis MULTI/SET/EXEC, redis-py (Python)",
}
# (numerator, denominator, what it says); time ratios, below 1 means the numerator is faster.
RATIOS = [
    ("manager", "stub", "manager / stub"),
    ("manager-cache", "stub", "manager with caching / stub"),
    ("python", "stub", "Python / stub"),
    ("stub", "floor", "stub / floor"),
    ("manager", "floor", "manager / floor"),
    ("python", "floor", "Python / floor"),
    ("manager", "hiredis", "manager / hiredis (C++ vs C)"),
    ("python", "redis-py", "Python / redis-py"),
]


def case_of(record):
    """The case a record measures, as a hashable tuple."""
    kind = record["kind"]
    if kind == "read":
        return (kind, record["method"], int(record["keys"]), int(record["value_bytes"]))
    if kind == "write":
        return (kind, record["method"], int(record["entries"]))
    if kind == "scale":
        return (kind, record["method"], int(record["clients"]))
    return (kind, record["method"])


def medians(records):
    """{case: {"us": median, "runs": [...], "record": last record}} over every round."""
    grouped = {}
    for record in records:
        if "us" not in record:
            continue
        entry = grouped.setdefault(case_of(record), {"runs": [], "cpu": [], "record": record})
        entry["runs"].append(float(record["us"]))
        if "cpu_us" in record:
            entry["cpu"].append(float(record["cpu_us"]))
        entry["record"] = record
    for entry in grouped.values():
        entry["us"] = statistics.median(entry["runs"])
        entry["cpu_us"] = statistics.median(entry["cpu"]) if entry["cpu"] else None
        runs = entry["runs"]
        entry["spread"] = (max(runs) - min(runs)) / entry["us"] if len(runs) > 1 else 0.0
    return grouped


def read_us(figures, method, keys, value_bytes):
    entry = figures.get(("read", method, keys, value_bytes))
    return entry["us"] if entry else None


def ratio(a, b):
    return a / b if a is not None and b else None


def read_ratios(figures, shapes):
    """[(label, {shape: ratio})] for every ratio the table shows."""
    rows = []
    for num, den, label in RATIOS:
        row = {}
        for keys, value_bytes in shapes:
            row[(keys, value_bytes)] = ratio(read_us(figures, num, keys, value_bytes),
                                             read_us(figures, den, keys, value_bytes))
        rows.append((label, row))
    return rows


def scale_throughput(figures, clients):
    entry = figures.get(("scale", "manager", clients))
    return 1e6 / entry["us"] if entry else None


def targets(figures, memory):
    """[(target, figure text, met: True/False/None)] for each target of the suite."""
    out = []

    def add(name, value, limit, text, higher_is_better=False):
        if value is None:
            out.append((name, "not measured", None))
            return
        met = value >= limit if higher_is_better else value <= limit
        out.append((name, text % value, met))

    r = lambda n, d, k: ratio(read_us(figures, n, k, 16), read_us(figures, d, k, 16))
    add("manager get within 5% of the stub, 1 key", r("manager", "stub", 1), 1.05,
        "manager/stub = %.3f")
    add("manager get within 2% of the stub, 100 keys", r("manager", "stub", 100), 1.02,
        "manager/stub = %.3f")
    add("Python get at most 1.3x the stub, 1 key", r("python", "stub", 1), 1.3,
        "Python/stub = %.3f")
    for keys in (1, 10, 100):
        # Round trips per second: the inverse of the time ratio.
        rt = r("redis-py", "python", keys)
        add("Python round trips/s >= redis-py MGET, %d key%s" % (keys, "s" if keys > 1 else ""),
            rt, 1.0, "Python/redis-py rt/s = %.2f", True)
    for keys in (1, 10, 100):
        rt = r("hiredis", "manager", keys)
        add("manager round trips/s >= 0.8x hiredis MGET, %d key%s"
            % (keys, "s" if keys > 1 else ""), rt, 0.8, "manager/hiredis rt/s = %.2f", True)
    one, two = scale_throughput(figures, 1), scale_throughput(figures, 2)
    add("two client processes >= 1.6x one client", ratio(two, one), 1.6, "2 clients / 1 = %.2f",
        True)
    if memory:
        growth = memory["growth"] / 1024.0
        add("flat memory over %d _datastore.get calls (<= 1 MiB)" % memory["calls"], growth,
            1024.0, "RSS growth %.0f KiB")
    else:
        out.append(("flat memory (<= 1 MiB growth)", "not measured", None))
    return out


def fmt_us(us):
    if us is None:
        return "-"
    return "%.1f" % us if us < 1000 else "%.0f" % us


def fmt_ratio(x):
    return "-" if x is None else "%.2f" % x


def table(figures, shapes, memory, entries=(1, 10, 100)):
    """The printed table: microseconds per request (and round trips per second), the ratios,
    writes, events, scale, memory and the targets."""
    lines = []
    heads = ["%d key%s%s" % (k, "s" if k > 1 else "", ", 1 KiB" if b == 1024 else "")
             for k, b in shapes]
    width = max(len(h) for h in heads) + 1
    width = max(width, 9)

    def row(label, cells):
        return "%-40s" % label + "".join("%*s" % (width, c) for c in cells)

    lines.append("Reads: microseconds per request (median)")
    lines.append(row("", heads))
    for method in READ_METHODS:
        cells = [fmt_us(read_us(figures, method, k, b)) for k, b in shapes]
        if any(c != "-" for c in cells):
            lines.append(row(METHOD_LABELS[method], cells))
    lines.append("")
    lines.append("Reads: round trips per second")
    lines.append(row("", heads))
    for method in READ_METHODS:
        us = [read_us(figures, method, k, b) for k, b in shapes]
        if any(u is not None for u in us):
            lines.append(row(METHOD_LABELS[method],
                             ["-" if u is None else "%.0f" % (1e6 / u) for u in us]))
    lines.append("")
    lines.append("Client processor time per request, microseconds (user + system of the "
                 "client process)")
    lines.append(row("", heads))
    for method in READ_METHODS:
        cpu = [(figures.get(("read", method, k, b)) or {}).get("cpu_us") for k, b in shapes]
        if any(c is not None for c in cpu):
            lines.append(row(METHOD_LABELS[method], [fmt_us(c) for c in cpu]))
    lines.append("")
    lines.append("Ratios of time per request (below 1: the first is faster)")
    lines.append(row("", heads))
    for label, values in read_ratios(figures, shapes):
        lines.append(row(label, [fmt_ratio(values[s]) for s in shapes]))
    lines.append("")
    lines.append("Writes: set of N entries + commit, microseconds per transaction")
    lines.append(row("", ["%d" % n for n in entries]))
    for method in WRITE_METHODS:
        cells = [fmt_us((figures.get(("write", method, n)) or {}).get("us")) for n in entries]
        if any(c != "-" for c in cells):
            lines.append(row(WRITE_LABELS[method], cells))
    event = figures.get(("event", "signalEvent"))
    if event:
        lines.append("")
        lines.append("Events: _MiscCorba.signalEvent through omniEvents: %.1f us per call, "
                     "%.0f calls/s" % (event["us"], 1e6 / event["us"]))
    scale = [(n, scale_throughput(figures, n)) for n in (1, 2, 4)]
    if any(t for _, t in scale):
        lines.append("")
        base = scale[0][1]
        lines.append("Scale: DataStoreManager::get of 1 key, client processes against one "
                     "qmr-datastored")
        for n, total in scale:
            if total:
                lines.append("  %d client%s: %8.0f requests/s in total (%.2fx one client)"
                             % (n, "s" if n > 1 else " ", total, total / base if base else 0))
    if memory:
        lines.append("")
        lines.append("Memory: %d _datastore.get calls in qmr-host: RSS %.1f MiB after 1000, "
                     "%.1f MiB at the end (growth %+d KiB, peak %.1f MiB)"
                     % (memory["calls"], memory["rss_after_1000"] / 1048576.0,
                        memory["rss_end"] / 1048576.0, memory["growth"] // 1024,
                        memory["rss_peak"] / 1048576.0))
    lines.append("")
    lines.append("Targets")
    for name, text, met in targets(figures, memory):
        mark = {True: "met", False: "MISSED", None: "-"}[met]
        lines.append("  %-55s %-32s %s" % (name, text, mark))
    return "\n".join(lines)


def write_csv(path, figures):
    with open(path, "w", newline="") as f:
        out = csv.writer(f)
        out.writerow(["kind", "method", "keys", "value_bytes", "entries", "clients",
                      "us_median", "per_second", "cpu_us_median", "runs", "spread",
                      "request_bytes", "reply_bytes"])
        for case in sorted(figures, key=lambda c: tuple(str(x) for x in c)):
            entry = figures[case]
            rec = entry["record"]
            per_second = 1e6 / entry["us"]
            out.writerow([case[0], case[1], rec.get("keys", ""), rec.get("value_bytes", ""),
                          rec.get("entries", ""), rec.get("clients", ""),
                          "%.2f" % entry["us"], "%.0f" % per_second,
                          "" if entry["cpu_us"] is None else "%.2f" % entry["cpu_us"],
                          len(entry["runs"]),
                          "%.3f" % entry["spread"], rec.get("request_bytes", ""),
                          rec.get("reply_bytes", "")])


def write_json(path, figures, shapes, memory, machine, config):
    results = []
    for case, entry in sorted(figures.items(), key=lambda kv: tuple(str(x) for x in kv[0])):
        rec = dict(entry["record"])
        rec.pop("us", None)
        rec.pop("calls", None)
        rec.pop("cpu_us", None)
        rec.pop("round", None)
        rec.update({"us_median": entry["us"], "runs_us": entry["runs"],
                    "spread": entry["spread"]})
        if entry["cpu_us"] is not None:
            rec["cpu_us_median"] = entry["cpu_us"]
        results.append(rec)
    doc = {
        "machine": machine,
        "config": config,
        "results": results,
        "ratios": [{"ratio": label,
                    "values": {"%dx%d" % s: v for s, v in values.items()}}
                   for label, values in read_ratios(figures, shapes)],
        "memory": memory,
        "targets": [{"target": n, "figure": t, "met": m} for n, t, m in targets(figures, memory)],
    }
    with open(path, "w") as f:
        json.dump(doc, f, indent=1)
        f.write("\n")


def write_plot(path, figures, shapes, title):
    """Microseconds per request against keys per request, one line per method, 16-byte and
    1 KiB values side by side. Returns None, or the reason no plot was drawn."""
    data_path = path + ".dat"
    sizes = sorted({b for _, b in shapes})
    methods = [m for m in READ_METHODS
               if any(read_us(figures, m, k, b) is not None for k, b in shapes)]
    with open(data_path, "w") as f:
        for size in sizes:
            for method in methods:
                f.write("# %s %d\n" % (method, size))
                for keys in sorted({k for k, b in shapes if b == size}):
                    us = read_us(figures, method, keys, size)
                    if us is not None:
                        f.write("%d %.3f\n" % (keys, us))
                f.write("\n\n")
    script = ["set terminal pngcairo noenhanced size 1400,600 font 'sans,10'",
              "set output '%s'" % path,
              "set multiplot layout 1,%d title '%s'" % (len(sizes), title.replace("'", "")),
              "set logscale xy", "set grid", "set key top left",
              "set xlabel 'keys per request'", "set ylabel 'microseconds per request'"]
    index = 0
    for size in sizes:
        script.append("set title '%s values'" % ("1 KiB" if size == 1024 else "%d-byte" % size))
        plots = []
        for method in methods:
            plots.append("'%s' index %d with linespoints lw 2 title '%s'"
                         % (data_path, index, METHOD_LABELS[method]))
            index += 1
        script.append("plot " + ", ".join(plots))
    script.append("unset multiplot")
    try:
        proc = subprocess.run(["gnuplot"], input="\n".join(script) + "\n", text=True,
                              capture_output=True, timeout=60)
    except OSError as e:
        return "gnuplot cannot run (%s); install gnuplot-nox (./qmr deps)" % e
    finally:
        os.remove(data_path)
    if proc.returncode != 0:
        return "gnuplot failed: " + proc.stderr.strip()
    return None


def markdown(figures, shapes, memory, machine):
    """The README's tables of a run: reads (microseconds and round trips per second), ratios,
    writes, events, scale, memory and targets, in Markdown."""
    heads = ["%d key%s%s" % (k, "s" if k > 1 else "", ", 1 KiB" if b == 1024 else "")
             for k, b in shapes]
    out = ["Machine: %s, %s CPUs, %s GiB, %s, kernel %s, %s; %s; load average at the end "
           "%s. Release build (-O3)."
           % (machine.get("cpu"), machine.get("cpus"), machine.get("memory_gib"),
              machine.get("os"), machine.get("kernel"), machine.get("date"),
              machine.get("placement"), machine.get("load_average")), ""]

    def table(title, rows):
        out.append("| %s | %s |" % (title, " | ".join(heads)))
        out.append("|---" * (len(heads) + 1) + "|")
        for label, cells in rows:
            out.append("| %s | %s |" % (label, " | ".join(cells)))
        out.append("")

    rows = []
    for method in READ_METHODS:
        us = [read_us(figures, method, k, b) for k, b in shapes]
        if any(u is not None for u in us):
            rows.append((METHOD_LABELS[method],
                         ["-" if u is None else "%s (%.0f/s)" % (fmt_us(u), 1e6 / u) for u in us]))
    table("Reads: µs per request (round trips/s)", rows)
    table("Ratio of time per request", [(label, [fmt_ratio(v[s]) for s in shapes])
                                         for label, v in read_ratios(figures, shapes)])
    out.append("| Writes: set of N entries + commit, µs | 1 | 10 | 100 |")
    out.append("|---|---|---|---|")
    for method in WRITE_METHODS:
        cells = [fmt_us((figures.get(("write", method, n)) or {}).get("us")) for n in (1, 10, 100)]
        if any(c != "-" for c in cells):
            out.append("| %s | %s |" % (WRITE_LABELS[method], " | ".join(cells)))
    out.append("")
    event = figures.get(("event", "signalEvent"))
    if event:
        out.append("Events: `_MiscCorba.signalEvent` through omniEvents: %.1f µs per call, "
                   "%.0f calls/s." % (event["us"], 1e6 / event["us"]))
    scale = [(n, scale_throughput(figures, n)) for n in (1, 2, 4)]
    if scale[0][1]:
        out.append("Scale (`DataStoreManager::get` of 1 key, unpinned): " + ", ".join(
            "%d client%s %.0f requests/s (%.2fx)" % (n, "s" if n > 1 else "", t, t / scale[0][1])
            for n, t in scale if t) + ".")
    if memory:
        out.append("Memory: %d `_datastore.get` calls in one qmr-host: resident size %+d KiB "
                   "from the 1000th call to the last." % (memory["calls"], memory["growth"] // 1024))
    out.append("")
    out.append("| Target | Figure | |")
    out.append("|---|---|---|")
    for name, text, met in targets(figures, memory):
        out.append("| %s | %s | %s |" % (name, text, {True: "met", False: "**missed**",
                                                        None: "-"}[met]))
    return "\n".join(out) + "\n"
