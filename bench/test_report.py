"""Tests of how a benchmark run becomes figures: medians over rounds, ratios, target verdicts
(including the inversion from time to round trips per second), the written files, and the
Python timing loop."""

import csv
import json
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import pybench  # noqa: E402
import report  # noqa: E402


def read(method, keys, us, value_bytes=16, round_=1):
    return {"kind": "read", "method": method, "keys": keys, "value_bytes": value_bytes,
            "us": us, "round": round_}


def figures_for(times, scale=None):
    """times: {(method, keys): us}; scale: {clients: total requests per second}."""
    records = [read(m, k, us) for (m, k), us in times.items()]
    for clients, total in (scale or {}).items():
        records.append({"kind": "scale", "method": "manager", "clients": clients,
                        "us": 1e6 / total})
    return report.medians(records)


def test_median_is_taken_per_case_over_every_round():
    records = [read("stub", 1, us, round_=i) for i, us in enumerate([30.0, 10.0, 20.0, 90.0, 25.0])]
    records += [read("stub", 10, 50.0), read("stub", 1, 99.0, value_bytes=1024)]
    figures = report.medians(records)
    assert figures[("read", "stub", 1, 16)]["us"] == 25.0
    assert figures[("read", "stub", 1, 16)]["spread"] == pytest.approx(80.0 / 25.0)
    assert figures[("read", "stub", 10, 16)]["us"] == 50.0
    assert figures[("read", "stub", 1, 1024)]["us"] == 99.0
    assert figures[("read", "stub", 1, 1024)]["cpu_us"] is None
    assert len(figures) == 3
    cpu = report.medians([dict(read("stub", 1, 10.0), cpu_us=c) for c in (4.0, 9.0, 5.0)])
    assert cpu[("read", "stub", 1, 16)]["cpu_us"] == 5.0


def verdicts(figures, memory=None):
    return {name: (text, met) for name, text, met in report.targets(figures, memory)}


def test_targets_compare_times_and_round_trips_the_right_way_round():
    figures = figures_for({
        ("stub", 1): 100.0, ("manager", 1): 104.0, ("python", 1): 131.0,
        ("stub", 100): 200.0, ("manager", 100): 205.0,
        ("redis-py", 1): 140.0, ("redis-py", 10): 100.0, ("python", 10): 101.0,
        ("hiredis", 1): 84.0,
    }, scale={1: 10000.0, 2: 16500.0})
    v = verdicts(figures, {"calls": 1000000, "growth": 2 * 1048576, "rss_after_1000": 1,
                           "rss_end": 1, "rss_peak": 1})
    assert v["manager get within 5% of the stub, 1 key"][1] is True
    assert v["manager get within 2% of the stub, 100 keys"] == ("manager/stub = 1.025", False)
    assert v["Python get at most 1.3x the stub, 1 key"][1] is False
    # 131 us against 140 us: more round trips per second than redis-py.
    assert v["Python round trips/s >= redis-py MGET, 1 key"] == ("Python/redis-py rt/s = 1.07",
                                                                  True)
    assert v["Python round trips/s >= redis-py MGET, 10 keys"][1] is False
    assert v["Python round trips/s >= redis-py MGET, 100 keys"] == ("not measured", None)
    # 104 us against 84 us: 0.81 of hiredis's round trips per second.
    assert v["manager round trips/s >= 0.8x hiredis MGET, 1 key"][1] is True
    assert v["two client processes >= 1.6x one client"] == ("2 clients / 1 = 1.65", True)
    assert v["flat memory over 1000000 _datastore.get calls (<= 1 MiB)"][1] is False


def test_table_shows_measured_methods_ratios_and_verdicts():
    figures = figures_for({("floor", 1): 20.0, ("stub", 1): 25.0, ("manager", 1): 25.5})
    text = report.table(figures, [(1, 16), (10, 16)], None)
    assert "generated stub (C++)" in text and "25.0" in text
    assert "redis MGET, hiredis (C)" not in text  # nothing measured, no row
    ratios = [line for line in text.splitlines() if line.startswith("manager / stub ")]
    assert ratios and ratios[0].split()[-2:] == ["1.02", "-"]
    assert "stub / floor" in text and "1.25" in text
    assert "MISSED" not in text.split("Targets")[1].splitlines()[1]  # 1 key: met
    assert "met" in text


def test_files_hold_every_case_and_the_targets(tmp_path):
    figures = figures_for({("stub", 1): 25.0, ("manager", 1): 30.0}, scale={1: 1000.0})
    shapes = [(1, 16)]
    report.write_json(str(tmp_path / "r.json"), figures, shapes, None, {"cpu": "x"},
                      {"quick": True})
    report.write_csv(str(tmp_path / "r.csv"), figures)
    doc = json.load(open(tmp_path / "r.json"))
    assert doc["machine"] == {"cpu": "x"}
    assert {r["method"] for r in doc["results"]} == {"stub", "manager"}
    assert [r for r in doc["ratios"] if r["ratio"] == "manager / stub"][0]["values"] == \
        {"1x16": pytest.approx(1.2)}
    assert any(t["met"] is False and "5%" in t["target"] for t in doc["targets"])
    rows = list(csv.DictReader(open(tmp_path / "r.csv")))
    by_method = {(r["kind"], r["method"]): r for r in rows}
    assert by_method[("read", "manager")]["per_second"] == "33333"
    assert by_method[("scale", "manager")]["per_second"] == "1000"


def test_plot_is_written_with_gnuplot(tmp_path):
    figures = figures_for({("stub", 1): 25.0, ("stub", 10): 40.0, ("floor", 1): 20.0})
    path = str(tmp_path / "p.png")
    assert report.write_plot(path, figures, [(1, 16), (10, 16)], "t") is None
    with open(path, "rb") as f:
        assert f.read(8) == b"\x89PNG\r\n\x1a\n"
    assert os.listdir(tmp_path) == ["p.png"]  # the data file is gone


def test_python_timing_loop_excludes_warmup_and_honours_minimum():
    calls = []
    us, n, cpu = pybench.time_calls(lambda: calls.append(1), 0.05, 7, min_calls=50)
    assert n >= 50 and len(calls) == n + 7
    assert us > 0 and 0 <= cpu < us * 10
    # A warmup longer than a fifth of the timed length is cut short after two calls.
    calls.clear()
    us, n, _ = pybench.time_calls(lambda: calls.append(1), 0.0, 100000, min_calls=50)
    assert n >= 50 and len(calls) == n + 2
    with pytest.raises(Exception):
        pybench.parse_shapes("1001x16")
    assert pybench.parse_shapes("1x16,100x1024") == [(1, 16), (100, 1024)]


def test_markdown_tables_carry_the_figures_and_verdicts():
    figures = figures_for({("stub", 1): 25.0, ("manager", 1): 30.0, ("hiredis", 1): 20.0},
                          scale={1: 1000.0, 2: 1700.0})
    text = report.markdown(figures, [(1, 16), (100, 1024)], None, {"cpu": "AMD", "cpus": 2})
    lines = text.splitlines()
    assert lines[0].startswith("Machine: AMD, 2 CPUs")
    assert "| generated stub (C++) | 25.0 (40000/s) | - |" in lines
    assert "| manager / stub | 1.20 | - |" in lines
    assert "2 clients 1700 requests/s (1.70x)" in text
    assert "| manager get within 5% of the stub, 1 key | manager/stub = 1.200 | **missed** |" in lines
