"""The fleet check's history checker: it must flag every kind of wrong read it claims to catch
and accept histories a correct register produces, including failed writes seen or not."""

from fleet.history import check, commit_gaps


def w(k, v, s, e, ok=True):
    return {"op": "w", "k": k, "v": v, "s": s, "e": e, "ok": ok}


def r(k, v, s, e, op="r", ok=True):
    return {"op": op, "k": k, "v": v, "s": s, "e": e, "ok": ok}


def test_a_correct_history_passes_including_overlaps_and_failed_writes():
    history = [
        w("a", 1, 0, 1), r("a", 1, 2, 3),
        w("a", 2, 4, 6), r("a", 1, 4.5, 5), r("a", 2, 5, 5.5),  # overlapping: old or new
        w("a", 3, 7, 8, ok=False), r("a", 3, 9, 10), r("a", 3, 11, 12),  # failed but applied
        w("b", 1, 0, 1, ok=False), r("b", None, 2, 3),  # failed and not applied
        r("a", 3, 20, 21, op="f"), r("b", None, 20, 21, op="f"),
        r("a", 0, 0, 0, ok=False),  # a failed read says nothing
    ]
    verdict = check(history)
    assert verdict.ok, verdict.summary()
    assert (verdict.acknowledged, verdict.failed_writes, verdict.reads) == (2, 2, 8)


def test_wrong_reads_are_each_flagged_as_what_they_are():
    stale = check([w("a", 1, 0, 1), w("a", 2, 2, 3), r("a", 1, 4, 5)])
    assert [floor for _, floor in stale.stale] == [2] and not stale.ok
    missing = check([w("a", 1, 0, 1), r("a", None, 2, 3)])
    assert len(missing.stale) == 1
    future = check([w("a", 1, 0, 1), r("a", 2, 2, 3), w("a", 2, 4, 5)])
    assert len(future.unknown) == 1 and not future.stale
    invented = check([r("a", 7, 0, 1)])
    assert len(invented.unknown) == 1
    # A failed write seen once must not vanish again for a later read.
    back = check([w("a", 1, 0, 1), w("a", 2, 2, 3, ok=False), r("a", 2, 4, 5), r("a", 1, 6, 7)])
    assert len(back.back) == 1 and not back.stale


def test_final_reads_count_each_lost_acknowledged_write_once():
    history = [w("a", 1, 0, 1), w("a", 2, 2, 3), w("a", 3, 4, 5, ok=False),
               r("a", 1, 10, 11, op="f"), r("a", 1, 12, 13, op="f"),
               w("b", 1, 0, 1), r("b", None, 10, 11, op="f")]
    verdict = check(history)
    assert sorted((x["k"], x["v"]) for x in verdict.lost) == [("a", 2), ("b", 1)]
    assert not verdict.stale


def test_commit_gaps_and_recovery_after_each_fault():
    history = [w("a", 1, 0, 1), w("a", 2, 1, 2), w("a", 3, 2, 3, ok=False),
               w("a", 4, 3, 9), w("a", 5, 9, 9.5)]
    longest, recovery = commit_gaps(history, [("kill", 2.5), ("stop", 20)])
    assert longest == 7
    assert recovery == [("kill", 6.5), ("stop", None)]
