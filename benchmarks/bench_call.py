"""Per-call overhead of the module functions on a trivial object.

Times pretty_format(5) in three call shapes against repr(5), which does the
same rendering work (one int repr) without argument binding or the output
buffer. Rounds are interleaved so that drift in CPU frequency or cache state
affects every case alike; the best round of each case is reported.

Usage: python benchmarks/bench_call.py [--quick] [--rounds N] [--number N]
"""

import argparse
import timeit

import orrery

CASES = [
    ("repr(5)", "repr(5)"),
    ("pretty_format(5)", "pretty_format(5)"),
    ("pretty_format(5, indent=2)", "pretty_format(5, indent=2)"),
    ("pretty_format(obj=5)", "pretty_format(obj=5)"),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="few short rounds (smoke run)")
    parser.add_argument("--rounds", type=int, default=None)
    parser.add_argument("--number", type=int, default=None, help="calls per round")
    args = parser.parse_args()
    rounds = args.rounds or (3 if args.quick else 25)
    number = args.number or (20_000 if args.quick else 100_000)

    env = {"pretty_format": orrery.pretty_format}
    timers = [(label, timeit.Timer(stmt, globals=env)) for label, stmt in CASES]
    # Warm up once so that lazily created state (interned names, caches) is
    # not charged to the first round.
    for _, timer in timers:
        timer.timeit(1000)

    best = {label: float("inf") for label, _ in timers}
    for _ in range(rounds):
        for label, timer in timers:
            best[label] = min(best[label], timer.timeit(number) / number)

    # The timeit loop itself costs a few ns per iteration; it is included in
    # every figure and shown here for reference.
    loop = min(timeit.Timer("pass").repeat(rounds, number)) / number
    base = best["repr(5)"]
    print(f"per-call cost, best of {rounds} interleaved rounds x {number:,} calls")
    print(f"{'call':<30} {'ns/call':>10} {'x repr(5)':>10}")
    for label, _ in timers:
        ns = best[label] * 1e9
        print(f"{label:<30} {ns:>10.1f} {best[label] / base:>10.2f}")
    print(f"(empty timeit loop: {loop * 1e9:.1f} ns/iteration, included above)")


if __name__ == "__main__":
    main()
