"""What each dataclass instance shows follows the instance and its class as
they are at that moment, even when rendering changes them half way through
a call; names and margins of every length come out as the general writes
would make them."""
import dataclasses
import os
import sys
from typing import ClassVar

import pytest

import orrery
from childproc import run
from model import model_format

dc = dataclasses.dataclass


class Hook:
    def __init__(self, action):
        self.action = action

    def __repr__(self):
        self.action()
        return "h"


def same_as_model(make):
    """Each renderer on a fresh scenario of its own; failures count too."""
    def outcome(fn):
        try:
            return fn(make())
        except Exception as e:
            return type(e), str(e)
    assert outcome(orrery.pretty_format) == outcome(model_format)


def claim_class(cls):  # a class's own "__class__" can only come through its bases
    claimed = dataclasses.make_dataclass("Claimed", ["z"])
    cls.__bases__ = (type("Claiming", (), {"__class__": property(lambda self: claimed)}),)


def computed_mapping(cls):  # each read gives a different mapping
    reads = iter(range(99))
    cls.__dataclass_fields__ = property(lambda self: {"a": 0, "b": 0} if next(reads) % 2 else {"b": 0})


CHANGES = [
    claim_class, computed_mapping,
    lambda cls: setattr(cls, "__name__", "Renamed"),
    lambda cls: setattr(cls, "__dataclass_fields__", {"b": None}),
    lambda cls: setattr(cls, "__dataclass_fields__", ["a"]),
    lambda cls: setattr(cls, "__getattribute__", lambda o, n: "x" if n == "b" else object.__getattribute__(o, n)),
    lambda cls: setattr(cls, "__getattr__", lambda o, n: "fallback") or setattr(cls, "__dataclass_fields__", {"c": 0}),
    lambda cls: delattr(cls, "__dataclass_fields__"),
]


@pytest.mark.parametrize("through_base", [False, True])
@pytest.mark.parametrize("change", CHANGES)
def test_class_changed_while_rendering_is_followed(change, through_base):
    def make():
        base = type("Base", (type("Root", (), {}),), {})
        cls = dc(type("Point", (base,), {"__annotations__": {"a": object, "b": object}}))
        # Seen unchanged twice, changed by the second instance's value.
        return [cls(1, 2), cls(Hook(lambda: change(base if through_base else cls)), 3), cls(4, 5), cls(6, [7])]

    same_as_model(make)


@pytest.mark.parametrize("shadow", [
    lambda obj: obj.__dict__.__setitem__("__dataclass_fields__", {"b": None}),
    lambda obj: setattr(obj, "__dataclass_fields__", "not a mapping"),
    lambda obj: setattr(obj, "__class__", type("Other", (type(obj),), {})),
])
@pytest.mark.parametrize("position", [0, 2])
def test_one_instance_differs_from_its_class(shadow, position):
    def make():
        objs = [dc(type("Point", (), {"__annotations__": {"a": int, "b": int}}))(i, -i) for i in range(3)]
        shadow(objs[position])
        return objs

    same_as_model(make)


class NamedMeta(type):
    __name__ = property(lambda cls: "FromMeta")


class Label(str):
    def __str__(self):
        return "label"


SLOTS = {"slots": True} if sys.version_info >= (3, 10) else {}


@pytest.mark.parametrize("make_class", [
    lambda ns: dc(NamedMeta("Point", (), ns)),
    lambda ns: dc(type("PlainMeta", (type,), {})("Point", (), ns)),
    lambda ns: dc(type("Point", (), dict(ns, __class__=property(lambda self: NamedMeta("X", (), {}))))),
    lambda ns: dc(type(Label("Point"), (), ns)),
    lambda ns: dc(**SLOTS)(type("Point", (), ns)),
    lambda ns: type("Point", (), dict(ns, a=property(lambda self: 10), __init__=lambda self, a: None,
                                      __dataclass_fields__={"a": None})),
])
def test_class_names_and_fields_come_from_reads(make_class):
    def make():
        cls = make_class({"__annotations__": {"a": int}})
        return [cls(1), cls(2)]

    same_as_model(make)


def test_field_class_changed_while_rendering_is_followed():
    @dc
    class Point:
        a: object
        shared: ClassVar[int] = 0

    saved = dataclasses.Field.__dict__["_field_type"]
    change = lambda: setattr(dataclasses.Field, "_field_type", property(lambda self: dataclasses._FIELD))  # noqa
    try:
        text = orrery.pretty_format([Point(1), Point(Hook(change)), Point(2)])
    finally:
        dataclasses.Field._field_type = saved
    # Shown from the instance whose rendering made the change on.
    assert text.count("shared=0") == 2 and "a=1,\n    )" in text


@pytest.mark.parametrize("width", ["", "é", "\u20ac", "\U0001f600"])  # the result's character width
@pytest.mark.parametrize("indent", [0, 4, 30, 56, 60, 64])
@pytest.mark.parametrize("length", [0, 1, 3, 4, 7, 8, 9, 15, 16, 17, 52, 55, 56, 63, 64, 65, 70])
def test_names_and_margins_of_every_length(length, indent, width):
    field, cls_name = "f" * length, "".join(chr(65 + i % 26) for i in range(length))
    cls = type(cls_name, (), {"__dataclass_fields__": {field: None, "x" + width: None}})
    inner, outer = cls(), cls()
    for obj, values in ((inner, [width or 1, []]), (outer, [inner, type(cls_name, (), {"__dataclass_fields__": {}})()])):
        setattr(obj, field, values[0])
        setattr(obj, "x" + width, values[1])
    assert orrery.pretty_format([outer], indent) == model_format([outer], indent)


def printed_docs():
    cls = [dataclasses.make_dataclass("C" * n, [("f" * n, object), ("g\u00e9", object)]) for n in (1, 8, 9, 70)]
    return [[c(c(1, "\u20ac"), [])] for c in cls]


def test_printed_names_and_margins_match_the_formatted_ones():
    rc, out, err = run(f"""
        import os, sys
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        import orrery, test_dataclass_reads
        for indent in (0, 4, 60):
            for doc in test_dataclass_reads.printed_docs():
                orrery.pretty_print(doc, indent)
                os.write(1, b"@@\\n")
    """)
    assert rc == 0, err
    want = [orrery.pretty_format(doc, indent) + "\n" for indent in (0, 4, 60) for doc in printed_docs()]
    assert out.decode().split("@@\n")[:-1] == want
