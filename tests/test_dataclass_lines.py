"""The lines of the dataclass form, written a piece at a time, against the model."""
import dataclasses

import pytest

import orrery
from childproc import run
from model import model_format

# Field names around the room one short piece has (64 bytes with its margin).
NAME_SIZES = [1, 2, 3, 4, 7, 8, 9, 16, 31, 32, 33, 55, 56, 60, 63, 64, 65]
# Values that leave the result ASCII, or widen it before or after a field line.
VALUES = [0, "x", "\xe9", "\u20ac", "\U0001f600"]


def make(names, values):
    cls = dataclasses.make_dataclass("Rec", names)
    return cls(*values)


@pytest.mark.parametrize("indent", [1, 4, 30, 63, 64, 65])
@pytest.mark.parametrize("size", NAME_SIZES)
def test_field_lines_at_every_margin(size, indent):
    obj = make(["a" * size, "b" * (70 - size), "c"], VALUES[:3])
    nested = [[obj, make(["n" * size], [obj])]]
    for doc in (obj, nested):
        assert orrery.pretty_format(doc, indent=indent) == model_format(doc, indent)


@pytest.mark.parametrize("total", range(28, 38))
def test_line_starts_around_half_a_block(total):
    # Line starts (",\n", margin, name, "=") of around 32 bytes, made for the
    # first instance and copied for the others, at two margins (8 and 12).
    name = "f" * (total - 11)
    cls = dataclasses.make_dataclass("Rec", [name, "g"])
    doc = [cls(i, cls(-i, "x" * i)) for i in range(4)]
    assert orrery.pretty_format(doc, indent=4) == model_format(doc, 4)


@pytest.mark.parametrize("wide", VALUES)
@pytest.mark.parametrize("where", range(3))
def test_a_wide_value_in_any_field(wide, where):
    values = ["a", 1, 2.5]
    values[where] = wide
    obj = make(["first", "second", "third"], values)
    doc = [obj, [obj, {"k": obj}], make([], [])]
    assert orrery.pretty_format(doc) == model_format(doc)


@pytest.mark.parametrize("name", ["\xe4", "\u03c8" * 40, "\u4e2d\u6587", "a" * 200])
def test_names_that_take_the_general_path(name):
    obj = make([("ok", int), (name, int), ("z" * 64, int)], [1, 2, 3])
    for indent in (2, 64):
        assert orrery.pretty_format([obj], indent=indent) == model_format([obj], indent)


def test_failed_print_ends_after_the_last_value_written():
    # Printed text goes out as it is made: the line of the value before the
    # failing one is ended, and the failing one's line is started.
    rc, out, err = run("""
        import dataclasses, orrery
        @dataclasses.dataclass
        class Rec:
            a: int
            b: object
            c: int
        class Bad:
            def __repr__(self):
                raise ValueError("boom")
        try:
            orrery.pretty_print(Rec(1, Bad(), 3))
        except ValueError:
            pass
        orrery.pretty_print(Rec(1, 2, 3), indent=2)
    """)
    assert rc == 0, err
    assert out == b"Rec(\n    a=1,\n    b=Rec(\n  a=1,\n  b=2,\n  c=3,\n)\n"


class BadRepr:
    def __repr__(self):
        raise KeyError("inside")


@pytest.mark.parametrize("value", [
    None, True, False, -7, 2 ** 70, 1.5, -0.0, float("inf"), "s", "\u20ac", b"b", [], {}, (), 1j,
    10 ** 5000, BadRepr(),
], ids=lambda v: type(v).__name__)
def test_each_kind_of_field_value(value):
    obj = make(["a", "b"], [value, 1])
    try:
        expected = model_format([obj])
    except Exception as e:  # repr() of the value fails: the call fails alike
        with pytest.raises(type(e)) as info:
            orrery.pretty_format([obj])
        assert str(info.value) == str(e)
    else:
        assert orrery.pretty_format([obj]) == expected
