"""Drives every entry of the orrery module through its success and failure paths.

The memory checkers (valgrind.sh, debug_refcounts.sh) and tests/test_leaks.py
import this file; run as a script it makes ROUNDS passes and says how many:

    python scripts/exercise.py [ROUNDS] [SIZE]

A pass prints through file descriptor 1 (point it at /dev/null) and swaps that
descriptor for a moment for the broken-pipe, full-pipe and closed-descriptor
cases. What the module and the interpreter write to standard error on the way
(fault diagnostics, resumed-fault banners, unraisable reports) is silenced.
SIZE scales the large documents that fail after much text was produced, so
that a buffer or reference dropped on a failure path shows in memory use.
"""

import contextlib
import dataclasses
import os
import random
import signal
import sys
import threading
import time
import typing
import weakref

import orrery
from orrery import Pretty, format_escaped_bytes, pretty_format, pretty_print, print_escaped_bytes

CHANGED = "dictionary changed size during iteration"


class Boom(Exception):
    pass


class SubTypeError(TypeError):
    pass


def fail(*_):
    raise Boom("boom")


def expect(kinds, fn, *args, **kwargs):
    """Calls fn and returns the exception of one of `kinds` that it raised."""
    try:
        fn(*args, **kwargs)
    except kinds as e:
        e.__traceback__ = None  # no frame cycles left behind by a pass
        return e
    raise AssertionError("%r%r did not raise %r" % (fn, args, kinds))


def renderers():
    """Every rendering entry, as a one-argument call."""
    p = Pretty(2)
    return (pretty_format, pretty_print, p.format, p.print,
            lambda o: pretty_format(o, 0), lambda o: pretty_print(o, indent=3))


# ---------------------------------------------------------------- objects


@dataclasses.dataclass
class Point:
    x: object
    y: object = None


@dataclasses.dataclass
class Empty:
    pass


@dataclasses.dataclass
class Pseudo:
    """Class-variable and init-only entries are walked over, not shown."""

    x: object
    seed: dataclasses.InitVar[object]
    limit: typing.ClassVar[int] = 3
    extra: dataclasses.InitVar[int] = 0


@dataclasses.dataclass
class OnlyPseudo:
    limit: typing.ClassVar[int] = 3


class Halt(BaseException):
    """Not an ordinary error: the dataclass test lets it through."""


class Halting:
    @property
    def __dataclass_fields__(self):
        raise Halt("halt")


class BrokenKind(dataclasses.Field):
    __slots__ = ()
    _field_type = property(fail)


class BadFieldKind:
    """A Field subclass whose kind cannot be read."""

    __dataclass_fields__ = {"x": BrokenKind.__new__(BrokenKind)}
    x = 1


class BadRepr:
    __repr__ = fail


class Multiline:
    def __repr__(self):
        return "a\nb\n"


class Surrogates:
    def __repr__(self):
        return "x\ud800y\udfff"


class StrSub(str):
    __str__ = fail  # the repr text itself cannot be turned into text


class NoNameMeta(type):
    def __getattribute__(cls, name):
        if name in ("__name__", "__qualname__"):
            raise Boom(name)
        return super().__getattribute__(name)


class Nameless(StrSub, metaclass=NoNameMeta):
    pass


class BadQualMeta(type):
    def __getattribute__(cls, name):
        return 5 if name == "__qualname__" else super().__getattribute__(name)


class BadQual(metaclass=BadQualMeta):
    pass


class NoQual(metaclass=NoNameMeta):
    pass


class SurrogateQual:
    pass


SurrogateQual.__qualname__ = "Q\ud800"


class ReprReturns:
    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text


class IntSub(int):
    pass


class BytesSub(bytes):
    def __len__(self):
        raise AssertionError("never called")


class Index:
    """An indent with __index__: returns a value or raises a fresh exception."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        if self.v == "cause":
            raise TypeError("index") from KeyError("k")
        if isinstance(self.v, type):
            raise self.v("index")
        return self.v


class FieldsList:
    __dataclass_fields__ = ["x"]


class FirstReadFails:
    __dataclass_fields__ = property(fail)


class SecondReadFails:
    x = 1

    def __init__(self):
        self.reads = 0

    @property
    def __dataclass_fields__(self):
        self.reads += 1
        if self.reads % 2 == 0:
            raise Boom("second read")
        return {"x": None}


class MissingField:
    __dataclass_fields__ = {"gone": None}


class BadStr:
    __str__ = fail


class BadFieldName:
    __dataclass_fields__ = {BadStr(): None}


class SurrogateField:
    __dataclass_fields__ = {"f\ud800": None}

    def __init__(self):
        setattr(self, "f\ud800", [1])


class BadClass:
    __dataclass_fields__ = {}
    __class__ = property(fail)


class Named:
    def __init__(self, name):
        self.__name__ = name


class OddClass:
    """A dataclass look-alike whose __class__ is any object with a __name__."""

    __dataclass_fields__ = {"x": None}
    x = 1

    def __init__(self, name):
        self.name = name

    @property
    def __class__(self):
        return Named(self.name)


class Toggle:
    """Adds or removes a key of the dict it belongs to when rendered."""

    def __init__(self, d):
        self.d = d

    def __repr__(self):
        self.d.pop("extra") if "extra" in self.d else self.d.setdefault("extra", 1)
        return "t"


class Swap:
    """Replaces another key of its dict, keeping the dict's size."""

    def __init__(self, d):
        self.d = d

    def __repr__(self):
        key = next(k for k in self.d if k != "swap")
        self.d[key + "+"] = self.d.pop(key)
        return "s"


def mutating_dict():
    d = {"a": 1}
    d["b"] = Toggle(d)
    return d


def swapping_dict():
    d = {"k": 0}
    d["swap"] = Swap(d)
    return d


class MutatingFields:
    def __init__(self):
        self.__dataclass_fields__ = {"x": None}
        self.x = Toggle(self.__dataclass_fields__)


class Shrinker:
    def __init__(self, items):
        self.items = items

    def __repr__(self):
        self.items.clear()
        return "shrunk"


class Grower:
    def __init__(self, items):
        self.items = items

    def __repr__(self):
        self.items.append(len(self.items))
        return "grew"


class Inner:
    """Lets the fault of a nested call pass: the outer call resumes it."""

    def __repr__(self):
        return pretty_format(mutating_dict())


class Rewrap:
    """Re-raises the nested fault with an argument whose str() fails."""

    def __repr__(self):
        try:
            repr(Inner())
        except BaseException as e:
            raise type(e)(BadStr()) from None


class RaiseSubPanic:
    def __repr__(self):
        raise panic_class("SubPanic")("sub")


class SetIndent:
    def __init__(self, p):
        self.p = p

    def __repr__(self):
        self.p.indent = 1
        return "unreachable"


class Nested:
    """Uses its printer again (shared uses) and the sink re-entrantly."""

    def __init__(self, p):
        self.p = p

    def __repr__(self):
        pretty_print([self.p.indent])
        return self.p.format({"n": [self.p.indent]}) + str(self.p.indent)


_panic = {}


def panic_class(name="PanicException"):
    """The module's fault class (met through a caught fault) or a subclass of it."""
    if not _panic:
        cls = _panic["PanicException"] = type(expect(BaseException, pretty_format, mutating_dict()))
        _panic["SubPanic"] = type("SubPanic", (cls,), {})
    return _panic[name]


def leaves():
    rng = random.Random(7)
    ranges = [(0, 0x7f), (0x80, 0xff), (0x100, 0x2fff), (0xd7f0, 0xe010), (0xfff0, 0x10ffff)]
    strings = ["", "'", '"', "'\"", "\\", "\n\r\t\x00\x1f\x7f\x80\x9f\xa0\xad", "é", "\u2028\u0378\ufeff",
               "\ud800\udfff", "\U0001f600\U000e0001\U0010ffff", "x" * 5000, "\u0100" * 3000]
    for _ in range(40):
        lo, hi = rng.choice(ranges)
        strings.append("".join(chr(rng.randint(lo, hi)) for _ in range(rng.randint(1, 40))))
    numbers = [0, -1, 2**63 - 1, -2**63, 2**63, -2**63 - 1, 10**40, True, False, None,
               0.0, -0.0, 1.5, 0.1, 1 / 3, 1e15, 1e16, 1e-4, 1e-5, 1e22, 1e-320, 5e-324,
               1.7976931348623157e308, float("inf"), float("-inf"), float("nan"), 123456789012345678.0]
    numbers += [rng.uniform(-1e6, 1e6) for _ in range(20)] + [rng.getrandbits(64) - 2**63 for _ in range(20)]
    return strings + numbers


LEAVES = leaves()
BAD_INDENTS = [None, 1.5, "4", -1, 2**64, Index(ValueError), Index(TypeError), Index(SubTypeError),
               Index("cause"), Index("x")]


# ---------------------------------------------------------------- descriptors


@contextlib.contextmanager
def silenced():
    """Sends standard error (descriptor 2 and sys.stderr) to /dev/null."""
    sys.stderr.flush()
    saved = os.dup(2)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 2)
    os.close(null)
    old, sys.stderr = sys.stderr, open(os.devnull, "w")
    try:
        yield
    finally:
        sys.stderr.close()
        sys.stderr = old
        os.dup2(saved, 2)
        os.close(saved)


@contextlib.contextmanager
def stdout_to(fd):
    """Points descriptor 1 at fd (None: closed) for the duration."""
    saved = os.dup(1)
    if fd is None:
        os.close(1)
    else:
        os.dup2(fd, 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def full_pipe():
    r, w = os.pipe()
    os.set_blocking(w, False)
    for n in (65536, 4096, 256, 16, 1):
        with contextlib.suppress(BlockingIOError):
            while True:
                os.write(w, b"x" * n)
    return r, w


PRINTS = [(pretty_print, [[1, "two"], {"k": (3,)}]), (lambda o: Pretty(1).print(o), [1, [2]]),
          (print_escaped_bytes, b"\x00abc\xff" * 300), (pretty_print, "x" * 3000)]


# ---------------------------------------------------------------- cases


def case_render_success(size):
    doc = {"points": [Point(i, [i, str(i)]) for i in range(size)], "empty": [[], {}, (), Empty()],
           (1, 2): ("tuple key", (None,)), "set": {1, 2}, "bytes": b"\x00\xff", "class": Empty,
           "classes": [Point, Pseudo], "pseudo": [Pseudo([1], seed=2), OnlyPseudo()],
           "odd": [Multiline(), Surrogates(), IntSub(7), "y" * ((1 << 20) + 1)],
           "fields": [SurrogateField(), OddClass("N\ud800"), OddClass(5)], "leaves": LEAVES}
    text = pretty_format(doc, 2)
    assert text == Pretty(2).format(doc) and "\ufffd\ufffd\ufffd" in text
    for r in renderers():
        r(doc)
    for leaf in LEAVES:
        assert pretty_format(leaf) == repr(leaf), leaf
    assert pretty_format(FirstReadFails()).startswith("<")
    assert pretty_format([ReprReturns("r")], indent=True) == "[\n r,\n]"
    assert pretty_format([1], indent=Index(3)) == "[\n   1,\n]"
    assert pretty_format(5, 2**64 - 1) == "5" and pretty_format([], indent=2**64 - 1) == "[]"
    with silenced():  # str() of the repr text fails: placeholder and unraisable report
        assert pretty_format([ReprReturns(StrSub("s")), ReprReturns(Nameless("n"))]) == \
            "[\n    <unprintable StrSub object>,\n    <unprintable object>,\n]"


def case_render_failures(size):
    big = [Point(i, str(i)) for i in range(size)]
    failing = [BadRepr(), FieldsList(), SecondReadFails(), MissingField(), BadFieldName(), BadClass(),
               OddClass(BadStr()), BadFieldKind(), Halting(), [BadRepr()]]
    for r in renderers():
        for obj in failing:
            expect((Boom, Halt, TypeError, AttributeError), r, big + [{"k": (obj,)}])
    for n in (2**64 - 1, 65536):
        for f in (lambda o: pretty_format(o, n), lambda o: pretty_print(o, n), Pretty(n).format, Pretty(n).print):
            expect((OverflowError, MemoryError), f, [[1]])
    p = Pretty(2)
    assert expect(RuntimeError, p.format, [SetIndent(p)]).args == ("Already borrowed",)
    p.indent = 3
    p.print([Nested(p)])


def on_thread(stack_size, fn):
    """Runs fn on a new thread with the given stack size and returns its result."""
    box = []
    threading.stack_size(stack_size)
    try:
        t = threading.Thread(target=lambda: box.append(fn()))
        t.start()
        t.join()
    finally:
        threading.stack_size(0)
    assert len(box) == 1, "the thread failed"
    return box[0]


_deep = []


def deep_list():
    """A list nested 100,000 levels deep, built once per process: building and
    dropping it every round would leave the interpreter's small-object arenas
    pinned by whatever else was allocated meanwhile, and memory would creep."""
    if not _deep:
        deep = []
        for _ in range(100_000):
            deep = [deep]
        _deep.append(deep)
    return _deep[0]


def case_recursion(size):
    # A container that holds itself, on a thread with a 1 MiB stack: below 3.14
    # the default recursion limit stops it after a thousand levels, from 3.14
    # (where the interpreter's guard measures the stack instead of counting
    # calls) the stack does soon after; RecursionError either way. On a main
    # thread's 8 MiB stack a 3.14 cycle would run on to the indentation limit
    # instead, through about a gigabyte of text at indent 4 (see
    # tests/test_stdout.py), which is no use to a memory check.
    loop = [1]
    loop.append({"self": loop, "t": (loop,)})
    on_thread(1 << 20, lambda: [expect(RecursionError, r, loop) for r in renderers()])
    deep = deep_list()
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(10**7)
    try:
        expect(RecursionError, pretty_format, deep, 0)
        on_thread(512 * 1024, lambda: expect(RecursionError, pretty_print, deep, 0))
    finally:
        sys.setrecursionlimit(limit)


def case_panics(size):
    big = [str(i) for i in range(size)]
    cls = panic_class()
    for r in renderers():
        for make, message in ((mutating_dict, CHANGED), (swapping_dict, None), (MutatingFields, CHANGED),
                              (lambda: [Inner()], CHANGED), (lambda: [Rewrap()], "Unwrapped panic from Python code")):
            e = expect(BaseException, r, big + [make()])
            assert type(e) is cls and (message is None or e.args == (message,)), e
        assert type(expect(BaseException, r, [RaiseSubPanic()])).__name__ == "SubPanic"
        items = list(range(5))
        r([1, Shrinker(items), *items])
        items = list(range(5))
        r([Grower(items), *items])


def case_binding(size):
    p = Pretty()
    calls = [(f, args, kw) for f, one in ((pretty_format, 1), (pretty_print, 1), (format_escaped_bytes, b"a"),
                                          (print_escaped_bytes, b"a"))
             for args, kw in [((), {}), ((one, 2, 3), {}), ((one, 2, 3), {"foo": 1}), ((one,), {"obj": one}),
                              ((one,), {"foo": 2}), ((one,), {"\ud800": 2}), ((), {"indent": 2}),
                              ((one,), {"obj": 2, "foo": 3}), ((one,), {"foo": 3, "obj": 2})]]
    calls += [(Pretty, (1, 2), {}), (Pretty, (), {"foo": 1, "bar": 2}), (Pretty, (), {"\ud800": 1}),
              (Pretty, (1,), {"indent": 2}), (p.format, (), {}), (p.format, (1, 2), {}), (p.print, (), {}),
              (p.print, (1,), {"obj": 1}), (Pretty.format, (5, 1), {}), (Pretty.indent.__set__, (5, 1), {}),
              (weakref.ref, (p,), {}), (setattr, (p, "extra", 1), {}), (delattr, (p, "indent"), {})]
    for f, args, kw in calls:
        expect((TypeError, AttributeError), f, *args, **kw)
    for bad in BAD_INDENTS:
        kinds = (TypeError, OverflowError, ValueError)
        for f in (lambda v: pretty_format([1], v), lambda v: pretty_print([1], indent=v), Pretty,
                  lambda v: setattr(p, "indent", v)):
            expect(kinds, f, bad)
    for obj in (bytearray(b"a"), memoryview(b"a"), "s", None, 5, NoQual(), BadQual(), SurrogateQual()):
        expect(TypeError, format_escaped_bytes, obj)
        expect(TypeError, print_escaped_bytes, obj=obj)
    p.indent = True
    p.indent = Index(2)
    assert p.indent == 2 and Pretty(indent=IntSub(3)).indent == 3
    assert pretty_format(obj=[]) == "[]" and Pretty().format(obj=[1]) == "[\n    1,\n]"


def case_escaped(size):
    data = bytes(range(256)) * max(1, size // 64)
    for b in (b"", b"ABC", data, BytesSub(b"\x00sub")):
        text = format_escaped_bytes(b)
        assert text == "".join("\\x%02x" % c for c in bytes(b))
        print_escaped_bytes(b)


def case_stdout_failures(size):
    r, w = os.pipe()
    os.close(r)
    with stdout_to(w):
        for f, obj in PRINTS:
            assert expect(BrokenPipeError, f, obj).errno is None
    os.close(w)
    r, w = full_pipe()
    with stdout_to(w):
        for f, obj in PRINTS:
            expect(BlockingIOError, f, obj)
    os.close(r)
    os.close(w)
    with stdout_to(None):
        for f, obj in PRINTS:
            f(obj)
    pretty_print("flushes what the failures left")


def interrupt(signum, frame):
    raise KeyboardInterrupt


def print_from_handler(signum, frame):
    pretty_print("refused: its thread is inside a write")


def case_stdout_waits(size):
    """Writes that wait for a reader in this process (with the interpreter
    lock released) while another thread waits for the sink, and waits on a
    pipe nobody reads that a signal handler ends."""
    doc = [list(range(100))] * 200  # far more than a pipe holds
    r, w = os.pipe()

    def drain():
        while os.read(r, 4096):
            time.sleep(0.0005)

    with stdout_to(w):
        reader = threading.Thread(target=drain)
        reader.start()
        other = threading.Thread(target=lambda: [f(obj) for f, obj in PRINTS])
        other.start()
        pretty_print(doc)
        print_escaped_bytes(bytes(range(256)) * 100)
        other.join()
    os.close(w)
    reader.join()
    os.close(r)
    for handler, kind in ((interrupt, KeyboardInterrupt), (print_from_handler, RuntimeError)):
        r, w = os.pipe()
        previous = signal.signal(signal.SIGALRM, handler)
        try:
            with stdout_to(w):
                signal.setitimer(signal.ITIMER_REAL, 0.05)
                expect(kind, pretty_print, doc)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
            os.close(r)
            os.close(w)
    pretty_print("flushes what the interrupted prints left")


def case_module(size):
    module = sys.modules.pop("orrery")
    try:
        import orrery as again
        assert again is module and len(again.__all__) == 5
    finally:
        sys.modules["orrery"] = module


def case_subinterpreter(size):
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        return
    interp = interpreters.create()
    try:  # the module refuses a second interpreter: ImportError inside it
        expect(getattr(interpreters, "RunFailedError", Exception), interpreters.run_string, interp, "import orrery")
    finally:
        interpreters.destroy(interp)


CASES = [case_render_success, case_render_failures, case_recursion, case_panics, case_binding,
         case_escaped, case_stdout_failures, case_stdout_waits, case_module]
# Run once per process only: interpreter creation has costs of its own.
ONCE = [case_subinterpreter]


def run_round(size=50, cases=CASES):
    with silenced():
        for case in cases:
            case(size)


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 1
    size = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    run_round(size, CASES + ONCE)
    for _ in range(rounds - 1):
        run_round(size)
    sys.stderr.write("exercise: %d rounds of %d cases passed\n" % (rounds, len(CASES)))


if __name__ == "__main__":
    main()
