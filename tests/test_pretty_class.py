import gc
import sys

import pytest
from hypothesis import given, settings, strategies as st

import orrery
from orrery import Pretty

NEW = "Pretty.__new__() "


@pytest.mark.parametrize("args, kwargs, exc, message", [
    ((1, 2), {}, TypeError, NEW + "takes from 0 to 1 positional arguments but 2 were given"),
    ((), {"width": 2}, TypeError, NEW + "got an unexpected keyword argument 'width'"),
    ((), {"foo": 1, "bar": 2}, TypeError, NEW + "got an unexpected keyword argument 'foo'"),
    ((), {"indent": None}, TypeError, "argument 'indent': "),
    (("4",), {}, TypeError, "argument 'indent': "),
    ((-1,), {}, OverflowError, None), ((2**64,), {}, OverflowError, None),
])
def test_constructor_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        Pretty(*args, **kwargs)
    assert type(info.value) is exc
    text = str(info.value)
    if message is None:  # range errors keep the interpreter's own message
        assert not text.startswith("argument")
    else:
        assert text == message or message.endswith(": ") and text.startswith(message)


def test_indent_property():
    assert Pretty().indent == 4
    assert Pretty(2).indent == 2 and Pretty(indent=2).indent == 2
    assert Pretty(0).format([1]) == "[\n1,\n]"
    assert Pretty(2**64 - 1).indent == 2**64 - 1
    p = Pretty()
    p.indent = 8
    assert p.indent == 8 and p.format([1]) == "[\n        1,\n]"
    p.indent = True
    assert p.indent == 1 and type(p.indent) is int
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del p.indent
    assert p.indent == 1


@pytest.mark.parametrize("value, exc, prefixed", [
    (-1, OverflowError, False), (2**64, OverflowError, False),
    (None, TypeError, True), ("4", TypeError, True), (4.0, TypeError, True),
])
def test_bad_indent_assignment_leaves_value_unchanged(value, exc, prefixed):
    p = Pretty(3)
    with pytest.raises(exc) as info:
        p.indent = value
    assert str(info.value).startswith("argument 'indent': ") == prefixed
    assert p.indent == 3 and p.format([1]) == "[\n   1,\n]"


@pytest.mark.parametrize("method", ["format", "print"])
@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "missing 1 required positional argument: 'obj'"),
    ((1, 2), {}, "takes 1 positional arguments but 2 were given"),
    ((), {"foo": 1}, "got an unexpected keyword argument 'foo'"),
    ((1,), {"obj": 2}, "got multiple values for argument 'obj'"),
])
def test_method_binding_errors(capfd, method, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(Pretty(), method)(*args, **kwargs)
    assert str(info.value) == "Pretty.%s() %s" % (method, message)
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("call", [Pretty.format, Pretty.print, Pretty.indent.__set__])
def test_foreign_receiver_is_refused(call):
    with pytest.raises(TypeError):
        call(5, 1)


def test_setting_indent_while_rendering_is_refused():
    p = Pretty(2)

    class Setter:
        def __repr__(self):
            p.indent = 8
            return "S"

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        p.format([Setter()])
    assert p.indent == 2
    p.indent = 6
    assert p.indent == 6


def test_reentrant_reads_and_formats_while_rendering(capfd):
    p = Pretty(2)

    class Reader:
        def __repr__(self):
            return "%d|%s" % (p.indent, p.format((1,)).replace("\n", "/"))

    inner = "2|(/  1,/)"
    assert p.format([Reader()]) == "[\n  %s,\n]" % inner
    assert p.print(obj={"k": Reader()}) is None
    assert capfd.readouterr().out == "{\n  'k': %s,\n}\n" % inner
    p.indent = 1
    assert p.indent == 1


def test_instances_do_not_leak_the_type():
    gc.collect()
    before = sys.getrefcount(Pretty)
    objs = [Pretty(i) for i in range(2000)]
    for _ in range(100):
        with pytest.raises(TypeError):
            Pretty(indent=None)
    del objs
    gc.collect()
    assert sys.getrefcount(Pretty) == before


trees = st.recursive(st.none() | st.integers() | st.text(max_size=5), lambda kids: st.one_of(
    st.lists(kids, max_size=4), st.tuples(kids, kids),
    st.dictionaries(st.text(max_size=3), kids, max_size=3)), max_leaves=12)


@settings(max_examples=60, deadline=None)
@given(trees, st.integers(0, 9))
def test_format_matches_module_function(obj, indent):
    assert Pretty(indent).format(obj) == orrery.pretty_format(obj, indent=indent)
