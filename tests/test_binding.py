"""Argument binding, conversion of indent and obj, and the rewording of conversion errors."""
import operator

import pytest

from orrery import Pretty, format_escaped_bytes, pretty_format, pretty_print, print_escaped_bytes

P = Pretty()
MISSING = "{} missing 1 required positional argument: 'obj'"
TOO_MANY = "{} takes {} positional arguments but {} were given"
MULTIPLE = "{} got multiple values for argument '{}'"
UNEXPECTED = "{} got an unexpected keyword argument '{}'"

CASES = [
    # missing obj, also when only indent is given
    (pretty_format, (), {}, MISSING.format("pretty_format()")),
    (pretty_format, (), {"indent": 2}, MISSING.format("pretty_format()")),
    (pretty_print, (), {"indent": 2}, MISSING.format("pretty_print()")),
    (format_escaped_bytes, (), {}, MISSING.format("format_escaped_bytes()")),
    (print_escaped_bytes, (), {}, MISSING.format("print_escaped_bytes()")),
    # too many positional arguments; keywords are not looked at then
    (pretty_format, (1, 2, 3), {}, TOO_MANY.format("pretty_format()", "from 1 to 2", 3)),
    (pretty_format, (1, 2, 3), {"foo": 1}, TOO_MANY.format("pretty_format()", "from 1 to 2", 3)),
    (format_escaped_bytes, (b"a", b"b"), {}, TOO_MANY.format("format_escaped_bytes()", 1, 2)),
    (print_escaped_bytes, (b"a", b"b"), {"obj": 1}, TOO_MANY.format("print_escaped_bytes()", 1, 2)),
    # a second value for a parameter
    (pretty_format, (1,), {"obj": 2}, MULTIPLE.format("pretty_format()", "obj")),
    (pretty_format, (1, 2), {"indent": 3}, MULTIPLE.format("pretty_format()", "indent")),
    # keywords naming no parameter: exact byte match, the receiver is no parameter
    (pretty_format, (1,), {"foo": 2}, UNEXPECTED.format("pretty_format()", "foo")),
    (pretty_format, (), {"foo": 2}, UNEXPECTED.format("pretty_format()", "foo")),
    (pretty_format, (1,), {"inden": 2}, UNEXPECTED.format("pretty_format()", "inden")),
    (pretty_print, (1,), {"Indent": 2}, UNEXPECTED.format("pretty_print()", "Indent")),
    (format_escaped_bytes, (), {"bytes": b""}, UNEXPECTED.format("format_escaped_bytes()", "bytes")),
    (P.format, (1,), {"self": 2}, UNEXPECTED.format("Pretty.format()", "self")),
    # two faulty keywords: the first in the caller's order decides
    (pretty_format, (1,), {"obj": 2, "foo": 3}, MULTIPLE.format("pretty_format()", "obj")),
    (pretty_format, (1,), {"foo": 3, "obj": 2}, UNEXPECTED.format("pretty_format()", "foo")),
    (Pretty, (), {"bar": 2, "foo": 1}, UNEXPECTED.format("Pretty.__new__()", "bar")),
    # keyword names without UTF-8 text: lone surrogates shown as three U+FFFD
    (pretty_format, (1,), {"\udcff": 1}, UNEXPECTED.format("pretty_format()", "\ufffd" * 3)),
    (Pretty, (), {"a\udcff": 1}, UNEXPECTED.format("Pretty.__new__()", "a" + "\ufffd" * 3)),
]


@pytest.mark.parametrize("func, args, kwargs, message", CASES,
                         ids=lambda v: getattr(v, "__qualname__", None))
def test_binding_errors(func, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


class Index:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


@pytest.mark.parametrize("given, value", [(True, 1), (False, 0), (Index(3), 3), (2**64 - 1, None)])
def test_indent_accepted(given, value):
    assert pretty_format(1, indent=given) == "1"
    if value is not None:
        assert pretty_format([[1]], indent=given) == pretty_format([[1]], indent=value)
        assert Pretty(given).indent == value


class Chained:
    cause = KeyError("k")

    def __index__(self):
        raise TypeError("x") from self.cause


@pytest.mark.parametrize("func", [lambda v: pretty_format(1, v), lambda v: Pretty(indent=v)])
@pytest.mark.parametrize("bad", [None, 2.5, Index(2.5), Chained()])
def test_plain_type_error_reworded(func, bad):
    with pytest.raises(TypeError) as original:
        operator.index(bad)
    with pytest.raises(TypeError) as info:
        func(bad)
    assert type(info.value) is TypeError and info.value is not original.value
    assert str(info.value) == "argument 'indent': " + str(original.value)
    # the rewording keeps the cause of the original, never the original itself
    assert info.value.__cause__ is original.value.__cause__
    assert info.value.__suppress_context__


class TypeErrorChild(TypeError):
    pass


VALUE_ERROR, CHILD_ERROR, OVERFLOW = ValueError("v"), TypeErrorChild("t"), OverflowError("o")


@pytest.mark.parametrize("given, exc, same", [
    (-1, OverflowError, None), (2**64, OverflowError, None),
    (Index(VALUE_ERROR), ValueError, VALUE_ERROR),
    (Index(CHILD_ERROR), TypeErrorChild, CHILD_ERROR),
    (Index(OVERFLOW), OverflowError, OVERFLOW),
])
def test_indent_errors_unchanged(given, exc, same):
    with pytest.raises(exc) as info:
        pretty_print(1, given)
    assert type(info.value) is exc
    assert not str(info.value).startswith("argument")
    if same is not None:
        assert info.value is same


def f():
    class C:
        pass
    return C()


class QualnameMeta(type):
    """Metaclass whose __qualname__ lookup yields, or raises, the class attribute `fake`."""
    def __getattribute__(cls, name):
        value = type.__getattribute__(cls, "fake" if name == "__qualname__" else name)
        if isinstance(value, BaseException):
            raise value
        return value


FAILED = "<failed to extract type name>"


@pytest.mark.parametrize("obj, shown", [
    (f(), "f.<locals>.C"),
    (QualnameMeta("Odd", (), {"fake": "a\udcffb"})(), "a\ufffd\ufffd\ufffdb"),
    (QualnameMeta("Odd", (), {"fake": 5})(), FAILED),
    (QualnameMeta("Odd", (), {"fake": AttributeError("gone")})(), FAILED),
])
def test_cast_message_type_name(obj, shown):
    with pytest.raises(TypeError) as info:
        format_escaped_bytes(obj)
    assert str(info.value) == f"argument 'obj': '{shown}' object cannot be cast as 'bytes'"
