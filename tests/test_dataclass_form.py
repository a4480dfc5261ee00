"""Which objects take the dataclass form, and which mapping entries it shows."""
import dataclasses
import sys
import types
from typing import ClassVar

import pytest

import orrery
from childproc import run
from model import model_format

dc = dataclasses.dataclass


@dc(frozen=True)
class Base:
    a: int = 0
    shared: ClassVar[str] = "base"


@dc(frozen=True)
class Derived(Base):
    opt: dataclasses.InitVar[int] = None
    seed: dataclasses.InitVar[int] = 0
    hidden: int = dataclasses.field(default=3, repr=False)


@dc
class OnlyPseudo:
    counter: ClassVar[int] = 9
    seed: dataclasses.InitVar[int] = 0


class Meta(type):
    reads = 0  # of __dataclass_fields__ through a class

    def __getattribute__(cls, name):
        Meta.reads += name == "__dataclass_fields__"
        return super().__getattribute__(name)


Watched = dc(Meta("Watched", (), {"__annotations__": {"x": int, "init": dataclasses.InitVar[int]}}))
ListLike, DictLike, TupleLike = (dc(eq=False)(type(b.__name__.title() + "Like", (b,), {
    "__annotations__": {"tag": str, "c": ClassVar[int]}, "tag": "t", "c": 0})) for b in (list, dict, tuple))
Holder = dataclasses.make_dataclass("Holder", ["kind", "kinds"])
INSTANCES = [Derived(1, seed=4), OnlyPseudo(), ListLike("x"), DictLike("y"), TupleLike("z"), Watched(1, 2)]
if sys.version_info >= (3, 10):
    INSTANCES.append(dc(slots=True)(type("Slotted", (), {"__annotations__": {"a": int, "c": ClassVar[int]}}))(4))


@pytest.mark.parametrize("obj", INSTANCES, ids=lambda o: type(o).__name__)
def test_instance_shows_what_dataclasses_fields_lists(obj):
    lines = "".join(f"    {f.name}={getattr(obj, f.name)!r},\n" for f in dataclasses.fields(obj))
    name = type(obj).__name__
    assert orrery.pretty_format(obj) == (f"{name}(\n{lines})" if lines else f"{name}()") == model_format(obj)


@pytest.mark.parametrize("cls", [Base, Derived, OnlyPseudo, Watched, ListLike, DictLike, Holder])
def test_class_is_written_as_its_repr(cls):
    Meta.reads = 0
    holder = Holder(cls, (cls,))
    assert orrery.pretty_format(holder, indent=1) == "Holder(\n kind=%r,\n kinds=(\n  %r,\n ),\n)" % (cls, cls)
    assert orrery.pretty_format(cls) == repr(cls) == model_format(cls)
    assert Meta.reads == 0


class FieldSubclass(dataclasses.Field):
    __slots__ = ()


class AlwaysField(dataclasses.Field):  # its kind is computed, not stored
    __slots__ = ()
    _field_type = property(lambda self: dataclasses._FIELD)


class ClaimsField:  # not a Field, however it presents itself
    __class__ = dataclasses.Field
    _field_type = None


def bare(cls, kind):
    field = cls.__new__(cls)
    if kind is not None:
        dataclasses.Field._field_type.__set__(field, kind)
    return field


class Handmade:
    def __init__(self, **entries):
        self.__dataclass_fields__ = entries
        self.__dict__.update((name, name.upper()) for name in entries)


CLASSVAR, INITVAR = Base.__dataclass_fields__["shared"], Derived.__dataclass_fields__["seed"]


@pytest.mark.parametrize("entry, shown", [
    (None, True), (ClaimsField(), True), (bare(AlwaysField, None), True),
    (bare(dataclasses.Field, dataclasses._FIELD), True), (bare(FieldSubclass, dataclasses._FIELD), True),
    (CLASSVAR, False), (INITVAR, False), (bare(FieldSubclass, INITVAR._field_type), False),
    (dataclasses.field(), False),  # not (yet) marked as a field
])
def test_which_entries_are_fields(entry, shown):
    obj = Handmade(a=None, b=entry)
    assert orrery.pretty_format(obj) == ("Handmade(\n    a='A',\n" + "    b='B',\n" * shown + ")") \
        == model_format(obj)
    if not shown:  # nothing left to indent
        assert orrery.pretty_format(Handmade(b=entry), indent=2**64 - 1) == "Handmade()"


@pytest.mark.parametrize("cls", [dataclasses.Field, FieldSubclass])
def test_unreadable_field_kind_ends_the_call(cls):
    with pytest.raises(AttributeError):
        orrery.pretty_format(Handmade(a=bare(cls, None)))


# Changes to the Field class after which every Field claims to be a real one.
FIELD_CLASS_CHANGES = [
    ("_field_type", property(lambda self: dataclasses._FIELD)),
    ("__getattribute__",
     lambda self, n: dataclasses._FIELD if n == "_field_type" else object.__getattribute__(self, n)),
]


@pytest.mark.parametrize("name, value", FIELD_CLASS_CHANGES)
def test_a_changed_field_class_is_honoured(name, value):
    saved = dataclasses.Field.__dict__.get(name)
    setattr(dataclasses.Field, name, value)  # now every Field claims to be a real one
    try:
        text = orrery.pretty_format(Derived(1))
    finally:
        setattr(dataclasses.Field, name, saved) if saved else delattr(dataclasses.Field, name)
    assert text == "Derived(\n    a=1,\n    shared='base',\n    opt=None,\n    seed=0,\n    hidden=3,\n)"
    assert orrery.pretty_format(Derived(1)) == "Derived(\n    a=1,\n    hidden=3,\n)"


@pytest.mark.parametrize("name, value", FIELD_CLASS_CHANGES)
def test_field_class_changed_during_a_call(name, value):
    # The Field class changes while an earlier instance's value is written:
    # every later instance of the same call reads the kinds the new way.
    saved = dataclasses.Field.__dict__.get(name)

    class Change:
        def __repr__(self):
            setattr(dataclasses.Field, name, value)
            return "c"

    try:
        text = orrery.pretty_format([Derived(1), Derived(Change()), Derived(2), Derived(3)])
    finally:
        setattr(dataclasses.Field, name, saved) if saved else delattr(dataclasses.Field, name)
    plain, every = "a=1,\n        hidden=3,", "a=2,\n        shared='base',\n        opt=None,\n        seed=0,"
    assert text.count("shared='base'") == 3 and plain in text and every in text


class Hook:
    def __init__(self, action):
        self.action = action

    def __repr__(self):
        return self.action() or "h"


@pytest.mark.parametrize("change", [lambda f: f.update(late=CLASSVAR), lambda f: f.pop("c") and None])
def test_changes_among_pseudo_entries_are_caught(change):
    obj = Handmade(a=None, c=CLASSVAR)  # only a pseudo-field follows the rendered one
    obj.a = Hook(lambda: change(obj.__dataclass_fields__))
    with pytest.raises(BaseException) as info:
        orrery.pretty_format(obj)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "dictionary changed size during iteration"


def sub_panic():
    d = {"a": 1, "b": Hook(lambda: d.setdefault("c"))}
    with pytest.raises(BaseException) as info:
        orrery.pretty_format(d)
    return type("SubPanic", (type(info.value),), {})("custom")


@pytest.mark.parametrize("through_getattr", [False, True])
@pytest.mark.parametrize("make, escapes", [
    (KeyboardInterrupt, True), (SystemExit, True), (GeneratorExit, True), (sub_panic, True),
    (lambda: type("Custom", (BaseException,), {})(), True),
    (ValueError, False), (lambda: type("Sub", (AttributeError,), {})(), False),
])
def test_only_ordinary_errors_of_the_test_mean_not_a_dataclass(make, escapes, through_getattr):
    exc = make()

    def fail(*_):
        raise exc

    attrs = {"__getattr__": lambda self, name: fail()} if through_getattr else \
        {"__dataclass_fields__": property(fail)}
    obj = [type("Odd", (list,), attrs)([1])]
    for render in (orrery.pretty_format, model_format):
        if escapes:
            with pytest.raises(BaseException) as info:
                render(obj)
            assert info.value is exc
        else:
            assert render(obj) == "[\n    [\n        1,\n    ],\n]"


def test_dataclasses_module_is_neither_needed_nor_imported():
    code, out, err = run("""
        import sys, orrery
        Fake = type("Fake", (), {"__dataclass_fields__": {"x": None}, "x": 1})
        assert orrery.pretty_format(Fake()) == "Fake(\\n    x=1,\\n)"
        assert "dataclasses" not in sys.modules
        import dataclasses, typing  # from now on its pseudo-fields are recognised
        P = dataclasses.make_dataclass("P", [("a", int), ("c", typing.ClassVar[int], 0)])
        print(orrery.pretty_format(P(1)), end="")
    """)
    assert (code, out) == (0, b"P(\n    a=1,\n)"), err


class Shown(str):
    """A str whose str() differs from its text."""

    def __str__(self):
        return "shown_" + self


@pytest.mark.parametrize("name", ["Plain", "Ünïcode", Shown("Sub")])
@pytest.mark.parametrize("key", ["a", "ä", Shown("a")])
def test_class_and_field_names_are_their_str(name, key):
    field = dataclasses.fields(Base)[0]
    label = types.SimpleNamespace(__name__=name)
    cls = type("Renamed", (), {"__dataclass_fields__": {key: field}, "__class__": property(lambda self: label)})
    obj = cls()
    setattr(obj, str(key), 5)
    assert orrery.pretty_format(obj) == f"{str(name)}(\n    {str(key)}=5,\n)" == model_format(obj)


class SelfRemoving(dataclasses.Field):
    """Reading its kind clears the mapping, which held the only other
    reference to this field."""
    __slots__ = ()

    @property
    def _field_type(self):
        Handmade.last.__dataclass_fields__.clear()
        return dataclasses._FIELD


def test_field_outlives_code_that_drops_it():
    # The sanitizer run catches a read of a released field.
    obj = Handmade(**{"k" + str(id(object())): SelfRemoving.__new__(SelfRemoving)})
    Handmade.last = obj
    with pytest.raises(BaseException) as info:
        orrery.pretty_format(obj)
    assert str(info.value) == "dictionary changed size during iteration"


def test_pseudo_fields_follow_a_reloaded_dataclasses_module():
    # Each reload makes new Field and _FIELD objects; classes made before
    # keep the old ones. A reload affects the whole process: a child runs it.
    code, out, err = run("""
        import dataclasses, importlib, sys, typing, orrery
        def make(name):
            @dataclasses.dataclass
            class P:
                a: int
                c: typing.ClassVar[int] = 0
                i: dataclasses.InitVar[int] = 1
            P.__name__ = name
            return P
        classes = [make("P0")]
        orrery.pretty_format(classes[0](0))  # the first module's kinds are in use
        for n in (1, 2):
            importlib.reload(dataclasses)
            classes.append(make("P" + str(n)))
            print(orrery.pretty_format([c(k) for k, c in enumerate(classes)], indent=0))
        # Without a module in the table to follow, the last kinds stay.
        del sys.modules["dataclasses"]
        print(orrery.pretty_format(classes[-1](5), indent=0))
        sys.modules["dataclasses"] = None
        print(orrery.pretty_format(classes[-1](6), indent=0))
    """)
    assert (code, err) == (0, b"")
    assert out.decode() == ("[\nP0(\na=0,\n),\nP1(\na=1,\n),\n]\n" "[\nP0(\na=0,\n),\nP1(\na=1,\n),\nP2(\na=2,\n),\n]\n"
                            "P2(\na=5,\n)\nP2(\na=6,\n)\n")
