"""Seeded fuzzing of every function of _datastore and _MiscCorba with generated argument tuples.

Each call must end in a Python exception (never SystemError, the sign of a C-API slip) or in a
result of the function's documented shape; the host must not crash; argument objects keep their
reference counts; and the interpreter's allocated blocks do not grow over the run once warm.
Runs inside qmr-host (tests/python/run); QMR_FUZZ_SEED and QMR_FUZZ_CALLS change the run.
"""

import gc
import os
import random
import sys

import pytest

_datastore = pytest.importorskip("_datastore")
_MiscCorba = pytest.importorskip("_MiscCorba")

SEED = int(os.environ.get("QMR_FUZZ_SEED", "20261205"))
CALLS = int(os.environ.get("QMR_FUZZ_CALLS", "10000"))
WARMUP = CALLS // 5

# function -> (usual argument count, check of a non-exception result)
STATUS = lambda r: r in (0, 1) and type(r) is int  # noqa: E731
NONE = lambda r: r is None  # noqa: E731


def _get_shape(r):
    if not isinstance(r, tuple):
        return False
    if len(r) == 2:
        return r == (0, None)
    return (len(r) == 3 and r[0] == 1 and isinstance(r[1], dict) and isinstance(r[2], dict)
            and all(type(k) is str and type(v) is str for k, v in r[1].items())
            and all(type(k) is str and v is None for k, v in r[2].items())
            and not set(r[1]) & set(r[2]))


FUNCTIONS = {
    "_datastore.get": (_datastore.get, 2, _get_shape),
    "_datastore.set": (_datastore.set, 1, STATUS),
    "_datastore.remove": (_datastore.remove, 1, STATUS),
    "_datastore.commit": (_datastore.commit, 0, STATUS),
    "_datastore.abort": (_datastore.abort, 0, STATUS),
    "_datastore.clearCache": (_datastore.clearCache, 0, NONE),
    "_datastore.enableCaching": (_datastore.enableCaching, 1, NONE),
    "_MiscCorba.signalEvent": (_MiscCorba.signalEvent, 3, NONE),
}


class Generator:
    """Arguments that are plausible, wrong, or hostile, from one seeded random source."""

    def __init__(self, seed):
        self.rng = random.Random(seed)

    def text(self):
        r = self.rng
        return r.choice([
            lambda: "",
            lambda: "key%d" % r.randrange(50),
            lambda: "a\0b",                                  # NUL inside
            lambda: "\ud800",                                # lone surrogate
            lambda: "x\udcff\udcfe",                         # non-UTF-8 bytes, surrogateescaped
            lambda: b"\xff\xfe\x80".decode("latin-1"),       # non-ASCII, valid Unicode
            lambda: "\u6f22\u5b57\U0001f600",
            lambda: "k" * r.choice([1000, 1000, 65536, 1 << 20]),  # very long
            lambda: "".join(chr(r.randrange(1, 0x10000)) for _ in range(r.randrange(1, 30))),
        ])()

    def integer(self):
        return self.rng.choice([0, 1, -1, 2, 5, 2 ** 31 - 1, 2 ** 31, -2 ** 31 - 1, 2 ** 63,
                                -2 ** 64, 10 ** 100, True, False])

    def entry(self, depth):
        r = self.rng
        good = (self.text(), self.text(), self.integer())
        return r.choice([
            lambda: good,
            lambda: ("key%d" % r.randrange(50), "value", r.choice([0, 3600, -5])),
            lambda: good[:2],
            lambda: good + (1,),
            lambda: (self.text(), self.integer(), self.text()),
            lambda: [self.text(), self.text(), 0],           # a list, not a tuple
            lambda: (None, None, None),
            lambda: self.value(depth + 1),
        ])()

    def keys(self, depth):
        r = self.rng
        n = r.choice([0, 1, 2, 3, 10, 100, r.choice([5000, 20000])])
        pool = [self.text() for _ in range(min(n, 20))] or [""]
        lst = [r.choice(pool) for _ in range(n)]
        if lst and r.random() < 0.3:
            lst[r.randrange(len(lst))] = self.value(depth + 1)  # one bad element
        return lst

    def value(self, depth=0):
        r = self.rng
        choices = [
            lambda: None,
            self.integer,
            self.text,
            lambda: r.choice([0.5, float("nan"), float("inf")]),
            lambda: r.choice([b"", b"key", b"\xff\xfe\0", bytearray(b"ab")]),
            lambda: object(),
            lambda: {self.text(): self.text()},
            lambda: {self.text()},
        ]
        if depth < 3:
            choices += [
                lambda: self.keys(depth),
                lambda: [self.entry(depth) for _ in range(r.choice([0, 1, 2, 3, 50]))],
                lambda: tuple(self.keys(depth)),
                lambda: [self.value(depth + 1) for _ in range(r.randrange(4))],
            ]
        return r.choice(choices)()

    def call(self, names):
        r = self.rng
        name = r.choice(names)
        usual = FUNCTIONS[name][1]
        if r.random() < 0.15:
            count = r.choice([x for x in range(5) if x != usual])  # a wrong count
        else:
            count = usual
        if name == "_datastore.get" and count == 2 and r.random() < 0.7:
            args = (self.keys(0), r.choice([None, 0, 1, 7, self.value(1)]))
        elif name == "_datastore.set" and count == 1 and r.random() < 0.7:
            args = ([self.entry(0) for _ in range(r.choice([0, 1, 2, 5, 100]))],)
        elif name == "_datastore.remove" and count == 1 and r.random() < 0.7:
            args = (self.keys(0),)
        elif name == "_MiscCorba.signalEvent" and count == 3 and r.random() < 0.7:
            args = (r.choice(["SoakChannel", "NoSuchChannel", self.text()]), self.text(),
                    self.text())
        else:
            args = tuple(self.value() for _ in range(count))
        if r.random() < 0.02:
            cyclic = [self.text()]
            cyclic.append(cyclic)  # a list that contains itself
            args = (cyclic,) + args[1:]
        return name, args


def _containers(args):
    return [a for a in args if isinstance(a, (list, tuple, dict, set))]


def test_generated_arguments_give_only_exceptions_or_documented_results():
    gen = Generator(SEED)
    names = sorted(FUNCTIONS)
    outcomes = {"result": 0, "exception": 0}
    per_function = {name: 0 for name in names}
    problems = []
    blocks_after_warmup = None

    for i in range(CALLS):
        name, args = gen.call(names)  # made one at a time: 1 MB strings are not kept
        if i == WARMUP:
            gc.collect()
            blocks_after_warmup = sys.getallocatedblocks()
        fn, _, shape_ok = FUNCTIONS[name]
        watched = _containers(args)
        before = [sys.getrefcount(a) for a in watched]
        try:
            result = fn(*args)
        except SystemError as e:
            problems.append("call %d %s: SystemError %s" % (i, name, e))
        except Exception:  # any other Python exception is a clean refusal
            outcomes["exception"] += 1
        else:
            outcomes["result"] += 1
            if not shape_ok(result):
                problems.append("call %d %s: result %r" % (i, name, repr(result)[:200]))
            del result
        after = [sys.getrefcount(a) for a in watched]
        if before != after:
            problems.append("call %d %s: argument reference counts %s -> %s" % (i, name, before, after))
        per_function[name] += 1
        del args, watched
        if len(problems) > 20:
            break

    try:
        _datastore.abort()  # drop what the fuzz left pending
    except RuntimeError:
        pass  # run without a data store
    gc.collect()
    growth = sys.getallocatedblocks() - blocks_after_warmup
    print("fuzz: %d calls (seed %d): %d results, %d exceptions; blocks +%d after warm-up; %s"
          % (CALLS, SEED, outcomes["result"], outcomes["exception"], growth, per_function))
    assert not problems, "\n".join(problems)
    assert sum(per_function.values()) == CALLS
    assert min(per_function.values()) > CALLS // (2 * len(names))  # every function was hit
    # A reference leaked per call would add thousands of blocks; caches filled during
    # warm-up add none later.
    assert growth < 200, "allocated blocks grew by %d over %d calls" % (growth, CALLS - WARMUP)


def test_modules_still_work_after_the_fuzz():
    assert _datastore.set([("fuzz-after", "still \u00e9 fine", 0)]) == 1
    assert _datastore.commit() == 1
    status, found, missing = _datastore.get(["fuzz-after", "fuzz-absent"], 0)
    assert (status, found, missing) == (1, {"fuzz-after": "still \u00e9 fine"}, {"fuzz-absent": None})
    assert _MiscCorba.signalEvent("NoSuchChannel", "type", "value") is None
