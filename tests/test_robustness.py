"""Hostile conditions of real programs, each in a child process: interpreter
exit with a daemon thread inside the module, small thread stacks, leaves
whose repr() recurses deeply, re-entrant first use, exhausted memory."""

import os
import subprocess
import sys

import pytest

from childproc import run

# A daemon thread loops inside the module, its Python callbacks sleeping, when
# the main thread returns and the interpreter shuts down around it.
DAEMON = """
import dataclasses, threading, time, orrery
class Slow:
    def __repr__(self):
        time.sleep(0.001)
        return 's'
@dataclasses.dataclass
class Box:
    item: object
def work():
    while True:
        try:
            {call}
        except TypeError:
            pass
threading.Thread(target=work, daemon=True).start()
time.sleep(0.05)
"""
DAEMON_CALLS = {
    "flat": "orrery.pretty_format([Slow()])",
    "nested": "orrery.pretty_format({'k': [(Box(Slow()),), Slow()]})",
    "bad indent": "orrery.pretty_format([Slow()], indent='x')",
    "print": "orrery.Pretty(1).print([Slow(), [Slow()]])",
}


SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


# The interpreter starts that unwind in code the address sanitizer does not
# instrument, and the sanitizer then reports the module's frames as it
# unwinds them.
@pytest.mark.skipif(SANITIZED, reason="the address sanitizer cannot follow an unwind begun outside it")
@pytest.mark.parametrize("call", DAEMON_CALLS)
def test_exit_with_a_daemon_thread_inside_the_module(call):
    for _ in range(8):
        rc, _, err = run(DAEMON.format(call=DAEMON_CALLS[call]), stdout=subprocess.DEVNULL, timeout=60)
        assert rc == 0, err[-2000:]
        assert b"FATAL" not in err and b"orrery" not in err, err[-2000:]


# Runs body() in a thread with a stack of {size} bytes (0: the main thread)
# and prints what it appended to res.
IN_THREAD = """
res = []
if {size}:
    try:
        threading.stack_size({size})
    except ValueError:
        print("unsupported")
        sys.exit()
    t = threading.Thread(target=body)
    t.start()
    t.join()
else:
    body()
print(*res)
"""


RENDERING = """
import sys, threading, orrery
sys.setrecursionlimit(10**6)
def nest(n, leaf=1):
    x = [leaf]
    for _ in range(n):
        x = [x]
    return x
def outcome(f):
    try:
        f()
        return "ok"
    except (RecursionError, OverflowError) as e:
        return type(e).__name__
"""


STACK = RENDERING + """
# Made and dropped on the main thread: some interpreters cannot free a list
# nested this deeply on a small stack.
deep = nest(10**5)
cyclic = []
cyclic.append(cyclic)
def body():
    res.append(outcome(lambda: orrery.pretty_format([1])))
    res.append(outcome(lambda: orrery.pretty_format(nest(20))))
    if {overflow}:
        res.append(outcome(lambda: orrery.pretty_format(deep, indent=0)))
        res.append(outcome(lambda: orrery.pretty_format(cyclic, indent=0)))
"""


@pytest.mark.parametrize("kib", [32, 40, 48, 64, 96, 256, 8192, 0], ids=lambda k: f"{k}KiB" if k else "main")
def test_thread_stack_sizes(kib):
    # From 3.14 the interpreter keeps a margin of its own at the end of every
    # stack: below 96 KiB it cannot go on after any stack overflow (the next
    # except clause fails again, as after json.dumps of a deep list), so the
    # overflow is only provoked in larger stacks there.
    overflow = kib == 0 or kib >= 96 or sys.version_info < (3, 14)
    rc, out, err = run((STACK + IN_THREAD).format(size=kib * 1024, overflow=overflow), timeout=120)
    assert rc == 0, err[-2000:]
    if out.strip() == b"unsupported":
        pytest.skip(f"this interpreter refuses a {kib} KiB thread stack")
    small, nested, *rest = out.decode().split()
    # Instrumented for the address sanitizer, every frame is several times larger.
    if (kib == 0 or kib >= 64) and not SANITIZED:
        assert (small, nested) == ("ok", "ok")
    if overflow:
        deep, cyclic = rest
        assert deep == "RecursionError" and cyclic in ("RecursionError", "OverflowError")


# A document nested as deep as the renderer allows, holding a leaf whose own
# repr() recurses a few thousand levels.
DEEP_LEAF = RENDERING + """
import collections
def leaf(n):
    x = []
    for _ in range(n):
        x = [x]
    return collections.deque([x])
def accepted(depth):
    return outcome(lambda: orrery.pretty_format(nest(depth), indent=0)) == "ok"
def deepest():
    lo, hi = 0, 10**5
    while lo < hi:
        mid = (lo + hi + 1) // 2
        lo, hi = (mid, hi) if accepted(mid) else (lo, mid - 1)
    return lo
def body():
    top = deepest()
    res.extend([top > 100, *(outcome(lambda: orrery.pretty_format(nest(top - back, leaf(3000)), indent=0))
                             for back in (0, 1, 3))])
"""


@pytest.mark.parametrize("kib", [0, 2048], ids=["main", "2MiB"])
def test_deep_document_with_a_recursing_leaf(kib):
    rc, out, err = run((DEEP_LEAF + IN_THREAD).format(size=kib * 1024), timeout=120)
    assert rc == 0, err[-2000:]
    words = out.decode().split()
    assert words[0] == "True" and set(words[1:]) <= {"ok", "RecursionError"}, words


# First uses re-entered on the same thread by a finalizer that the collector
# runs in the middle of them (collections run inside allocations up to 3.11).
REENTRY = {
    "fault class": """
import gc, orrery
def changing(make_garbage):
    d = {}
    class Toggle:
        def __repr__(self):
            d["extra"] = 1
            if make_garbage:
                Cycle()  # for the collection during the fault class's creation
            return "t"
    d["a"] = Toggle()
    return d
seen = []
class Cycle:
    def __init__(self):
        self.me = self
    def __del__(self):
        try:
            orrery.pretty_format(changing(False))
        except BaseException as e:
            seen.append(e)
gc.collect()
gc.set_threshold(1, 1, 1)
try:
    orrery.pretty_format(changing(True))
except BaseException as e:
    seen.append(e)
gc.set_threshold(700)
print(len({type(e) for e in seen}), *[type(e).__name__ for e in seen])
""",
    "module": """
import gc, sys
seen = []
def inside_module_creation():
    f = sys._getframe(1)
    while f is not None:
        if f.f_code.co_name == "create_module":
            return True
        f = f.f_back
    return False
class Cycle:
    def __init__(self):
        self.me = self
    def __del__(self):
        if seen:
            return
        if not inside_module_creation():
            Cycle()  # wait for a collection during the module's creation
            return
        import orrery
        seen.append(orrery)
gc.collect()
Cycle()
gc.set_threshold(1, 1, 1)
import orrery
gc.set_threshold(700)
assert all(m is orrery for m in seen)
assert orrery.pretty_format([1]) == "[\\n    1,\\n]"
print(1, len(seen))
""",
}


@pytest.mark.parametrize("case", REENTRY)
def test_reentrant_first_use_does_not_wait_on_itself(case):
    rc, out, err = run(REENTRY[case], timeout=30)
    assert rc == 0, err[-2000:]
    assert out.split()[0] == b"1", out


# Allocation failures injected from the n-th allocation on, in a fresh fork
# of a process that imported the module but never used it. Each call must
# give its normal result (value or exception) or MemoryError.
NOMEMORY = """
import os, orrery, _testcapi
CALLS = [
    lambda: orrery.pretty_format([1, 'x', 2.5]),
    lambda: orrery.format_escaped_bytes(5),
    lambda: orrery.pretty_format([1], indent=2**64),
    lambda: orrery.pretty_format({"a": [1, (2.5, None)], "b": object()}),
    lambda: orrery.Pretty(2).format([[1]]),
    lambda: orrery.pretty_print(["x"]),
]
# Everything the child does after the call is looked up beforehand and runs
# with allocations working again: newer interpreters need memory to leave an
# except clause or to exit, and that failure would be theirs, not the call's.
restore, leave = _testcapi.remove_mem_hooks, os._exit
for index, call in enumerate(CALLS):
    for start in range(40):
        pid = os.fork()
        if pid == 0:
            _testcapi.set_nomemory(start, 0)
            try:
                call()
                restore()
                leave(0)
            except BaseException as e:
                restore()
                leave(0 if isinstance(e, (MemoryError, TypeError, OverflowError)) else 3)
        status = os.waitpid(pid, 0)[1]
        if status != 0:
            print("FAILED call", index, "from allocation", start, "status", status)
"""


def test_allocation_failures_end_in_memory_error():
    pytest.importorskip("_testcapi")
    rc, out, err = run(NOMEMORY, timeout=300)
    assert rc == 0 and b"FAILED" not in out, (out[-2000:], err[-2000:])
