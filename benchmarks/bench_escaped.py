"""Throughput of the escaped-bytes functions on a large random input.

format_escaped_bytes is compared with bytes.hex() (the closest built-in: two
characters per byte instead of four, one pass in C), and print_escaped_bytes
with file descriptor 1 on /dev/null is compared with format_escaped_bytes,
which shows what streaming through the line buffer costs against building
the whole text in memory. Rounds are interleaved and the best is reported.

Usage: python benchmarks/bench_escaped.py [--quick] [--rounds N] [--mb N]
"""

import argparse
import os
import random
import sys
import time

import orrery
from bench_documents import stdout_fd_to_devnull


def best_of(rounds, cases):
    """Run every case once per round, interleaved; return the best time of each."""
    best = {name: float("inf") for name, _ in cases}
    for _ in range(rounds):
        for name, fn in cases:
            t0 = time.perf_counter()
            fn()
            best[name] = min(best[name], time.perf_counter() - t0)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small input, few rounds (smoke run)")
    parser.add_argument("--rounds", type=int, default=None)
    parser.add_argument("--mb", type=float, default=None, help="input size in MiB (default 16)")
    args = parser.parse_args()
    rounds = args.rounds or (2 if args.quick else 7)
    size = int((args.mb or (1 if args.quick else 16)) * (1 << 20))

    data = random.Random(12345).randbytes(size)

    # Sanity check outside the timed region: same bytes, same digits.
    sample = data[:64]
    assert orrery.format_escaped_bytes(sample).replace("\\x", "") == sample.hex()

    def print_escaped():
        with stdout_fd_to_devnull():
            orrery.print_escaped_bytes(data)

    cases = [
        ("bytes.hex()", data.hex),
        ("format_escaped_bytes", lambda: orrery.format_escaped_bytes(data)),
        ("print_escaped_bytes > /dev/null", print_escaped),
    ]
    best = best_of(rounds, cases)

    mib = size / (1 << 20)
    print(f"input: {mib:g} MiB of random bytes; best of {rounds} interleaved rounds")
    print(f"{'operation':<34} {'ms':>9} {'MiB in/s':>10}")
    for name, _ in cases:
        print(f"{name:<34} {best[name] * 1e3:>9.1f} {mib / best[name]:>10.0f}")
    fmt = best["format_escaped_bytes"]
    ratios = [
        ("format_escaped_bytes / bytes.hex()", fmt / best["bytes.hex()"]),
        ("print_escaped_bytes (/dev/null) / format_escaped_bytes",
         best["print_escaped_bytes > /dev/null"] / fmt),
    ]
    for label, value in ratios:
        print(f"ratio {label:<55} {value:.2f}")


if __name__ == "__main__":
    main()
