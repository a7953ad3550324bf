"""Seeded fuzzing of every function of _datastore and _MiscCorba with generated argument tuples.

Each call must end in a Python exception other than SystemError (the sign of a C-API slip) or
in a result of the function's documented shape; the host must not crash; argument objects keep
their reference counts; and the interpreter's allocated blocks do not grow once warm.
QMR_FUZZ_SEED and QMR_FUZZ_CALLS change the run.
"""

import gc
import os
import random
import sys

import _datastore
import _MiscCorba

SEED = int(os.environ.get("QMR_FUZZ_SEED", "20261205"))
CALLS = int(os.environ.get("QMR_FUZZ_CALLS", "10000"))


def _get_shape(r):
    return type(r) is tuple and (r == (0, None) or (
        len(r) == 3 and r[0] == 1 and type(r[1]) is dict and type(r[2]) is dict
        and all(type(k) is str and type(v) is str for k, v in r[1].items())
        and all(type(k) is str and v is None for k, v in r[2].items())
        and not set(r[1]) & set(r[2])))


def _status(r):
    return type(r) is int and r in (0, 1)


def _none(r):
    return r is None


# name -> (function, usual argument count, check of a result)
FUNCTIONS = {
    "get": (_datastore.get, 2, _get_shape), "set": (_datastore.set, 1, _status),
    "remove": (_datastore.remove, 1, _status), "commit": (_datastore.commit, 0, _status),
    "abort": (_datastore.abort, 0, _status), "clearCache": (_datastore.clearCache, 0, _none),
    "enableCaching": (_datastore.enableCaching, 1, _none),
    "signalEvent": (_MiscCorba.signalEvent, 3, _none),
}


class Generator:
    """Arguments that are plausible, wrong, or hostile, from one seeded random source."""

    def __init__(self, seed):
        self.r = random.Random(seed)

    def text(self):
        r = self.r
        return r.choice([
            lambda: "", lambda: "key%d" % r.randrange(50), lambda: "a\0b",
            lambda: "\ud800",                               # lone surrogate
            lambda: "x\udcff\udcfe",                        # non-UTF-8 bytes, surrogateescaped
            lambda: b"\xff\xfe\x80".decode("latin-1"), lambda: "\u6f22\u5b57\U0001f600",
            lambda: "k" * r.choice([1000, 65536, 1 << 20]),
            lambda: "".join(chr(r.randrange(1, 0x10000)) for _ in range(r.randrange(1, 30))),
        ])()

    def integer(self):
        return self.r.choice([0, 1, -1, 5, 2 ** 31 - 1, 2 ** 31, -2 ** 31 - 1, 2 ** 63, -2 ** 64,
                              10 ** 100, True, False])

    def entry(self, depth):
        good = (self.text(), self.text(), self.integer())
        return self.r.choice([
            lambda: good, lambda: ("key%d" % self.r.randrange(50), "value", 3600),
            lambda: good[:2], lambda: good + (1,), lambda: (self.text(), 0, self.text()),
            lambda: list(good), lambda: (None, None, None), lambda: self.value(depth + 1),
        ])()

    def keys(self, depth):
        n = self.r.choice([0, 1, 2, 3, 10, 100, 5000, 20000])
        pool = [self.text() for _ in range(min(n, 20))] or [""]
        keys = [self.r.choice(pool) for _ in range(n)]
        if keys and self.r.random() < 0.3:
            keys[self.r.randrange(n)] = self.value(depth + 1)  # one bad element
        return keys

    def value(self, depth=0):
        r = self.r
        choices = [lambda: None, self.integer, self.text, lambda: r.choice([0.5, float("nan")]),
                   lambda: r.choice([b"", b"\xff\xfe\0", bytearray(b"ab")]), object,
                   lambda: {self.text(): self.text()}, lambda: {self.text()}]
        if depth < 3:
            choices += [lambda: self.keys(depth), lambda: tuple(self.keys(depth)),
                        lambda: [self.entry(depth) for _ in range(r.choice([0, 1, 3, 50]))],
                        lambda: [self.value(depth + 1) for _ in range(r.randrange(4))]]
        return r.choice(choices)()

    def call(self):
        r = self.r
        name = r.choice(sorted(FUNCTIONS))
        usual = FUNCTIONS[name][1]
        count = usual if r.random() >= 0.15 else r.choice([x for x in range(5) if x != usual])
        plausible = count == usual and r.random() < 0.7
        if plausible and name == "get":
            args = (self.keys(0), r.choice([None, 0, 1, 7, self.value(1)]))
        elif plausible and name == "set":
            args = ([self.entry(0) for _ in range(r.choice([0, 1, 2, 5, 100]))],)
        elif plausible and name == "remove":
            args = (self.keys(0),)
        elif plausible and name == "signalEvent":
            args = (r.choice(["SoakChannel", "NoSuchChannel", self.text()]), self.text(),
                    self.text())
        else:
            args = tuple(self.value() for _ in range(count))
        if r.random() < 0.02:
            cyclic = [self.text()]
            cyclic.append(cyclic)  # a list that contains itself
            args = (cyclic,) + args[1:]
        return name, args


def test_generated_arguments_give_only_exceptions_or_documented_results():
    gen = Generator(SEED)
    per_function = dict.fromkeys(FUNCTIONS, 0)
    problems = []
    blocks = None
    for i in range(CALLS):
        name, args = gen.call()  # made one at a time: 1 MB strings are not kept
        if i == CALLS // 5:  # warm: later calls add nothing that stays
            gc.collect()
            blocks = sys.getallocatedblocks()
        fn, _, shape_ok = FUNCTIONS[name]
        watched = [a for a in args if isinstance(a, (list, tuple, dict, set))]
        before = [sys.getrefcount(a) for a in watched]
        try:
            result = fn(*args)
            if not shape_ok(result):
                problems.append("call %d %s: result %s" % (i, name, repr(result)[:200]))
            del result
        except SystemError as e:
            problems.append("call %d %s: SystemError %s" % (i, name, e))
        except Exception:  # any other Python exception is a clean refusal
            pass
        after = [sys.getrefcount(a) for a in watched]
        if before != after:
            problems.append("call %d %s: argument references %s -> %s" % (i, name, before, after))
        per_function[name] += 1
        del args, watched
        if len(problems) > 20:
            break
    assert _datastore.abort() == 1  # drop what the fuzz left pending
    gc.collect()
    growth = sys.getallocatedblocks() - blocks
    print("fuzz: %d calls (seed %d), blocks +%d after warm-up; %s"
          % (CALLS, SEED, growth, per_function))
    assert not problems, "\n".join(problems)
    assert min(per_function.values()) > CALLS // (2 * len(FUNCTIONS))  # every function was hit
    # A reference leaked per call would add thousands of blocks.
    assert growth < 200, "allocated blocks grew by %d over %d calls" % (growth, CALLS)
    # And the modules still work.
    assert _datastore.set([("fuzz-after", "still \u00e9 fine", 0)]) == 1
    assert _datastore.commit() == 1
    assert _datastore.get(["fuzz-after", "fuzz-absent"], 0) == (
        1, {"fuzz-after": "still \u00e9 fine"}, {"fuzz-absent": None})
