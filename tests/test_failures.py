import gc
import subprocess
import sys

import pytest

import orrery

CHANGED = "dictionary changed size during iteration"
BANNER = "--- Tessel is resuming a panic after fetching a PanicException from Python. ---"
MUTATING = """
def mutating_dict():
    d = {}
    class Toggle:  # adds or removes a key of the dict being rendered
        def __repr__(self):
            d.pop("extra") if "extra" in d else d.setdefault("extra", 1)
            return "t"
    d["a"] = Toggle()
    return d
"""
exec(MUTATING)


def caught(obj=None, call=orrery.pretty_format):
    """The exception raised by rendering obj (by default a dict that mutates)."""
    try:
        call(mutating_dict() if obj is None else obj)  # noqa: F821
    except BaseException as e:
        return e
    pytest.fail("no exception")


def test_panic_exception_shape():
    e = caught()
    cls = type(e)
    assert str(e) == CHANGED and e.args == (CHANGED,)
    assert not isinstance(e, Exception) and cls.__bases__ == (BaseException,)
    assert cls.__module__ == "tessel_runtime" and cls.__name__ == "PanicException"
    e2 = caught(None, orrery.Pretty(2).format)
    assert type(caught()) is type(e2) is cls and e2.args == (CHANGED,)
    assert all(v is not cls for v in vars(orrery).values())
    doc = cls.__doc__
    assert doc.startswith("\n") and doc.endswith("\n") and (
        "\n\nLike SystemExit, this exception is derived from BaseException so that\n"
        "it will typically propagate all the way through the stack and cause the\n"
        "Python interpreter to exit.\n") in doc


RESUME_MAIN = """
import orrery
class Inner:
    def __repr__(self):
        return orrery.pretty_format(mutating_dict())
class BadStr:
    def __str__(self):
        raise ValueError("no text")
class Rewrap:  # re-raises the inner fault as a PanicException without a text
    def __repr__(self):
        try:
            repr(Inner())
        except BaseException as e:
            raise type(e)(BadStr())
try:
    orrery.pretty_format([OUTER()])
except BaseException as e:
    print(type(e).__module__, type(e).__name__, e.args)
"""


@pytest.mark.parametrize("outer, message", [
    ("Inner", CHANGED), ("Rewrap", "Unwrapped panic from Python code"),
])
def test_inner_panic_is_resumed(outer, message):
    script = MUTATING + RESUME_MAIN.replace("OUTER", outer)
    proc = subprocess.run([sys.executable, "-c", script],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "tessel_runtime PanicException (%r,)\n" % message
    assert proc.stderr.count(BANNER + "\nPython stack trace below:\n") == 1
    trace = proc.stderr.split("Python stack trace below:\n", 1)[1]
    assert "Traceback (most recent call last):" in trace and "PanicException" in trace


def raising_objects(err):
    def fail(self):
        raise err

    class BadRepr:
        __repr__ = fail

    class BadField:
        __dataclass_fields__ = {"x": None}
        x = property(fail)

    class BadClass:
        __dataclass_fields__ = {}
        __class__ = property(fail)

    return [BadRepr(), BadField(), BadClass()]


@pytest.mark.parametrize("index", range(3))
@pytest.mark.parametrize("make", [
    lambda: ValueError("v"), lambda: KeyboardInterrupt(), lambda: AttributeError("a"),
    # a subclass of the fault class is an ordinary exception: never resumed
    lambda: type("SubPanic", (type(caught()),), {})("custom"),
])
def test_python_exceptions_reach_caller_unchanged(index, make):
    exc = make()
    obj = raising_objects(exc)[index]
    for call in (orrery.pretty_format, orrery.Pretty(1).format):
        assert caught([1, {"k": obj}], call) is exc
        assert exc.__context__ is None
        exc.__traceback__ = None


def test_no_reference_leaks_on_failure():
    d = mutating_dict()  # noqa: F821
    exc = ValueError("reused")
    bad = raising_objects(exc)
    holder = [bad[0], {"k": bad[1]}, (bad[2],)]
    watched = [d, d["a"], exc, *holder, *bad]
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(1000):
        assert str(caught(d)) == CHANGED
        for obj in holder:
            assert caught([obj]) is exc
            exc.__traceback__ = None
    del obj
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before
