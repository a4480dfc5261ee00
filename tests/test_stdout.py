"""Output on file descriptor 1 and hostile inputs, each in a child process."""

import json
import os
import re
import subprocess
import sys

import pytest

from childproc import run

# (call, exact bytes it puts on file descriptor 1)
PRINTS = [
    ("orrery.pretty_print([1, 2])", b"[\n    1,\n    2,\n]\n"),
    ("orrery.pretty_print('x', indent=0)", b"'x'\n"),
    ("orrery.Pretty(2).print({'a': [1]})", b"{\n  'a': [\n    1,\n  ],\n}\n"),
    ("orrery.Pretty().print(5)", b"5\n"),
    ("orrery.print_escaped_bytes(b'\\x00\\xffA')", rb"\x00\xff\x41" + b"\n"),
    ("orrery.print_escaped_bytes(b'')", b"\n"),
]
PRINT_IDS = [call for call, _ in PRINTS]


def run_to(target, code, tmp_path, **kw):
    """Run `code` with stdout on a pipe or on a regular file."""
    if target == "pipe":
        return run(code, **kw)
    path = tmp_path / "stdout.bin"
    with open(path, "wb") as f:
        rc, _, err = run(code, stdout=f, **kw)
    return rc, path.read_bytes(), err


def last_line(err):
    return (err.decode(errors="replace").strip().splitlines() or [""])[-1]


@pytest.mark.parametrize("target", ["pipe", "file"])
@pytest.mark.parametrize("call, expected", PRINTS, ids=PRINT_IDS)
def test_print_writes_text_and_one_line_feed(target, call, expected, tmp_path):
    code = f"import orrery\nr = {call}\nassert r is None, r\n"
    rc, out, err = run_to(target, code, tmp_path)
    assert rc == 0, err
    assert out == expected


def test_output_bypasses_sys_stdout():
    # A block-buffered sys.stdout that is flushed only at exit shows that the
    # module neither writes through it nor flushes a stream that is not
    # sys.stdout at the time of the call.
    rc, out, err = run("""
        import contextlib, io, sys, orrery
        sys.stdout = open(1, "w", closefd=False, buffering=8192)
        print("from-python")
        buf = io.StringIO()
        with contextlib.redirect_stdout(buf):
            orrery.pretty_print(1)
            orrery.Pretty().print([])
            orrery.print_escaped_bytes(b"A")
        assert buf.getvalue() == "", repr(buf.getvalue())
    """)
    assert rc == 0, err
    assert out == b"1\n[]\n\\x41\nfrom-python\n"


@pytest.mark.parametrize("target", ["pipe", "file"])
def test_print_comes_after_what_sys_stdout_holds(target, tmp_path):
    code = """
        import sys, orrery
        sys.stdout = open(1, "w", closefd=False)  # block-buffered, whatever the environment says
        print("header")
        orrery.pretty_print([1, 2])
        print("mid", end="")
        orrery.Pretty().print(3)
        print("b")
        orrery.print_escaped_bytes(b"A")
        print("footer")
    """
    rc, out, err = run_to(target, code, tmp_path)
    assert rc == 0, err
    assert out == b"header\n[\n    1,\n    2,\n]\nmid3\nb\n\\x41\nfooter\n"


# sys.stdout during the printing calls, and what each call then raises (None:
# it prints). A failing flush ends the call only with an exception that is
# not an ordinary error.
STREAMS = [
    ("Stream(None)", None),
    ("Stream(ValueError)", None),
    ("Stream(KeyboardInterrupt)", "KeyboardInterrupt"),
    ("Stream(SystemExit)", "SystemExit"),
    ("Stream('print')", None),
    ("closed", None),
    ("object()", None),
    ("None", None),
    ("gone", None),
]
BAD_CALLS = ["orrery.pretty_print()", "orrery.pretty_print(1, indent=-1)", "orrery.Pretty().print()",
             "orrery.Pretty.print(5, 1)", "orrery.print_escaped_bytes('A')"]


@pytest.mark.parametrize("stream, raised", STREAMS)
def test_printing_flushes_sys_stdout_first(stream, raised):
    rc, out, err = run(f"""
        import io, json, sys, orrery
        flushes = []
        class Stream:
            def __init__(self, action):
                self.action = action
            def flush(self):
                flushes.append(len(flushes))
                if self.action == "print":  # printing from the flush does not flush again
                    orrery.pretty_print("inner")
                elif self.action:
                    raise self.action("flush")
        closed = io.StringIO()
        closed.close()
        real = sys.stdout
        if {stream!r} == "gone":
            del sys.stdout
        else:
            sys.stdout = {stream}
        outcomes = []
        for call in {[c for c, _ in PRINTS[2:5]]!r} + {BAD_CALLS!r}:
            try:
                exec(call)
            except BaseException as e:
                outcomes.append(type(e).__name__)
            else:
                outcomes.append(None)
        sys.stdout = real
        sys.stderr.write(json.dumps([outcomes, len(flushes)]) + "\\n")
    """)
    assert rc == 0, err
    outcomes, flushes = json.loads(last_line(err))
    assert outcomes == [raised] * 3 + ["TypeError", "OverflowError", "TypeError", "TypeError", "TypeError"]
    assert flushes == (3 if stream.startswith("Stream") else 0)
    inner = b"'inner'\n" if stream == "Stream('print')" else b""
    assert out == (b"" if raised else b"".join(inner + e for _, e in PRINTS[2:5]))


def test_closed_stdout_discards_output_silently():
    rc, _, err = run("""
        import os, sys, orrery
        os.close(1)
        rs = [orrery.pretty_print([1]), orrery.Pretty().print("x" * 3000),
              orrery.print_escaped_bytes(b"AB"), orrery.pretty_print(5)]
        sys.stderr.write("MARK %r\\n" % (rs,))
    """)
    assert rc == 0, err
    assert last_line(err) == "MARK [None, None, None, None]"


needs_dev_full = pytest.mark.skipif(not os.path.exists("/dev/full"),
                                    reason="no /dev/full")


# fd 1 set up in the child as a pipe without reader, or as /dev/full.
@pytest.mark.parametrize("setup, cls, num", [
    pytest.param("r, w = os.pipe(); os.close(r); os.dup2(w, 1)",
                 "BrokenPipeError", 32, id="broken-pipe"),
    pytest.param("os.dup2(os.open('/dev/full', os.O_WRONLY), 1)", "OSError", 28,
                 id="dev-full", marks=needs_dev_full),
])
@pytest.mark.parametrize("call", PRINT_IDS)
def test_write_error_becomes_exception(setup, cls, num, call):
    rc, _, err = run(f"""
        import json, os, sys, orrery
        {setup}
        try:
            {call}
        except OSError as e:
            sys.stderr.write(json.dumps([type(e).__name__, str(e), e.args, e.errno,
                e.strerror, e.filename, os.strerror({num})]) + "\\n")
    """)
    assert rc == 0, err
    name, text, args, errno_, strerror, filename, c_text = json.loads(last_line(err))
    assert name == cls
    assert text == f"{c_text} (os error {num})"
    assert args == [text]
    assert (errno_, strerror, filename) == (None, None, None)


@needs_dev_full
def test_sink_retries_unwritten_bytes_after_error(tmp_path):
    path = tmp_path / "after.txt"
    rc, _, err = run(f"""
        import os, orrery
        os.dup2(os.open('/dev/full', os.O_WRONLY), 1)
        try:
            orrery.pretty_print(5)
        except OSError:
            pass
        else:
            raise SystemExit("no error on /dev/full")
        os.dup2(os.open({str(path)!r}, os.O_WRONLY | os.O_CREAT), 1)
        orrery.pretty_print(7)
    """)
    assert rc == 0, err
    assert path.read_bytes() == b"5\n7\n"


LONG_SIZES = list(range(1018, 1030)) + [2047, 2048, 2049, 5000, 100000]


@pytest.mark.parametrize("target", ["pipe", "file"])
def test_long_lines_arrive_intact(target, tmp_path):
    code = f"""
        import orrery
        for n in {LONG_SIZES}:
            orrery.pretty_print("z" * n)
            orrery.Pretty().print(["x" * n, "y"])
            orrery.print_escaped_bytes(b"q" * (n // 4))
    """
    expected = b"".join(
        b"'" + b"z" * n + b"'\n"
        + b"[\n    '" + b"x" * n + b"',\n    'y',\n]\n"
        + rb"\x71" * (n // 4) + b"\n"
        for n in LONG_SIZES)
    rc, out, err = run_to(target, code, tmp_path)
    assert rc == 0, err
    assert out == expected


@pytest.mark.parametrize("failing, following, expected", [
    ("orrery.pretty_print([1, 2, Bad(), 4])", "orrery.pretty_print(5)",
     b"[\n    1,\n    2,\n    5\n"),
    ("orrery.Pretty(2).print({'a': 1, 'b': Bad()})", "orrery.pretty_print(5)",
     b"{\n  'a': 1,\n  'b': 5\n"),
    ("orrery.pretty_print([1, 2, Bad(), 4])", "orrery.print_escaped_bytes(b'A')",
     b"[\n    1,\n    2,\n    \\x41\n"),
    ("orrery.pretty_print(Bad())", "orrery.pretty_print(5)", b"5\n"),
])
def test_failed_print_leaves_unfinished_line(failing, following, expected):
    rc, out, err = run(f"""
        import orrery
        class Bad:
            def __repr__(self):
                raise ValueError("boom")
        try:
            {failing}
        except ValueError as e:
            assert str(e) == "boom", e
        else:
            raise SystemExit("no error")
        {following}
    """)
    assert rc == 0, err
    assert out == expected


@pytest.mark.skipif(not os.path.exists("/usr/bin/strace"), reason="no strace")
@pytest.mark.parametrize("call, lines, max_writes", [
    ("orrery.pretty_print(list(range(300)))", 302, 302),
    ("orrery.pretty_print({i: [i] for i in range(100)}, indent=2)", 302, 302),
    # One 4001-byte line: filled in 4-byte pieces, flushed per full buffer.
    ("orrery.print_escaped_bytes(b'A' * 1000)", 1, 5),
])
def test_about_one_write_per_line(call, lines, max_writes, tmp_path):
    trace = tmp_path / "trace.txt"
    proc = subprocess.run(
        ["/usr/bin/strace", "-f", "-e", "trace=write,pwritev2", "-o", str(trace),
         sys.executable, "-c", f"import orrery\n{call}\n"],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        timeout=120)
    if not trace.exists() or b"ptrace" in proc.stderr.lower():
        pytest.skip("strace cannot trace here: %r" % proc.stderr[-200:])
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.count(b"\n") == lines
    # On a pipe each write asks the kernel not to wait (pwritev2).
    writes = len(re.findall(r"\b(?:write|pwritev2)\(1,", trace.read_text(errors="replace")))
    assert max(1, lines // 2) <= writes <= max_writes


# Child-side helper: run each call, note the class of what it raised.
ATTEMPT = """
import resource, sys, threading, orrery
def attempt(calls, allowed):
    out = []
    for f in calls:
        try:
            f()
        except allowed as e:
            out.append(type(e).__name__)
        else:
            out.append("returned")
    return out
"""

BUILDERS = {
    "self-list": "x = []\nx.append(x)",
    "self-dict": "x = {}\nx['k'] = x",
    "deep-list": "x = []\nfor _ in range(10**6):\n    x = [x]",
    "deep-tuple": "x = ()\nfor _ in range(10**6):\n    x = (x,)",
}
DEPTH_MODES = {
    "plain": "res = go()",
    "recursionlimit": "sys.setrecursionlimit(10**7)\nres = go()",
    "small-thread": "sys.setrecursionlimit(10**7)\nthreading.stack_size(512 * 1024)\n"
                    "box = []\nt = threading.Thread(target=lambda: box.append(go()))\n"
                    "t.start()\nt.join()\nres = box[0]",
}


@pytest.mark.parametrize("mode", DEPTH_MODES)
@pytest.mark.parametrize("builder", BUILDERS)
def test_unbounded_depth_raises_and_process_survives(builder, mode):
    # indent=0 keeps the text linear in the depth whatever limit applies.
    code = ATTEMPT + BUILDERS[builder] + """
def go():
    return attempt([lambda: orrery.pretty_format(x, indent=0),
                    lambda: orrery.pretty_print(x, indent=0),
                    lambda: orrery.Pretty(0).format(x)], Exception) + [
        "sane" if orrery.pretty_format([1]) == "[\\n    1,\\n]" else "broken"]
""" + DEPTH_MODES[mode] + "\nsys.stderr.write('MARK ' + ' '.join(res) + '\\n')\n"
    rc, _, err = run(code, stdout=subprocess.DEVNULL, timeout=120)
    words = last_line(err).split()
    assert rc == 0 and words[:1] == ["MARK"] and len(words) == 5, err[-2000:]
    assert "returned" not in words and words[-1] == "sane", words


def test_self_containing_list_under_the_default_limit():
    # Below 3.14 the interpreter's recursion guard counts nested calls, so the
    # default limit ends the descent after a thousand levels. From 3.14 it
    # measures the native stack instead, and a main thread's stack usually
    # holds the 16,384 levels after which indent 4 meets the indentation limit.
    rc, _, err = run(ATTEMPT + """
x = []
x.append(x)
res = attempt([lambda: orrery.pretty_print(x), lambda: orrery.Pretty().print(x)],
              (RecursionError, OverflowError))
sys.stderr.write("MARK " + " ".join(res) + "\\n")
""", stdout=subprocess.DEVNULL, timeout=60)
    words = last_line(err).split()
    assert rc == 0 and words[:1] == ["MARK"] and len(words) == 3, err[-2000:]
    ends = {"RecursionError"} if sys.version_info < (3, 14) else {"RecursionError", "OverflowError"}
    assert set(words[1:]) <= ends, words


@pytest.mark.parametrize("indent", [2**64 - 1, 2**40])
def test_huge_indent_fails_promptly(indent):
    # Capping the address space 4 GiB above its current size turns a runaway
    # allocation into a failure instead of swamping the machine.
    rc, _, err = run(ATTEMPT + f"""
cap = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize() + (4 << 30)
resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
N = {indent}
assert orrery.pretty_format(5, indent=N) == "5"
assert orrery.pretty_format([], indent=N) == "[]"
res = attempt([lambda: orrery.pretty_format([[1]], indent=N),
               lambda: orrery.pretty_print([[1]], indent=N),
               lambda: orrery.Pretty(N).format([[1]]),
               lambda: orrery.pretty_format({{1: [1]}}, indent=N)],
              (OverflowError, MemoryError))
# The child's own peak (ru_maxrss would include the parent's, inherited at fork).
rss_kib = int(next(l.split()[1] for l in open("/proc/self/status") if l.startswith("VmHWM:")))
sys.stderr.write("MARK %d %s\\n" % (rss_kib, " ".join(res)))
""", stdout=subprocess.DEVNULL, timeout=20)
    words = last_line(err).split()
    assert rc == 0 and words[:1] == ["MARK"] and len(words) == 6, err[-2000:]
    assert "returned" not in words
    assert int(words[1]) < 512 * 1024, "peak RSS %s KiB" % words[1]
