"""The attribute reads of the dataclass form: what each instance shows must
follow the instance and its class as they are at that moment, even when
rendering changes them half way through a call."""
import dataclasses
import os
import sys
import textwrap
from typing import ClassVar

import pytest

import orrery
from childproc import run
from model import model_format

dc = dataclasses.dataclass


class Hook:
    """Runs `action` when rendered."""

    def __init__(self, action):
        self.action = action

    def __repr__(self):
        self.action()
        return "h"


def outcome(fn, obj):
    try:
        return fn(obj)
    except Exception as e:  # the same failure is part of the same behaviour
        return type(e), str(e)


def same_as_model(make):
    """Each renderer on a scenario of its own, made fresh."""
    got, want = outcome(orrery.pretty_format, make()), outcome(model_format, make())
    assert got == want
    return got


def rename_class(cls):
    cls.__name__ = "Renamed"


def class_property(cls):
    # A class's own "__class__" can only be set through its bases.
    claimed = dataclasses.make_dataclass("Claimed", ["z"])
    cls.__bases__ = (type("Claiming", (), {"__class__": property(lambda self: claimed)}),)


def other_mapping(cls):
    cls.__dataclass_fields__ = {"b": cls.__dataclass_fields__["b"]}


def computed_mapping(cls):
    reads = iter(range(1000))  # each read gives a different mapping
    cls.__dataclass_fields__ = property(lambda self: {"a": None, "b": None} if next(reads) % 2 else {"b": None})


def not_a_mapping(cls):
    cls.__dataclass_fields__ = ["a"]


def hooked_reads(cls):
    cls.__getattribute__ = lambda self, n: "hooked" if n == "b" else object.__getattribute__(self, n)


def fallback_reads(cls):
    cls.__getattr__ = lambda self, n: "fallback"
    cls.__dataclass_fields__ = {"a": None, "gone": None}


def drop_mapping(cls):
    del cls.__dataclass_fields__


CHANGES = [rename_class, class_property, other_mapping, computed_mapping, not_a_mapping, hooked_reads,
           fallback_reads, drop_mapping]


@pytest.mark.parametrize("through_base", [False, True])
@pytest.mark.parametrize("change", CHANGES)
def test_class_changed_while_rendering_is_followed(change, through_base):
    def make():
        base = type("Base", (type("Root", (), {}),), {})
        cls = dc(type("Point", (base,), {"__annotations__": {"a": object, "b": object}}))
        target = base if through_base else cls
        # The second instance's value changes the class; the third and fourth
        # show the change (the class was seen unchanged twice before).
        return [cls(1, 2), cls(Hook(lambda: change(target)), 3), cls(4, 5), cls(6, [7])]

    same_as_model(make)


@pytest.mark.parametrize("shadow", [
    lambda obj: obj.__dict__.__setitem__("__dataclass_fields__", {"b": None}),
    lambda obj: setattr(obj, "__dataclass_fields__", {}),
    lambda obj: setattr(obj, "__dataclass_fields__", "not a mapping"),
    lambda obj: setattr(obj, "__class__", type("Other", (type(obj),), {})),
])
@pytest.mark.parametrize("position", [0, 1, 2])
def test_one_instance_differs_from_its_class(shadow, position):
    def make():
        cls = dc(type("Point", (), {"__annotations__": {"a": int, "b": int}}))
        objs = [cls(i, -i) for i in range(3)]
        shadow(objs[position])
        return objs

    same_as_model(make)


class NamedMeta(type):
    @property
    def __name__(cls):
        return "FromMeta"


class PlainMeta(type):
    pass


class Label(str):
    def __str__(self):
        return "label"


@pytest.mark.parametrize("make_class", [
    lambda ns: NamedMeta("Point", (), ns),
    lambda ns: PlainMeta("Point", (), ns),
    lambda ns: type("Point", (), dict(ns, __class__=property(lambda self: NamedMeta("X", (), {})))),
    lambda ns: type(Label("Point"), (), ns),
])
def test_class_names_come_from_the_class_as_read(make_class):
    def make():
        cls = dc(make_class({"__annotations__": {"a": int}}))
        return [cls(1), cls(2)]

    same_as_model(make)


class Logged:
    """Records every attribute read of its instances."""
    log = []

    def __getattribute__(self, name):
        Logged.log.append(name)
        return object.__getattribute__(self, name)


def read_log(fn, obj):
    Logged.log.clear()
    fn(obj)
    return list(Logged.log)



@pytest.mark.parametrize("extra", [{}, {"__class__": property(lambda self: type(self))}])
def test_reads_are_the_same_reads_in_the_same_order(extra):
    cls = dc(type("Logged", (Logged,), {"__annotations__": {"a": int, "b": list}, **extra}))
    doc = [cls(1, [cls(2, [])]), cls(3, [])]
    # Each instance: the dataclass test, its class, the mapping again, each field.
    assert read_log(orrery.pretty_format, doc) == ["__dataclass_fields__", "__class__", "__dataclass_fields__",
                                                   "a", "b"] * 3


def test_a_computed_mapping_is_read_twice():
    reads = []

    class Twice:
        @property
        def __dataclass_fields__(self):
            reads.append(1)
            return {"a": None} if len(reads) % 2 == 0 else {}

        a = 1

    assert orrery.pretty_format([Twice(), Twice()]) == "[\n    Twice(\n        a=1,\n    ),\n    Twice(\n        a=1,\n    ),\n]"
    assert len(reads) == 4


class WithProperty:
    """Hand-made fields, one of them computed."""
    __dataclass_fields__ = {"a": None, "b": None}
    b = property(lambda self: self.a * 10)

    def __init__(self, a):
        self.a = a


@pytest.mark.parametrize("make", [
    lambda: [WithProperty(i) for i in range(3)],
    pytest.param(lambda: [dc(slots=True)(type("S", (), {"__annotations__": {"a": int, "b": str}}))(i, "s")
                          for i in range(3)],
                 marks=pytest.mark.skipif(sys.version_info < (3, 10), reason="slots= from 3.10")),
    lambda: [dc(type("Frozen", (), {"__annotations__": {"a": int}, "__slots__": ("a",)}), frozen=True)(5)] * 2,
])
def test_fields_read_through_descriptors(make):
    same_as_model(make)


@pytest.mark.parametrize("change", [
    lambda: setattr(dataclasses.Field, "_field_type", property(lambda self: dataclasses._FIELD)),
    lambda: setattr(dataclasses.Field, "__getattribute__", lambda self, n: dataclasses._FIELD
                    if n == "_field_type" else object.__getattribute__(self, n)),
])
def test_field_class_changed_while_rendering_is_followed(change):
    @dc
    class Point:
        a: object
        shared: ClassVar[int] = 0

    saved = dict(dataclasses.Field.__dict__)
    try:
        text = orrery.pretty_format([Point(1), Point(Hook(change)), Point(2)])
    finally:
        for name in ("_field_type", "__getattribute__"):
            if name in saved:
                setattr(dataclasses.Field, name, saved[name])
            elif name in dataclasses.Field.__dict__:
                delattr(dataclasses.Field, name)
    # Shown from the instance whose rendering made the change on.
    assert text.count("shared=0") == 2 and "a=1,\n    )" in text


LENGTHS = [0, 1, 3, 4, 7, 8, 9, 15, 16, 17, 52, 55, 56, 63, 64, 65, 70]


@pytest.mark.parametrize("width", ["", "é", "\u20ac", "\U0001f600"])  # the result's character width
@pytest.mark.parametrize("indent", [0, 4, 30, 56, 60, 64])
@pytest.mark.parametrize("length", LENGTHS)
def test_names_and_margins_of_every_length(length, indent, width):
    field, cls_name = ("f" * 70)[:length], "".join(chr(65 + i % 26) for i in range(length))
    cls = type(cls_name, (), {"__dataclass_fields__": {field: None, "x" + width: None}})
    inner = cls()
    setattr(inner, field, width or 1)
    setattr(inner, "x" + width, [])
    outer = cls()
    setattr(outer, field, inner)
    setattr(outer, "x" + width, cls.__new__(type(cls_name, (), {"__dataclass_fields__": {}})))
    doc = [outer]
    assert orrery.pretty_format(doc, indent) == model_format(doc, indent)


def printed_docs():
    docs = []
    for n in (1, 4, 8, 9, 60, 70):
        cls = dataclasses.make_dataclass("C" * n, [("f" * n, object), ("g\u00e9", object)])
        docs.append([cls(cls(n, "\u20ac"), [])])
    return docs


def test_printed_names_and_margins_match_the_formatted_ones():
    code = """
        import os, orrery, test_dataclass_reads
        for indent in (0, 4, 60):
            for doc in test_dataclass_reads.printed_docs():
                orrery.pretty_print(doc, indent)
                os.write(1, b"@@\\n")
    """
    rc, out, err = run(f"import sys; sys.path.insert(0, {os.path.dirname(__file__)!r})\n" + textwrap.dedent(code))
    assert rc == 0, err
    want = [orrery.pretty_format(doc, indent) + "\n" for indent in (0, 4, 60) for doc in printed_docs()]
    assert out.decode().split("@@\n")[:-1] == want
