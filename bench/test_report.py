"""Tests of what makes the benchmark's figures honest: the Python timing loop leaves the
warm-up out, every case is the median over its rounds, and each target is judged the right way
round (times against limits, round trips per second as the inverse of the time ratio)."""

import os
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import pybench  # noqa: E402
import report  # noqa: E402


def read(method, keys, us, value_bytes=16, round_=1):
    return {"kind": "read", "method": method, "keys": keys, "value_bytes": value_bytes,
            "us": us, "round": round_}


def test_python_timing_loop_excludes_warmup_and_honours_minimum():
    calls = []
    us, n, cpu = pybench.time_calls(lambda: calls.append(1), 0.05, 7, min_calls=50)
    # Seven untimed calls, or as few as two if the machine is so busy that they outlast a
    # fifth of the timed length.
    assert n >= 50 and 2 <= len(calls) - n <= 7
    assert us > 0 and 0 <= cpu < us * 10
    # A warm-up longer than a fifth of the timed length is cut short after two calls.
    calls.clear()
    us, n, _ = pybench.time_calls(lambda: calls.append(1), 0.0, 100000, min_calls=50)
    assert n >= 50 and len(calls) == n + 2


def test_python_timing_loop_records_every_timed_call_for_percentiles():
    n = [0]

    def call():
        n[0] += 1
        if n[0] % 10 == 0:
            time.sleep(0.002)
    lat = []
    us, calls, _ = pybench.time_calls(call, 0.0, 0, min_calls=200, latencies=lat)
    assert len(lat) == calls >= 200
    assert pybench.percentile(lat, 50) < 1000 <= 2000 <= pybench.percentile(lat, 99)
    assert pybench.percentile(list(range(100, 0, -1)), 99) == 99
    assert pybench.percentile([], 99) == 0.0


def test_median_is_taken_per_case_over_every_round():
    records = [read("stub", 1, us, round_=i) for i, us in enumerate([30.0, 10.0, 20.0, 90.0, 25.0])]
    records += [read("stub", 10, 50.0), read("stub", 1, 99.0, value_bytes=1024)]
    records += [dict(read("manager", 1, 10.0), cpu_us=c) for c in (4.0, 9.0, 5.0)]
    figures = report.medians(records)
    assert len(figures) == 4
    assert figures[("read", "stub", 1, 16)]["us"] == 25.0
    assert figures[("read", "stub", 1, 16)]["spread"] == pytest.approx(80.0 / 25.0)
    assert figures[("read", "stub", 10, 16)]["us"] == 50.0
    assert figures[("read", "stub", 1, 1024)]["us"] == 99.0
    assert figures[("read", "stub", 1, 1024)]["cpu_us"] is None
    assert figures[("read", "manager", 1, 16)]["cpu_us"] == 5.0


def test_targets_compare_times_and_round_trips_the_right_way_round():
    times = {("orb-only", 1): 100.0, ("stub", 1): 115.0, ("manager", 1): 120.0,
             ("orb-only", 100): 100.0, ("stub", 100): 116.0, ("manager", 100): 117.0,
             ("hiredis", 1): 121.0, ("hiredis", 100): 97.0,
             ("redis-py", 1): 180.0, ("python", 1): 120.0,
             ("redis-py", 10): 100.0, ("python", 10): 67.0}
    records = [read(method, keys, us) for (method, keys), us in times.items()]
    records += [read("manager", 1000, 100.0, 1024), read("hiredis", 1000, 99.0, 1024)]
    records += [{"kind": "write", "method": m, "entries": 1, "us": us}
                for m, us in (("manager", 250.0), ("hiredis-fsync", 260.0))]
    records += [{"kind": "write", "method": m, "entries": 10, "us": us}
                for m, us in (("manager", 270.0), ("hiredis-fsync", 260.0))]
    records += [report.group_record(n, [{"us": 1e6 / per_writer, "p50_us": 1.0, "p99_us": 2.0}
                                        for _ in range(n)])
                for n, per_writer in ((1, 1000.0), (8, 370.0))]
    memory = {"calls": 1000000, "growth": 2 * 1048576}
    v = {name: (text, met) for name, text, met in
         report.targets(report.medians(records), memory)}
    assert v["qmr-datastored <= 1.15x the ORB-only server, 1 key"] == ("stub/ORB-only = 1.15",
                                                                        True)
    assert v["qmr-datastored <= 1.15x the ORB-only server, 100 keys"][1] is False
    assert v["qmr-datastored <= 1.15x the ORB-only server, 10 keys"] == ("not measured", None)
    # 120 us against 121 us: within 1.0x; 117 against 97 at 100 keys: over 1.2x.
    assert v["manager get <= 1.0x hiredis MGET, 1 key"][1] is True
    assert v["manager get <= 1.2x hiredis MGET, 100 keys"] == ("manager/hiredis = 1.21", False)
    assert v["manager get <= 1.0x hiredis MGET, 1000 keys, 1 KiB"][1] is False
    # 120 us against 180 us: exactly 1.5x the round trips per second; 67 against 100: 1.49x.
    assert v["Python round trips/s >= 1.5x redis-py, 1 key"] == ("Python/redis-py rt/s = 1.50",
                                                                   True)
    assert v["Python round trips/s >= 1.5x redis-py, 10 keys"][1] is False
    assert v["manager set+commit <= 1.0x redis MULTI/SET/EXEC with appendfsync always, "
             "1 entry"][1] is True
    assert v["manager set+commit <= 1.0x redis MULTI/SET/EXEC with appendfsync always, "
             "10 entries"][1] is False
    # Eight writers at 370 commits/s each: 2960 against 1000, short of 3x.
    assert v["8 concurrent writers >= 3x the commits/s of one"] == ("8 writers / 1 = 2.96", False)
    assert v["manager/stub <= 1.05, 1 key"][1] is True
    assert v["manager/stub <= 1.05, 100 keys"][1] is True
    assert v["flat memory over 1000000 _datastore.get calls (<= 1 MiB)"][1] is False


def test_group_commit_figures_add_writers_up_and_keep_the_worst_p99():
    lines = [{"us": 100.0, "p50_us": 90.0, "p99_us": 300.0},
             {"us": 200.0, "p50_us": 180.0, "p99_us": 900.0},
             {"us": 400.0, "p50_us": 350.0, "p99_us": 500.0}]
    record = report.group_record(3, lines)
    assert record["us"] == pytest.approx(1e6 / (10000 + 5000 + 2500))
    assert (record["p50_us"], record["p99_us"]) == (180.0, 900.0)
    one = report.group_record(1, [{"us": 100.0, "p50_us": 95.0, "p99_us": 120.0}])
    figures = report.medians([dict(one, round=1), dict(record, round=1)])
    rows = report.group_rows(figures)
    assert [r[0] for r in rows] == [1, 3]
    assert rows[1][1] == pytest.approx(17500) and rows[1][4] == pytest.approx(1.75)
    sections = report.sections(figures, [(1, 16)], None)
    assert "| 3 writers | 17500 | 1.75 | 180.0 | 900.0 |" in report.as_markdown(sections)
    assert ["3", "writers", "17500", "1.75", "180.0", "900.0"] in \
        [line.split() for line in report.as_text(sections).split("\n")]


def test_read_p99_is_the_median_of_the_rounds_and_shown_beside_the_medians():
    records = [dict(read("stub", 1, us, round_=i), p50_us=us, p99_us=p99)
               for i, (us, p99) in enumerate([(30.0, 50.0), (31.0, 90.0), (29.0, 60.0)])]
    figures = report.medians(records)
    assert figures[("read", "stub", 1, 16)]["p99_us"] == 60.0
    md = report.as_markdown(report.sections(figures, [(1, 16), (10, 16)], None))
    assert "| Reads: p99 µs per request (median over the rounds) | 1 key | 10 keys |" in md
    assert "| generated stub (C++) | 60.0 | - |" in md


def test_postgres_rows_sit_in_the_sqlite_tables_and_front_ends_add_up_per_count():
    records = [read("stub", 1, 40.0), read("pg", 1, 100.0, round_=1), read("pg", 1, 120.0,
                                                                             round_=2)]
    records += [{"kind": "write", "method": m, "entries": 1, "us": us}
                for m, us in (("stub", 300.0), ("pg", 900.0))]
    # Two rounds of each; the median of 1 front-end's reads is 2000/s, of its commits 500/s.
    for round_, (r1, w1, r2) in enumerate([(400.0, 2000.0, 250.0), (600.0, 2000.0, 250.0)]):
        records += [{"kind": "frontends", "method": "pg-read", "clients": 1, "us": r1,
                     "round": round_},
                    {"kind": "frontends", "method": "pg-write", "clients": 1, "us": w1,
                     "round": round_},
                    {"kind": "frontends", "method": "pg-read", "clients": 2, "us": r2,
                     "round": round_}]
    figures = report.medians(records)
    assert report.frontend_rows(figures) == [(1, 2000.0, 500.0), (2, 4000.0, None)]
    sections = report.sections(figures, [(1, 16)], None)
    text = report.as_text(sections)
    assert "generated stub (C++), PostgreSQL" in text
    assert "stub set+commit (C++), PostgreSQL" in text
    rows = [line.split() for line in text.split("\n")]
    assert ["1", "front-end", "2000/s", "500/s"] in rows
    assert ["2", "front-ends", "4000/s", "-"] in rows
    md = report.as_markdown(sections)
    assert "| PostgreSQL / SQLite (stub) | 2.75 |" in md
    assert "| 2 front-ends | 4000/s | - |" in md
    assert "| stub set+commit (C++), PostgreSQL | 900.0 | - | - |" in md


def run_records():
    """Two rounds of a small run: reads, writes, a group, an event, scale and memory."""
    records = []
    for round_ in (1, 2):
        records += [read("stub", 1, 40.0 + round_, round_=round_),
                    read("manager", 1, 38.0, round_=round_),
                    read("stub", 10, 55.0, value_bytes=1024, round_=round_),
                    {"kind": "write", "method": "stub", "entries": 10, "us": 300.0,
                     "round": round_},
                    {"kind": "event", "method": "signalEvent", "us": 12.5, "round": round_},
                    {"kind": "scale", "method": "manager", "clients": 1, "us": 50.0,
                     "round": round_},
                    {"kind": "scale", "method": "manager", "clients": 4, "us": 20.0,
                     "round": round_}]
    return records


MEMORY = {"calls": 5000, "growth": 8192, "rss_after_1000": 20 * 1048576,
          "rss_end": 20 * 1048576 + 8192, "rss_peak": 21 * 1048576}
MACHINE = {"cpu": "TestCPU", "cpus": 2, "memory_gib": 4, "os": "TestOS", "kernel": "6.0",
           "date": "2026-01-01", "placement": "CPU 0", "load_average": "0.1"}


def markdown_tables(md):
    """{title: (heads, [(label, cells)])} of the Markdown tables, and the other lines."""
    tables, prose, lines = {}, [], md.split("\n")
    i = 0
    while i < len(lines):
        if lines[i].startswith("| "):
            head = [c.strip() for c in lines[i].strip("|").split("|")]
            assert lines[i + 1] == "|---" * len(head) + "|"
            rows, i = [], i + 2
            while i < len(lines) and lines[i].startswith("| "):
                cells = [c.strip() for c in lines[i].strip("|").split("|")]
                assert len(cells) == len(head), lines[i]
                rows.append((cells[0], cells[1:]))
                i += 1
            tables[head[0]] = (head[1:], rows)
        else:
            if lines[i]:
                prose.append(lines[i])
            i += 1
    return tables, prose


def test_text_and_markdown_show_the_same_sections_in_the_same_order():
    shapes = [(1, 16), (10, 16), (10, 1024)]
    sections = report.sections(report.medians(run_records()), shapes, MEMORY, MACHINE)
    md, text = report.as_markdown(sections), report.as_text(sections)
    tables, prose = markdown_tables(md)
    # Reads come first, targets last; tables without a single figure (p99s, group commit,
    # front-ends) are in neither rendering.
    titles = [s.title for s in sections if isinstance(s, report.Table)]
    assert titles[0] == "Reads: µs per request (median)" and titles[-1] == "Target"
    assert list(tables) == titles
    assert not any(t.startswith(("Reads: p99", "Group commit", "PostgreSQL front-ends"))
                   for t in titles)
    assert tables["Reads: µs per request (median)"] == (
        ["1 key", "10 keys", "10 keys, 1 KiB"],
        [("generated stub (C++)", ["41.5", "-", "55.0"]),
         ("DataStoreManager::get (C++)", ["38.0", "-", "-"])])
    assert tables["Reads: round trips per second"][1][0] == ("generated stub (C++)",
                                                            ["24096", "-", "18182"])
    assert tables["Scale: `DataStoreManager::get` of 1 key, client processes against one "
                  "qmr-datastored (unpinned)"][1] == [("1 client", ["20000", "1.00"]),
                                                      ("4 clients", ["50000", "2.50"])]
    assert prose[0].startswith("Machine: TestCPU, 2 CPUs, 4 GiB, TestOS, kernel 6.0")
    assert any(p.startswith("Events: `_MiscCorba.signalEvent`") and "12.5 µs" in p
               for p in prose)
    assert any("+8 KiB" in p and "peak 21.0 MiB" in p for p in prose)
    # The text has every title, prose line and row of the Markdown, in the same order, with
    # the code marks dropped.
    text_lines = [line.strip() for line in text.split("\n")]
    expected = []
    for line in md.split("\n"):
        if line.startswith("|---") or not line:
            continue
        if line.startswith("| "):
            cells = [c.strip() for c in line.strip("|").split("|")]
            if cells[0] in tables:
                expected += [cells[0], " ".join(c for c in cells[1:] if c)]
            else:
                expected.append(" ".join(c for c in cells if c))
        else:
            expected.append(line)
    expected = [e.replace("`", "") for e in expected]
    assert [" ".join(line.split()) for line in text_lines if line] == \
        [" ".join(e.split()) for e in expected]


def test_text_columns_line_up():
    figures = report.medians(run_records())
    text = report.as_text(report.sections(figures, [(1, 16), (10, 1024)], MEMORY)).split("\n")
    start = text.index("Reads: µs per request (median)")
    block = text[start + 1:text.index("", start)]
    # Figures are right-aligned: every line of the table ends in the same column.
    assert [line.split() for line in block] == [
        ["1", "key", "10", "keys,", "1", "KiB"],
        ["generated", "stub", "(C++)", "41.5", "55.0"],
        ["DataStoreManager::get", "(C++)", "38.0", "-"]]
    assert len({len(line) for line in block}) == 1
    # Targets are words: aligned left, so each figure starts in the same column.
    start = text.index("Target")
    rows = text[start + 2:]
    figures_at = {line.index(text_) for line in rows
                  for text_ in [t for _, t, _ in report.targets(figures, MEMORY) if t in line]}
    assert len(rows) == len(report.targets(figures, MEMORY)) and len(figures_at) == 1
    assert not any("`" in line for line in text)
