"""Cost of printing to standard output: pipe, null device, regular file.

Prints 200,000 lines with pretty_print, as one call (a list of 200,000 ints)
and as 200,000 calls of one line each, in a child process whose standard
output is:

  - a pipe drained by another process, with and without a CPU-bound Python
    thread running beside the printer (a print that gave up the interpreter
    lock around every write would wait for that thread again and again);
  - the null device;
  - a regular file.

With --baseline DIR the same children also run against the orrery build in
DIR (a directory holding an orrery shared object, for example one built
from an earlier revision with `pip install --no-deps --target DIR .`), and
the table shows both side by side. Rounds are interleaved; each figure is
the best of its rounds.

Usage: python benchmarks/bench_stdout.py [--quick] [--rounds N] [--baseline DIR]
"""

import argparse
import os
import subprocess
import sys
import tempfile

CHILD = r"""
import sys, threading, time, orrery
lines, shape, busy, reps = int(sys.argv[1]), sys.argv[2], sys.argv[3] == "busy", int(sys.argv[4])
doc = list(range(lines - 2))  # "[", the elements, "]"
stop = threading.Event()

def spin():
    n = 0
    while not stop.is_set():
        n += 1

if busy:
    threading.Thread(target=spin, daemon=True).start()
    time.sleep(0.05)
pp = orrery.pretty_print

def one_call():
    pp(doc)

def many_calls():
    for _ in range(lines):
        pp(5)

run = one_call if shape == "one-call" else many_calls
wall = cpu = float("inf")
for _ in range(reps):
    t, c = time.perf_counter(), time.thread_time()
    run()
    cpu = min(cpu, time.thread_time() - c)
    wall = min(wall, time.perf_counter() - t)
stop.set()
sys.stderr.write("%r %r\n" % (wall, cpu))
"""

TARGETS = [
    # label, stdout kind, busy thread
    ("pipe", "pipe", False),
    ("pipe + busy thread", "pipe", True),
    ("null device", "devnull", False),
    ("regular file", "file", False),
]
# Printing to a pipe is timed by the clock (waiting for the reader or for the
# interpreter lock counts); the null device and a file by the printing
# thread's CPU time, which other load on the machine disturbs less.
CLOCK = {"pipe": 0, "devnull": 1, "file": 1}
SHAPES = ["one-call", "many-calls"]


def run_child(build, kind, shape, busy, lines, reps, scratch):
    env = dict(os.environ)
    if build is not None:
        env["PYTHONPATH"] = build + os.pathsep + env.get("PYTHONPATH", "")
    args = [sys.executable, "-c", CHILD, str(lines), shape, "busy" if busy else "idle", str(reps)]
    drain = None
    if kind == "pipe":
        drain = subprocess.Popen(["cat"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
        out = drain.stdin
    elif kind == "devnull":
        out = subprocess.DEVNULL
    else:
        out = open(scratch, "wb")
    try:
        proc = subprocess.run(args, stdout=out, stderr=subprocess.PIPE, env=env, timeout=600)
    finally:
        if drain is not None:
            drain.stdin.close()
            drain.wait()
        elif kind == "file":
            out.close()
    if proc.returncode != 0:
        raise SystemExit(proc.stderr.decode(errors="replace"))
    return float(proc.stderr.decode().strip().splitlines()[-1].split()[CLOCK[kind]])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer lines and rounds (smoke run)")
    parser.add_argument("--rounds", type=int, default=None)
    parser.add_argument("--baseline", default=None, help="directory holding an earlier orrery build")
    args = parser.parse_args()
    lines = 20_000 if args.quick else 200_000
    rounds = args.rounds or (1 if args.quick else 5)
    reps = 2 if args.quick else 3
    builds = [("current", None)] + ([("baseline", os.path.abspath(args.baseline))] if args.baseline else [])

    best = {}
    with tempfile.TemporaryDirectory() as tmp:
        scratch = os.path.join(tmp, "stdout.txt")
        for _ in range(rounds):
            for shape in SHAPES:
                for label, kind, busy in TARGETS:
                    for name, build in builds:
                        t = run_child(build, kind, shape, busy, lines, reps, scratch)
                        key = (shape, label, name)
                        best[key] = min(best.get(key, float("inf")), t)

    print(f"printing {lines:,} lines with pretty_print, best of {rounds} rounds x {reps} runs")
    print("(pipe: elapsed time; null device and regular file: CPU time of the printing thread)")
    head = f"{'shape':<11} {'stdout':<20} {'ns/line':>9}"
    if args.baseline:
        head += f" {'baseline':>9} {'x baseline':>10}"
    print(head)
    for shape in SHAPES:
        for label, _, _ in TARGETS:
            now = best[(shape, label, "current")] / lines * 1e9
            row = f"{shape:<11} {label:<20} {now:>9.0f}"
            if args.baseline:
                before = best[(shape, label, "baseline")] / lines * 1e9
                row += f" {before:>9.0f} {now / before:>10.2f}"
            print(row)
        ratios = [best[(shape, "pipe + busy thread", name)] / best[(shape, "pipe", name)] for name, _ in builds]
        print(f"{shape:<11} {'pipe: busy / idle':<20}" + "".join(f" {r:>8.2f}x" for r in ratios))


if __name__ == "__main__":
    main()
