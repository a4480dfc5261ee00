"""Many instances of one class: what one instance's rendering found out about
the fields mapping is only reused while the mapping, its entries' kinds and
the margin are what they were, whatever changes them between or during
instances."""
import dataclasses
import os
from typing import ClassVar

import pytest

import orrery
from childproc import run
from model import model_format
from test_dataclass_form import Shown
from test_dataclass_reads import Hook

dc = dataclasses.dataclass


def make_point():
    return dc(type("Point", (), {"__annotations__": {"a": object, "b": object, "c": ClassVar[int]}, "c": 0}))


def fields_of(cls):
    return cls.__dataclass_fields__


CLASSVAR = fields_of(make_point())["c"]


def retype(cls):  # the same key now names a class variable
    fields_of(cls)["b"] = CLASSVAR


def rename(cls):  # a fresh key object with the same text, moved to the end
    f = fields_of(cls)
    f["".join(["b"])] = f.pop("b")


def mark_field(cls):  # the class variable's entry becomes a real field
    cls.c = 7
    kind = dataclasses.Field._field_type.__get__(fields_of(cls)["a"])
    f = fields_of(cls)["c"] = dataclasses.field()
    f.name = "c"
    dataclasses.Field._field_type.__set__(f, kind)


def swap_mapping(cls):
    cls.__dataclass_fields__ = {"b": fields_of(cls)["b"], "a": fields_of(cls)["a"]}


@pytest.mark.parametrize("change", [retype, rename, mark_field, swap_mapping])
@pytest.mark.parametrize("wrap", [lambda h: h, lambda h: {"k": [h]}])
def test_mapping_changed_between_instances(change, wrap):
    def make():
        cls = make_point()
        objs = [cls(i, -i) for i in range(4)]
        objs.insert(2, wrap(Hook(lambda: change(cls))))
        return objs + [cls(9, [cls(8, 7)])]

    assert orrery.pretty_format(make()) == model_format(make())


@pytest.mark.parametrize("indent", [0, 2, 9])
def test_kind_of_an_entry_changed_without_the_mapping(indent):
    cls = make_point()
    field_b = fields_of(cls)["b"]
    kind = dataclasses.Field._field_type.__get__(field_b)
    hide = lambda: dataclasses.Field._field_type.__set__(field_b, dataclasses._FIELD_CLASSVAR)  # noqa: E731
    objs = [cls(1, 2), cls(3, Hook(hide)), cls(5, 6)]
    try:
        text = orrery.pretty_format(objs, indent)
    finally:
        dataclasses.Field._field_type.__set__(field_b, kind)
    step = " " * indent
    assert text.endswith(f"{step}Point(\n{step * 2}a=5,\n{step}),\n]") and text.count("b=") == 2


# While the walk of an instance is under way, the mapping keeps its size but
# changes under it: the walk goes on in the mapping as it is now.
MID_WALK = [
    (lambda f: f.__setitem__("b", CLASSVAR), "Point(\n        a=h,\n    ),\n]"),
    (lambda f: f.__setitem__("z", f.pop("b")), "Point(\n        a=h,\n        z=-1,\n    ),\n]"),
    (lambda f: f.__setitem__("a", f.pop("a")), ("PanicException", "dictionary keys changed during iteration")),
    (lambda f: f.pop("c"), ("PanicException", "dictionary changed size during iteration")),
]


def outcome(doc):
    try:
        return orrery.pretty_format(doc)
    except BaseException as e:
        return type(e).__name__, str(e)


@pytest.mark.parametrize("change, tail", MID_WALK)
@pytest.mark.parametrize("before", [0, 1, 3])  # instances of the class rendered first
def test_mapping_changed_during_a_walk(change, tail, before):
    cls = make_point()
    changed = cls(Hook(lambda: change(fields_of(cls))), 2)
    changed.z = -1
    got = outcome([cls(i, i) for i in range(before)] + [changed])
    assert got[-len(tail):] == tail if isinstance(tail, str) else got == tail


def nest(classes, depth):
    obj = None
    for i in range(depth):
        cls = classes[i % len(classes)]
        obj = cls(i, obj)
    return obj


@pytest.mark.parametrize("kinds", [1, 2, 3])
@pytest.mark.parametrize("depth", [3, 17, 40])
def test_nested_instances_at_every_depth(kinds, depth):
    # One class or several, nested deeper than what is kept per depth; each
    # level is rendered twice at different margins.
    classes = [dataclasses.make_dataclass("C" + "x" * k, [("f" * (k + 1), object), ("g", object)])
               for k in range(kinds)]
    doc = [nest(classes, depth), [nest(classes, depth)], {"k": nest(classes, depth)}]
    for indent in (1, 4):
        assert orrery.pretty_format(doc, indent) == model_format(doc, indent)


@pytest.mark.parametrize("key", ["a", "\u00e4", Shown("a"), "n" * 61, "n" * 62])
def test_unusual_names_over_many_instances(key):
    cls = type("K", (), {"__dataclass_fields__": {key: None, "z": None}})
    objs = [cls() for _ in range(5)]
    for i, obj in enumerate(objs):
        setattr(obj, str(key), i)
        obj.z = [objs[1]] if i == 2 else i  # one nested at another margin
    assert orrery.pretty_format(objs) == model_format(objs)


def test_printed_instances_match_the_formatted_ones():
    rc, out, err = run(f"""
        import os, sys
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        import orrery, test_dataclass_repeats as t
        cls = t.make_point()
        doc = [cls(i, [cls(-i, None)]) for i in range(4)]
        orrery.pretty_print(doc, 3)
    """)
    assert rc == 0, err
    cls = make_point()
    assert out.decode() == orrery.pretty_format([cls(i, [cls(-i, None)]) for i in range(4)], 3) + "\n"


@pytest.mark.parametrize("size", [63, 64, 65, 300])
def test_mappings_longer_than_what_is_kept(size):
    def make():
        names = ["f%d" % i for i in range(size)]
        cls = dataclasses.make_dataclass("Wide", names)
        objs = [cls(*range(i, i + size)) for i in range(3)]
        # The last field is a class variable from the second instance on.
        return objs[:1] + [Hook(lambda: fields_of(cls).__setitem__(names[-1], CLASSVAR))] + objs[1:]

    assert orrery.pretty_format(make()) == model_format(make())


@pytest.mark.parametrize("name", ["P", "P" * 62, "P" * 63, "\u00c9t\u00e9"])
@pytest.mark.parametrize("renamed", ["Q", "P" * 62, "\u00c9"])
def test_class_renamed_between_instances(name, renamed):
    def make():
        cls = dataclasses.make_dataclass(name, ["a"])
        return [cls(1), cls(2), Hook(lambda: setattr(cls, "__name__", renamed)), cls(3), [cls(4)]]

    assert orrery.pretty_format(make()) == model_format(make())
