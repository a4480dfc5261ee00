"""Concurrent rendering, printing and mutation: no crash, no deadlock, no torn output."""
import collections
import json

import orrery
from childproc import run

# Documents printed concurrently, shared by the child and this process. A Tag
# runs Python code when rendered, so other threads get in. Printed at indent
# 0 (every margin empty) that happens only at line starts, so every output
# line must be whole; DOCS at indent 4 hold no Python code and print whole.
DOCS_CODE = """
import dataclasses, time

class Tag:
    def __init__(self, k, i):
        self.text = "<%d:%d:%s>" % (k, i, "x" * (i * 397 % 2000))
    def __repr__(self):
        time.sleep(0)
        return self.text

@dataclasses.dataclass
class Box:
    items: list
    meta: dict

TAGGED = [[Tag(k, i) for i in range(8)] + [(Tag(k, 8), [Tag(k, 9)])] for k in range(3)]
DOCS = [{"box": Box([1, "s" * 1500, 2.5], {"k": (None,)}), "t": (1, (2, 3))}, [{"e": [], "d": {}}] * 5]
ESCAPED = bytes(range(256)) * 5
"""

CHILD = DOCS_CODE + """
import json, sys, threading, orrery
sys.setswitchinterval(1e-5)
printer = orrery.Pretty(0)
shared_list = [Tag(9, i) for i in range(10)]
shared_dict = {i: Tag(9, i) for i in range(10)}
box = Box(shared_list, shared_dict)
keys = iter(range(100, 10**9))
for doc in TAGGED + DOCS:  # one-time set-ups (which let other threads in) happen here
    orrery.pretty_format(doc)
counts = {"tagged": [0] * len(TAGGED), "docs": [0] * len(DOCS), "escaped": 0}
errors = []
stop = time.monotonic() + 1.5

def tagged(k):
    (printer.print if k % 2 else lambda d: orrery.pretty_print(d, 0))(TAGGED[k])
    counts["tagged"][k] += 1

def docs():
    for k, doc in enumerate(DOCS):
        orrery.pretty_print(doc)
        counts["docs"][k] += 1
    orrery.print_escaped_bytes(ESCAPED)
    counts["escaped"] += 1
    time.sleep(0)

def render():
    for obj in (shared_list, shared_dict, box, [box, shared_dict]):
        try:
            orrery.pretty_format(obj, 2)
            printer.format(obj)
        except BaseException as e:  # a dict changed size or keys while walked
            if type(e).__name__ != "PanicException":
                raise

def mutate():
    shared_list.append(Tag(9, len(shared_list)))
    del shared_list[: len(shared_list) // 2 if len(shared_list) > 15 else 0]
    if len(shared_dict) > 15:
        shared_dict.pop(min(shared_dict), None)
    else:
        shared_dict[next(keys)] = Tag(9, 1)
    box.items, box.meta = list(shared_list), dict(shared_dict)
    try:
        printer.indent = 0
    except RuntimeError as e:  # refused while a print or format holds the printer
        assert str(e) == "Already borrowed", e
    time.sleep(0)

def loop(step, *args):
    try:
        while time.monotonic() < stop:
            step(*args)
    except BaseException as e:
        errors.append(repr(e))

threads = [threading.Thread(target=loop, args=a) for a in
           [(tagged, k) for k in range(len(TAGGED))] + [(docs,), (render,), (render,), (mutate,), (mutate,)]]
[t.start() for t in threads]
[t.join() for t in threads]
sys.stderr.write(json.dumps({"counts": counts, "errors": errors}) + "\\n")
"""

RACE = """
import sys, threading, orrery
sys.setswitchinterval(1e-6)
barrier, seen = threading.Barrier(4), []

class Grow:  # adds a key to the dict being rendered
    def __repr__(self):
        self.d[len(self.d)] = 0
        return "g"

def fault():
    d = {"a": Grow()}
    d["a"].d = d
    barrier.wait()
    try:
        orrery.pretty_format(d)
    except BaseException as e:
        seen.append(type(e))

threads = [threading.Thread(target=fault) for _ in range(4)]
[t.start() for t in threads]
[t.join() for t in threads]
print(len(seen), len(set(map(id, seen))), seen[0].__module__, seen[0].__name__)
"""


def test_concurrent_print_render_and_mutation(tmp_path):
    # Output goes to a regular file, where no write waits for a reader, so
    # other threads get in only where Python code runs. (On a full pipe they
    # also get in while a write waits: see test_stdout_blocking.py.)
    path = tmp_path / "stdout.bin"
    with open(path, "wb") as f:
        rc, _, err = run(CHILD, stdout=f)
    out = path.read_bytes()
    assert rc == 0, err[-3000:]
    report = json.loads(err.decode().splitlines()[-1])
    assert report["errors"] == []
    space = {}
    exec(DOCS_CODE, space)
    expected = collections.Counter({orrery.format_escaped_bytes(space["ESCAPED"]): report["counts"]["escaped"]})
    for kind, indent in (("tagged", 0), ("docs", 4)):
        for doc, n in zip(space[kind.upper()], report["counts"][kind]):
            assert n > 0, report
            for line in orrery.pretty_format(doc, indent).split("\n"):
                expected[line] += n
    text = out.decode()
    assert text.endswith("\n")
    got = collections.Counter(text[:-1].split("\n"))
    assert got - expected == collections.Counter(), "lines that no print produced"
    assert got == expected


def test_fault_class_is_made_once_under_a_race():
    for _ in range(3):  # the class is made at the first fault of each process
        rc, out, err = run(RACE)
        assert rc == 0, err[-3000:]
        assert out.split() == [b"4", b"1", b"tessel_runtime", b"PanicException"]
