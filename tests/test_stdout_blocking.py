"""Printing while standard output is a pipe that fills up: other threads, a
reader in the same process and signal handlers keep running. Every case runs
in a child process with a timeout, so a hang fails instead of stalling."""

import json
import os
import re
import subprocess
import sys

import pytest

from childproc import run

# Each call writes far more than a pipe holds (64 KiB); the second element is
# the text it prints.
CALLS = {
    "pretty_print": ("orrery.pretty_print(DOC)", "orrery.pretty_format(DOC) + '\\n'"),
    "Pretty.print": ("orrery.Pretty(2).print(DOC)", "orrery.Pretty(2).format(DOC) + '\\n'"),
    "print_escaped_bytes": ("orrery.print_escaped_bytes(BLOB)", "orrery.format_escaped_bytes(BLOB) + '\\n'"),
}

PRELUDE = """
import json, os, signal, sys, threading, time, orrery
DOC = [list(range(i, i + 4)) for i in range(0, 40000, 4)]
BLOB = bytes(range(256)) * 300

def report(**kw):
    sys.stderr.write(json.dumps(kw) + "\\n")

def drain(fd, chunks, pause=0.0):
    while True:
        data = os.read(fd, 65536)
        if not data:
            return
        chunks.append(data)
        time.sleep(pause)

def pipe_on_stdout():
    r, w = os.pipe()
    saved = os.dup(1)
    os.dup2(w, 1)
    os.close(w)
    return r, saved
"""

CAPTURES = {
    "wurlitzer": """
import wurlitzer
with wurlitzer.pipes() as (out, _):
    CALL
got = out.read()
""",
    "pipe-and-thread": """
r, saved = pipe_on_stdout()
chunks = []
reader = threading.Thread(target=drain, args=(r, chunks))
reader.start()
CALL
os.dup2(saved, 1)  # closes the pipe's last write end: the reader sees its end
reader.join()
got = b"".join(chunks).decode()
""",
}


def child_report(code, timeout=60):
    rc, _, err = run(PRELUDE + code, stdout=subprocess.DEVNULL, timeout=timeout)
    lines = err.decode(errors="replace").strip().splitlines()
    assert rc == 0 and lines, err[-3000:]
    return json.loads(lines[-1])


@pytest.mark.parametrize("capture", CAPTURES)
@pytest.mark.parametrize("call", CALLS)
def test_in_process_capture_does_not_hang(capture, call):
    if capture == "wurlitzer":
        pytest.importorskip("wurlitzer")
    statement, expected = CALLS[call]
    rep = child_report(CAPTURES[capture].replace("CALL", statement)
                       + f"report(same=got == {expected}, size=len(got))\n")
    assert rep["same"], rep
    assert rep["size"] > 100_000


def test_other_threads_run_while_stdout_is_full():
    # The reader starts late, so the main thread's print waits on a full
    # pipe meanwhile; a heartbeat keeps beating and a second printer waits
    # for the sink without stopping anyone.
    rep = child_report("""
r, saved = pipe_on_stdout()
beats, done, chunks = [0], threading.Event(), []
def heartbeat():
    while not done.is_set():
        beats[0] += 1
        time.sleep(0.001)
def late_reader():
    time.sleep(0.5)
    drain(r, chunks)
def second_printer():
    for _ in range(200):
        orrery.pretty_print([1, 2])
threads = [threading.Thread(target=f) for f in (heartbeat, late_reader)]
[t.start() for t in threads]
printer = threading.Thread(target=second_printer)
start, first = time.monotonic(), beats[0]
printer.start()
orrery.pretty_print(DOC)
beaten, took = beats[0] - first, time.monotonic() - start
printer.join()
done.set()
os.dup2(saved, 1)
[t.join() for t in threads]
got = b"".join(chunks).decode()
want = orrery.pretty_format(DOC) + "\\n" + "[\\n    1,\\n    2,\\n]\\n" * 200
report(beaten=beaten, took=took, same_bytes=sorted(got) == sorted(want))
""")
    assert rep["same_bytes"], rep
    assert rep["took"] >= 0.4, rep  # the print really waited for the reader
    assert rep["beaten"] >= 20, rep


# What the SIGALRM handler does, one second into a print on a pipe that
# nobody reads, and what the print then raises.
HANDLERS = {
    "raises": ("raise KeyboardInterrupt", "KeyboardInterrupt"),
    "starts-reader": ("readers.append(threading.Thread(target=drain, args=(r, chunks))); readers[-1].start()",
                      None),
    "prints": ("orrery.pretty_print('from the handler')", "RuntimeError"),
}


@pytest.mark.parametrize("handler", HANDLERS)
@pytest.mark.parametrize("call", CALLS)
def test_signal_handler_runs_while_print_waits(handler, call, tmp_path):
    body, raised = HANDLERS[handler]
    statement, expected = CALLS[call]
    after = tmp_path / "after.txt"
    rep = child_report(f"""
r, saved = pipe_on_stdout()
chunks, readers = [], []
def handler(signum, frame):
    {body}
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 1.0)
start, raised = time.monotonic(), None
try:
    {statement}
except BaseException as e:
    raised = type(e).__name__
took = time.monotonic() - start
if raised:
    # Whatever the pipe holds, then what stayed buffered, written by the
    # next print: nothing lost, nothing twice.
    os.set_blocking(r, False)
    try:
        drain(r, chunks)
    except BlockingIOError:
        pass
    os.dup2(os.open({str(after)!r}, os.O_WRONLY | os.O_CREAT), 1)
    orrery.pretty_print("end")
    got = b"".join(chunks).decode() + open({str(after)!r}).read()
    want = ({expected})[:len(got) - 6] + "'end'\\n"
else:
    os.dup2(saved, 1)
    [t.join() for t in readers]
    got, want = b"".join(chunks).decode(), {expected}
report(raised=raised, took=took, same=got == want, size=len(got))
""", timeout=30)
    assert rep["raised"] == raised, rep
    assert rep["same"], rep
    if raised:
        assert 0.9 <= rep["took"] < 4, rep


def test_mutation_while_print_waits_keeps_pieces_whole():
    # Items render without Python code, so another thread can only run
    # during a print while a write waits with the interpreter lock released.
    rep = child_report(r"""
import gc, re, weakref
class Item:
    pass
items = [Item() for _ in range(2000)]
refs = [weakref.ref(i) for i in items]
shared_list = items[:1000]
shared_dict = {i: items[1000 + i] for i in range(1000)}
r, saved = pipe_on_stdout()
chunks, stop, mutations = [], threading.Event(), [0]
def mutate():
    k = 1000
    while not stop.is_set():
        shared_list.append(shared_list.pop(0))
        if len(shared_dict) >= 1000:
            shared_dict.pop(next(iter(shared_dict)))
        else:
            shared_dict[k] = items[1000 + k % 1000]
            k += 1
        mutations[0] += 1
        time.sleep(0)
threads = [threading.Thread(target=drain, args=(r, chunks, 0.001)), threading.Thread(target=mutate)]
[t.start() for t in threads]
overlapped, faults = 0, set()
for n in range(40):
    before = mutations[0]
    try:
        orrery.pretty_print(shared_dict if n % 2 else shared_list)
    except BaseException as e:  # the dict changed while it was walked
        faults.add(type(e).__name__)
        orrery.print_escaped_bytes(b"!")  # ends the unfinished line
    overlapped += mutations[0] > before
stop.set()
os.dup2(saved, 1)
[t.join() for t in threads]
item = r"<__main__\.Item object at 0x[0-9a-f]+>"
line = re.compile(rf"[\[\]{{}}]|    (\d+: )?{item},|\\x21")
bad = [l for l in b"".join(chunks).decode()[:-1].split("\n") if not line.fullmatch(l)]
del items, shared_list, shared_dict
gc.collect()
report(overlapped=overlapped, faults=sorted(faults), bad=bad[:5], alive=sum(w() is not None for w in refs))
""")
    assert rep["bad"] == [], rep
    assert rep["alive"] == 0, rep
    assert set(rep["faults"]) <= {"PanicException"}, rep
    assert rep["overlapped"] >= 10, rep


STRACE = "/usr/bin/strace"


def traced_writes(code, out_path, trace_path, inject=None):
    """Run `code` under strace with stdout on a file; returns the sizes of
    the writes to file descriptor 1 and the index among all write(2) calls
    of each."""
    cmd = [STRACE, "-f", "-e", "trace=write", "-o", str(trace_path)]
    if inject is not None:
        cmd += ["-e", f"inject=write:error=ENOSPC:when={inject}"]
    with open(out_path, "wb") as f:
        proc = subprocess.run(cmd + [sys.executable, "-B", "-c", code], stdin=subprocess.DEVNULL,
                              stdout=f, stderr=subprocess.PIPE, timeout=120)
    if not trace_path.exists() or b"ptrace" in proc.stderr.lower():
        pytest.skip("strace cannot trace here: %r" % proc.stderr[-200:])
    assert proc.returncode == 0, proc.stderr
    calls = re.findall(r"\bwrite\((\d+), .*\)\s+= (-?\d+)", trace_path.read_text(errors="replace"))
    return [(i + 1, int(size)) for i, (fd, size) in enumerate(calls) if fd == "1"]


@pytest.mark.skipif(not os.path.exists(STRACE), reason="no strace")
def test_a_run_of_spaces_is_one_fragment(tmp_path):
    # At indent 600 the inner list's element line starts with two runs of
    # 600 spaces: the first fills the buffer to 600, the second does not fit
    # and flushes the first on its own before it is buffered whole.
    code = "import orrery\ntry:\n    orrery.pretty_print([[1]], indent=600)\nexcept OSError:\n    pass\n" \
           "orrery.pretty_print('end')\n"
    out, trace = tmp_path / "out.bin", tmp_path / "trace.txt"
    writes = traced_writes(code, out, trace)
    assert [n for _, n in writes] == [2, 602, 600, 603, 603, 2, 6]
    # That flush fails: the first run stays buffered, and only it, until the
    # next print writes it.
    failing = next(i for i, n in writes if n == 600)
    traced_writes(code, out, trace, inject=failing)
    assert out.read_bytes() == b"[\n" + b" " * 600 + b"[\n" + b" " * 600 + b"'end'\n"


def test_signal_during_rendering_is_handled_before_a_wait():
    # The alarm goes off while output still flows (to a reader in another
    # process, so nothing needs the interpreter lock); the reader is stopped
    # later, and the print's first waiting write runs the pending handler.
    rep = child_report("""
import subprocess
r, w = os.pipe()
cat = subprocess.Popen(["cat"], stdin=r, stdout=subprocess.DEVNULL)
os.close(r)
os.dup2(w, 1)
os.close(w)
stopper = subprocess.Popen(["sh", "-c", "sleep 1; kill -STOP %d" % cat.pid])
def handler(signum, frame):
    raise KeyboardInterrupt
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.5)
big = list(range(10000))
start, raised = time.monotonic(), None
try:
    orrery.pretty_print([big] * 3000)
except KeyboardInterrupt:
    raised = time.monotonic() - start
stopper.wait()
cat.kill()
report(raised=raised)
""", timeout=30)
    assert rep["raised"] is not None and rep["raised"] < 5, rep


def test_dict_emptied_while_its_key_waits_keeps_the_value(monkeypatch):
    # A key longer than the pipe holds is written while its line is still
    # open; a signal handler run during that wait empties the dict, which
    # held the value's only reference. The value is still written, then the
    # walk reports the change. Freed memory is poisoned in the child, so a
    # value read after its release shows up as a crash or wrong text.
    monkeypatch.setenv("PYTHONMALLOC", "debug")
    rep = child_report(r"""
r, saved = pipe_on_stdout()
chunks, readers = [], []
doc = {"k" * 200000: "v" * 40 + str(os.getpid())}
def handler(signum, frame):
    doc.clear()
    reader = threading.Thread(target=drain, args=(r, chunks))
    reader.start()
    readers.append(reader)
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.3)
raised = None
try:
    orrery.pretty_print(doc)
except BaseException as e:
    raised = type(e).__name__
os.dup2(saved, 1)
[t.join() for t in readers]
got = b"".join(chunks).decode()
report(raised=raised, value=("'" + "v" * 40 + str(os.getpid()) + "',\n") in got)
""", timeout=30)
    assert rep == {"raised": "PanicException", "value": True}, rep


# (print_escaped_bytes flushes whole kilobytes, which a terminal's buffer
# never splits.)
@pytest.mark.parametrize("call", ["pretty_print", "Pretty.print"])
def test_part_of_a_flush_taken_then_a_handler_raises(call, tmp_path):
    # A terminal whose buffer fills takes part of a write, so a flush of the
    # line buffer goes out in part; the alarm's handler then raises while
    # the rest waits. The rest stays buffered and the next print writes it
    # first: what the terminal and then the file got is the text up to the
    # end of a line, then the next print's text.
    statement, expected = CALLS[call]
    after = tmp_path / "after.txt"
    rep = child_report(f"""
import pty, tty
master, slave = pty.openpty()
tty.setraw(slave)  # bytes pass unchanged
os.dup2(slave, 1)
os.close(slave)
def handler(signum, frame):
    raise KeyboardInterrupt
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.5)
try:
    {statement}
except KeyboardInterrupt:
    pass
else:
    raise SystemExit("the print did not wait")
# Closing the terminal's last descriptor ends the master's data.
os.dup2(os.open({str(after)!r}, os.O_WRONLY | os.O_CREAT), 1)
chunks = []
try:
    drain(master, chunks)
except OSError:
    pass
orrery.pretty_print("end")
shown, rest = b"".join(chunks).decode(), open({str(after)!r}).read()
text = {expected}
report(shown=len(shown), taken=shown + rest[:-6], text=text[:len(shown) + len(rest)], end=rest[-6:])
""", timeout=30)
    taken, text = rep["taken"], rep["text"]
    assert rep["end"] == "'end'\n", rep["end"]
    assert text.startswith(taken), (len(taken), taken[-80:], text[len(taken) - 80:len(taken) + 80])
    assert taken.endswith("\n"), taken[-80:]
    assert rep["shown"] > 1000, rep["shown"]
