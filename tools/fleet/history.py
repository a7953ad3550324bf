"""Checks a recorded history of single-key writes and reads against a linearizable register.

Each key is written by one client only, with values that only grow, so the register's
order is the values' order and a check per read is enough (no search over orderings):

- a read may return a value only if its write had started before the read ended (no value
  from the future, no value nobody wrote);
- a read must not return less than the newest write acknowledged before the read started
  (a stale read; for the final reads, an acknowledged write that is lost);
- a read must not return less than a read of the same key that ended before it started
  (time going back).

A write whose commit failed may or may not have happened: reads may see it or not.
Records are dicts: {"op": "w"|"r"|"f", "k": key, "v": int or None, "s": start, "e": end,
"ok": bool}; "f" marks the final reads made after every fault was healed."""

import bisect
from collections import defaultdict


class Verdict:
    """What check() found; ok is true when nothing acknowledged was lost and no read went
    back in time."""

    def __init__(self):
        self.acknowledged = 0      # writes whose commit returned 1
        self.failed_writes = 0     # writes whose outcome the client did not learn as success
        self.reads = 0             # successful reads, final ones included
        self.lost = []             # acknowledged writes newer than what the final reads saw
        self.stale = []            # (read, newest value acknowledged before it started)
        self.back = []             # (read, earlier read it went back from)
        self.unknown = []          # reads of a value no write had started by the read's end

    @property
    def ok(self):
        return not (self.lost or self.stale or self.back or self.unknown)

    def summary(self):
        return ("%d commits acknowledged, %d failed, %d reads; lost %d, stale reads %d, "
                "reads going back %d, reads of unwritten values %d"
                % (self.acknowledged, self.failed_writes, self.reads, len(self.lost),
                   len(self.stale), len(self.back), len(self.unknown)))


class _AckedPrefix:
    """The acknowledged writes of one key by end time, with the running maximum value, so that
    "newest acknowledged before t" is one binary search."""

    def __init__(self, writes):
        acked = sorted((w["e"], w["v"]) for w in writes if w["ok"])
        self.ends = [e for e, _ in acked]
        self.best = []
        top = None
        for _, v in acked:
            top = v if top is None or v > top else top
            self.best.append(top)

    def before(self, t):
        i = bisect.bisect_left(self.ends, t)
        return self.best[i - 1] if i else None


def check(records):
    verdict = Verdict()
    writes, reads = defaultdict(list), defaultdict(list)
    for r in records:
        if r["op"] == "w":
            writes[r["k"]].append(r)
            if r["ok"]:
                verdict.acknowledged += 1
            else:
                verdict.failed_writes += 1
        elif r["ok"]:
            reads[r["k"]].append(r)
            verdict.reads += 1
    for key, key_reads in reads.items():
        acked = _AckedPrefix(writes[key])
        started = {w["v"]: w["s"] for w in writes[key]}
        key_reads.sort(key=lambda r: r["s"])
        latest = None  # the read with the highest value among those that ended so far
        by_end = sorted(key_reads, key=lambda r: r["e"])
        done = 0
        for read in key_reads:
            while done < len(by_end) and by_end[done]["e"] < read["s"]:
                earlier = by_end[done]
                if earlier["v"] is not None and (latest is None or latest["v"] is None or
                                                 earlier["v"] > latest["v"]):
                    latest = earlier
                done += 1
            value = read["v"]
            if value is not None and (value not in started or started[value] > read["e"]):
                verdict.unknown.append(read)
                continue
            floor = acked.before(read["s"])
            if floor is not None and (value is None or value < floor):
                if read["op"] == "f":
                    verdict.lost.extend(w for w in writes[key] if w["ok"] and w["e"] < read["s"]
                                        and (value is None or w["v"] > value))
                else:
                    verdict.stale.append((read, floor))
            elif latest is not None and latest["v"] is not None and (
                    value is None or value < latest["v"]):
                verdict.back.append((read, latest))
    # A write lost in several final reads counts once.
    seen, lost = set(), []
    for w in verdict.lost:
        if (w["k"], w["v"]) not in seen:
            seen.add((w["k"], w["v"]))
            lost.append(w)
    verdict.lost = lost
    return verdict


def commit_gaps(records, faults):
    """The longest time without an acknowledged commit (seconds) between the first and the
    last one, and for each fault (name, time) the time from it to the first commit that
    started after it and was acknowledged."""
    ends = sorted(r["e"] for r in records if r["op"] == "w" and r["ok"])
    longest = max((b - a for a, b in zip(ends, ends[1:])), default=0.0)
    recovery = []
    for name, at in faults:
        after = [r["e"] for r in records if r["op"] == "w" and r["ok"] and r["s"] >= at]
        recovery.append((name, (min(after) - at) if after else None))
    return longest, recovery
