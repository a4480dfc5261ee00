"""Checks that running every orrery entry leaves no reference behind.

    python scripts/refcounts.py [ROUNDS] [SIZE]

Runs the passes of exercise.py and, between passes, compares

- the interpreter's total reference count (sys.gettotalrefcount, present in
  debug builds of CPython only; skipped with a notice elsewhere) after a few
  warm-up passes, which fill the interpreter's caches and the module's
  process-wide objects;
- the reference counts of long-lived objects rendered on success and failure
  paths in every pass, and of the module's own objects (the module, its
  functions, the Pretty type, the fault class).

Exits non-zero with a description of the first difference found.
"""

import gc
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import exercise  # noqa: E402
import orrery  # noqa: E402
from exercise import BadRepr, Boom, Point, expect, renderers, silenced  # noqa: E402

WARMUP = 3
# Drift of the total that the interpreter itself may show between two
# identical passes (free lists, caches filled late); a leak of one reference
# per pass grows past it within the measured passes.
TOLERANCE = 5

KEY, VALUE, BIG = "sentinel key", object(), 10**40
POINT = Point([KEY, VALUE], (BIG,))
DOC = {KEY: [VALUE, POINT], "t": (BIG, POINT)}


def render_sentinels():
    for r in renderers():
        r(DOC)
        expect(Boom, r, [DOC, {KEY: BadRepr()}, VALUE])
        changing = {KEY: POINT, BIG: DOC, "v": VALUE}  # a fault unwinds past the sentinels
        changing["t"] = exercise.Toggle(changing)
        expect(BaseException, r, [DOC, changing])


def watched():
    objs = [KEY, VALUE, BIG, POINT, DOC, DOC[KEY], DOC["t"], orrery, orrery.Pretty, exercise.panic_class(),
            exercise.panic_class("SubPanic")]
    return objs + [getattr(orrery, name) for name in orrery.__all__]


def counts():
    gc.collect()
    return [sys.getrefcount(o) for o in watched()]


def total():
    gc.collect()
    gc.collect()
    return sys.gettotalrefcount()


def one_pass(size):
    exercise.run_round(size)
    with silenced():
        render_sentinels()


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    size = int(sys.argv[2]) if len(sys.argv) > 2 else 30
    has_total = hasattr(sys, "gettotalrefcount")
    if not has_total:
        print("refcounts: not a debug interpreter; checking watched objects only", file=sys.stderr)
    exercise.run_round(size, exercise.ONCE)
    for _ in range(WARMUP):
        one_pass(size)
    before, start = counts(), total() if has_total else 0
    for i in range(rounds):
        one_pass(size)
        after = counts()
        if after != before:
            diff = [(repr(o)[:60], b, a) for o, b, a in zip(watched(), before, after) if a != b]
            sys.exit("refcounts: pass %d changed reference counts (object, before, after): %r" % (i + 1, diff))
        del after
    if has_total:
        growth = total() - start
        if abs(growth) > TOLERANCE:
            sys.exit("refcounts: total reference count moved by %d over %d passes" % (growth, rounds))
        print("refcounts: total reference count moved by %d over %d passes" % (growth, rounds), file=sys.stderr)
    print("refcounts: %d passes, %d watched objects unchanged" % (rounds, len(before)), file=sys.stderr)


if __name__ == "__main__":
    main()
