"""Tests of what makes the benchmark's figures honest: the Python timing loop leaves the
warm-up out, every case is the median over its rounds, and each target is judged the right way
round (times against limits, round trips per second as the inverse of the time ratio)."""

import os
import sys

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
    times = {("stub", 1): 100.0, ("manager", 1): 104.0, ("python", 1): 131.0,
             ("stub", 100): 200.0, ("manager", 100): 205.0,
             ("redis-py", 1): 140.0, ("redis-py", 10): 100.0, ("python", 10): 101.0,
             ("hiredis", 1): 84.0}
    records = [read(method, keys, us) for (method, keys), us in times.items()]
    for clients, per_second in ((1, 10000.0), (2, 16500.0)):
        records.append({"kind": "scale", "method": "manager", "clients": clients,
                        "us": 1e6 / per_second})
    memory = {"calls": 1000000, "growth": 2 * 1048576}
    v = {name: (text, met) for name, text, met in
         report.targets(report.medians(records), memory)}
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
