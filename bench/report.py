"""report.py - turns the result lines of a benchmark run into figures: medians over rounds,
the ratios between methods, the verdict on each target, the report (one list of sections,
printed as text and written as latest.md), and the latest.json / latest.csv / latest.png files.

Every result line is a dict with "kind" (read, write, event, scale, group, frontends, memory),
"method",
the case ("keys" and "value_bytes", or "entries", or "clients") and "us" (microseconds per
request); reads and writes also carry "p50_us" and "p99_us" (percentiles of their calls).
"""

import csv
import json
import os
import statistics
import subprocess

READ_METHODS = ["floor", "orb-only", "stub", "pg", "manager", "manager-cache", "python",
                "hiredis", "redis-py"]
WRITE_METHODS = ["stub", "pg", "manager", "python", "hiredis", "redis-py", "hiredis-fsync"]
METHOD_LABELS = {
    "floor": "TCP floor (same bytes)",
    "orb-only": "ORB-only server, generated stub (C++)",
    "stub": "generated stub (C++)",
    "pg": "generated stub (C++), PostgreSQL",
    "manager": "DataStoreManager::get (C++)",
    "manager-cache": "DataStoreManager::get, caching on",
    "python": "_datastore.get (Python, qmr-host)",
    "hiredis": "redis MGET, hiredis (C)",
    "redis-py": "redis MGET, redis-py+hiredis (Python)",
}
WRITE_LABELS = {
    "stub": "stub set+commit (C++)",
    "pg": "stub set+commit (C++), PostgreSQL",
    "manager": "DataStoreManager set+commit (C++)",
    "python": "_datastore set+commit (Python)",
    "hiredis": "redis MULTI/SET/EXEC, hiredis (C)",
    "redis-py": "redis MULTI/SET/EXEC, redis-py (Python)",
    "hiredis-fsync": "redis MULTI/SET/EXEC, appendfsync always, hiredis (C)",
}
# (numerator, denominator, what it says); time ratios, below 1 means the numerator is faster.
RATIOS = [
    ("stub", "orb-only", "qmr-datastored / ORB-only (stub)"),
    ("pg", "stub", "PostgreSQL / SQLite (stub)"),
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
    if kind in ("scale", "group", "frontends"):
        return (kind, record["method"], int(record["clients"]))
    return (kind, record["method"])


def medians(records):
    """{case: {"us": median, "runs": [...], "record": last record}} over every round."""
    grouped = {}
    for record in records:
        if "us" not in record:
            continue
        entry = grouped.setdefault(case_of(record), {"runs": [], "cpu": [], "p50": [], "p99": [],
                                                     "record": record})
        entry["runs"].append(float(record["us"]))
        for field, runs in (("cpu_us", "cpu"), ("p50_us", "p50"), ("p99_us", "p99")):
            if field in record:
                entry[runs].append(float(record[field]))
        entry["record"] = record
    for entry in grouped.values():
        entry["us"] = statistics.median(entry["runs"])
        for field, runs in (("cpu_us", "cpu"), ("p50_us", "p50"), ("p99_us", "p99")):
            entry[field] = statistics.median(entry[runs]) if entry[runs] else None
        runs = entry["runs"]
        entry["spread"] = (max(runs) - min(runs)) / entry["us"] if len(runs) > 1 else 0.0
    return grouped


def read_us(figures, method, keys, value_bytes, field="us"):
    entry = figures.get(("read", method, keys, value_bytes))
    return entry[field] if entry else None


def write_us(figures, method, entries):
    entry = figures.get(("write", method, entries))
    return entry["us"] if entry else None


def group_record(writers, lines):
    """One group-commit record from the result lines of `writers` processes that wrote at
    once: "us" is the inverse of the commits per second of all of them together, p50 the
    median of their medians and p99 the worst of their p99s."""
    total = sum(1e6 / line["us"] for line in lines)
    return {"kind": "group", "method": "stub", "clients": writers, "us": 1e6 / total,
            "p50_us": statistics.median(line["p50_us"] for line in lines),
            "p99_us": max(line["p99_us"] for line in lines)}


def group_rows(figures):
    """[(writers, commits/s, p50 us, p99 us, commits/s against one writer)] measured."""
    rows = []
    one = figures.get(("group", "stub", 1))
    for writers in sorted(case[2] for case in figures if case[0] == "group"):
        entry = figures[("group", "stub", writers)]
        if entry:
            rows.append((writers, 1e6 / entry["us"], entry["p50_us"], entry["p99_us"],
                         one["us"] / entry["us"] if one else None))
    return rows


FRONTENDS_TITLE = ("PostgreSQL front-ends: one stub client per front-end, get of 1 key and "
                   "set+commit of 1 entry, in total")


def frontend_rows(figures):
    """[(front-ends, reads/s, commits/s)] of the front-ends run; None where not measured."""
    rows = []
    for count in sorted({case[2] for case in figures if case[0] == "frontends"}):
        per_second = []
        for method in ("pg-read", "pg-write"):
            entry = figures.get(("frontends", method, count))
            per_second.append(1e6 / entry["us"] if entry and entry["us"] else None)
        rows.append((count, per_second[0], per_second[1]))
    return rows


def fmt_rate(x):
    return "-" if x is None else "%.0f/s" % x


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


def shape_name(keys, value_bytes):
    return "%d key%s%s" % (keys, "s" if keys > 1 else "", ", 1 KiB" if value_bytes == 1024 else "")


def targets(figures, memory, shapes=None):
    """[(target, figure text, met: True/False/None)] for each target of the suite."""
    out = []
    shapes = shapes or [(k, b) for b in (16, 1024) for k in (1, 10, 100, 1000)]

    def add(name, value, limit, text, higher_is_better=False):
        if value is None:
            out.append((name, "not measured", None))
            return
        met = value >= limit if higher_is_better else value <= limit
        out.append((name, text % value, met))

    r = lambda n, d, k, b: ratio(read_us(figures, n, k, b), read_us(figures, d, k, b))
    for keys, size in shapes:
        add("qmr-datastored <= 1.15x the ORB-only server, %s" % shape_name(keys, size),
            r("stub", "orb-only", keys, size), 1.15, "stub/ORB-only = %.2f")
    manager_limits = {(1, 16): 1.0, (10, 16): 1.0, (100, 16): 1.2, (1000, 16): 1.2,
                      (100, 1024): 1.5, (1000, 1024): 1.0}
    for (keys, size), limit in sorted(manager_limits.items(), key=lambda kv: kv[0][::-1]):
        add("manager get <= %.1fx hiredis MGET, %s" % (limit, shape_name(keys, size)),
            r("manager", "hiredis", keys, size), limit, "manager/hiredis = %.2f")
    for keys, size in shapes:
        # Round trips per second: the inverse of the time ratio.
        add("Python round trips/s >= 1.5x redis-py, %s" % shape_name(keys, size),
            r("redis-py", "python", keys, size), 1.5, "Python/redis-py rt/s = %.2f", True)
    for n in (1, 10, 100):
        add("manager set+commit <= 1.0x redis MULTI/SET/EXEC with appendfsync always, %d "
            "entr%s" % (n, "ies" if n > 1 else "y"),
            ratio(write_us(figures, "manager", n), write_us(figures, "hiredis-fsync", n)), 1.0,
            "manager/redis = %.2f")
    one, eight = figures.get(("group", "stub", 1)), figures.get(("group", "stub", 8))
    add("8 concurrent writers >= 3x the commits/s of one",
        ratio(one["us"], eight["us"]) if one and eight else None, 3.0, "8 writers / 1 = %.2f",
        True)
    for keys, size in shapes:
        add("manager/stub <= 1.05, %s" % shape_name(keys, size), r("manager", "stub", keys, size),
            1.05, "manager/stub = %.2f")
    if memory:
        growth = memory["growth"] / 1024.0
        add("flat memory over %d _datastore.get calls (<= 1 MiB)" % memory["calls"], growth,
            1024.0, "RSS growth %.0f KiB")
    else:
        out.append(("flat memory (<= 1 MiB growth)", "not measured", None))
    return out


GROUP_TITLE = ("Group commit: writer processes committing one entry at a time at once "
               "(generated stub, unpinned)")


def p99_rows(figures, shapes):
    """[(label, cells)]: the p99 of each read method that has one, per shape."""
    rows = []
    for method in READ_METHODS:
        p99 = [read_us(figures, method, k, b, "p99_us") for k, b in shapes]
        if any(v is not None for v in p99):
            rows.append((METHOD_LABELS[method], [fmt_us(v) for v in p99]))
    return rows


def fmt_us(us):
    if us is None:
        return "-"
    return "%.1f" % us if us < 1000 else "%.0f" % us


def fmt_ratio(x):
    return "-" if x is None else "%.2f" % x


# ---- the report: one list of sections, printed as text or written as Markdown

class Table:
    """A titled table: heads name the columns after the label column, each row is (label,
    cells) with one cell per head. Figures are aligned right; words (text=True) left."""

    def __init__(self, title, heads, rows, text=False):
        self.title, self.heads, self.rows = title, list(heads), [(l, list(c)) for l, c in rows]
        self.text = text


class Note:
    """A line of prose: one figure that needs no table."""

    def __init__(self, text):
        self.text = text


def machine_text(machine):
    return ("Machine: %s, %s CPUs, %s GiB, %s, kernel %s, %s; %s; load average at the end %s. "
            "Release build (-O3)."
            % (machine.get("cpu"), machine.get("cpus"), machine.get("memory_gib"),
               machine.get("os"), machine.get("kernel"), machine.get("date"),
               machine.get("placement"), machine.get("load_average")))


def sections(figures, shapes, memory, machine=None, entries=(1, 10, 100)):
    """The report of a run, in order: the machine, reads (microseconds, round trips per second,
    p99, client processor time), ratios, writes, group commit, front-ends, events, scale,
    memory and the targets. Tables with no figure at all are left out."""
    heads = [shape_name(k, b) for k, b in shapes]
    out = []
    if machine:
        out.append(Note(machine_text(machine)))

    def per_read_method(title, cell_of):
        rows = []
        for method in READ_METHODS:
            values = [cell_of(method, k, b) for k, b in shapes]
            if any(v is not None for v in values):
                rows.append((METHOD_LABELS[method], values))
        return Table(title, heads, rows)

    us = per_read_method("Reads: µs per request (median)",
                         lambda m, k, b: read_us(figures, m, k, b))
    out.append(Table(us.title, heads, [(l, [fmt_us(v) for v in c]) for l, c in us.rows]))
    out.append(Table("Reads: round trips per second", heads,
                     [(l, ["-" if v is None else "%.0f" % (1e6 / v) for v in c])
                      for l, c in us.rows]))
    out.append(Table("Reads: p99 µs per request (median over the rounds)", heads,
                     p99_rows(figures, shapes)))
    cpu = per_read_method("Client processor time per request, µs (user + system of the client "
                          "process)",
                          lambda m, k, b: (figures.get(("read", m, k, b)) or {}).get("cpu_us"))
    out.append(Table(cpu.title, heads, [(l, [fmt_us(v) for v in c]) for l, c in cpu.rows]))
    out.append(Table("Ratios of time per request (below 1: the first is faster)", heads,
                     [(label, [fmt_ratio(values[s]) for s in shapes])
                      for label, values in read_ratios(figures, shapes)]))
    writes = []
    for method in WRITE_METHODS:
        cells = [fmt_us(write_us(figures, method, n)) for n in entries]
        if any(c != "-" for c in cells):
            writes.append((WRITE_LABELS[method], cells))
    out.append(Table("Writes: set of N entries + commit, µs per transaction",
                     ["%d" % n for n in entries], writes))
    out.append(Table(GROUP_TITLE, ["commits/s", "against one writer", "p50 µs", "p99 µs"],
                     [("%d writer%s" % (w, "s" if w > 1 else ""),
                       ["%.0f" % per_second, fmt_ratio(gain), fmt_us(p50), fmt_us(p99)])
                      for w, per_second, p50, p99, gain in group_rows(figures)]))
    out.append(Table(FRONTENDS_TITLE, ["reads", "commits"],
                     [("%d front-end%s" % (n, "s" if n > 1 else ""),
                       [fmt_rate(reads), fmt_rate(commits)])
                      for n, reads, commits in frontend_rows(figures)]))
    event = figures.get(("event", "signalEvent"))
    if event:
        out.append(Note("Events: `_MiscCorba.signalEvent` through omniEvents: %.1f µs per call, "
                        "%.0f calls/s." % (event["us"], 1e6 / event["us"])))
    scale = [(n, scale_throughput(figures, n)) for n in (1, 2, 4)]
    out.append(Table("Scale: `DataStoreManager::get` of 1 key, client processes against one "
                     "qmr-datastored (unpinned)", ["requests/s in total", "against one client"],
                     [("%d client%s" % (n, "s" if n > 1 else ""),
                       ["%.0f" % total, fmt_ratio(ratio(total, scale[0][1]))])
                      for n, total in scale if total]))
    if memory:
        out.append(Note("Memory: %d `_datastore.get` calls in one qmr-host: resident size "
                        "%.1f MiB after 1000, %.1f MiB at the end (%+d KiB from the 1000th call "
                        "to the last, peak %.1f MiB)."
                        % (memory["calls"], memory["rss_after_1000"] / 1048576.0,
                           memory["rss_end"] / 1048576.0, memory["growth"] // 1024,
                           memory["rss_peak"] / 1048576.0)))
    out.append(Table("Target", ["Figure", ""],
                     [(name, [text, {True: "met", False: "MISSED", None: "-"}[met]])
                      for name, text, met in targets(figures, memory)], text=True))
    return [s for s in out if not isinstance(s, Table) or s.rows]


def as_text(report):
    """The report for a terminal: each table under its title, its columns aligned (no
    Markdown code marks)."""
    lines = []
    for section in report:
        if lines:
            lines.append("")
        if isinstance(section, Note):
            lines.append(section.text)
            continue
        lines.append(section.title)
        label_width = max(len(label) for label, _ in section.rows)
        widths = [max([len(h)] + [len(cells[i]) for _, cells in section.rows])
                  for i, h in enumerate(section.heads)]

        def row(label, cells):
            return ("  %-*s" % (label_width, label) +
                    "".join("  %*s" % (-w if section.text else w, c)
                            for w, c in zip(widths, cells))).rstrip()
        lines.append(row("", section.heads))
        lines.extend(row(label, cells) for label, cells in section.rows)
    return "\n".join(lines).replace("`", "")


def as_markdown(report):
    """The report as Markdown (bench/results/latest.md): a table per table, the title in the
    head of its label column, and a paragraph per note."""
    out = []
    for section in report:
        if isinstance(section, Note):
            out += [section.text, ""]
            continue
        out.append("| %s | %s |" % (section.title, " | ".join(section.heads)))
        out.append("|---" * (len(section.heads) + 1) + "|")
        out += ["| %s | %s |" % (label, " | ".join(cells)) for label, cells in section.rows]
        out.append("")
    return "\n".join(out)


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
