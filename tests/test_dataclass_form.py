"""Which objects take the dataclass form, and which mapping entries it shows."""
import dataclasses
import sys
from typing import ClassVar

import pytest

import orrery
from childproc import run
from model import model_format

needs_310 = pytest.mark.skipif(sys.version_info < (3, 10), reason="dataclass option added in 3.10")


@dataclasses.dataclass
class Point:
    x: int
    y: int


@dataclasses.dataclass
class Defaults:
    a: int = 1


@dataclasses.dataclass(frozen=True)
class Frozen:
    a: int
    b: str = "b"


@dataclasses.dataclass
class Base:
    a: int = 0
    shared: ClassVar[str] = "base"


@dataclasses.dataclass
class Derived(Base):
    b: int = 2
    seed: dataclasses.InitVar[int] = 0
    hidden: int = dataclasses.field(default=3, repr=False)

    def __post_init__(self, seed):
        self.a += seed


@dataclasses.dataclass
class Pseudo:
    a: int
    no_default: dataclasses.InitVar[int]
    with_default: dataclasses.InitVar[int] = 7
    counter: ClassVar[int] = 9


@dataclasses.dataclass
class OnlyPseudo:
    counter: ClassVar[int] = 9
    seed: dataclasses.InitVar[int] = 0


@dataclasses.dataclass
class ListLike(list):
    tag: str = "t"


@dataclasses.dataclass
class DictLike(dict):
    tag: str = "t"


@dataclasses.dataclass(eq=False)
class TupleLike(tuple):
    tag: str = "t"


@dataclasses.dataclass
class Holder:
    kind: object
    kinds: object = ()


def ordinary_cases():
    cases = [Point(1, 2), Defaults(), Frozen(5), Derived(1, seed=4), Pseudo(1, 2),
             ListLike("x"), DictLike("y"), TupleLike("z"), Holder(Point, (Defaults, Frozen))]
    if sys.version_info >= (3, 10):
        Slotted = dataclasses.dataclass(slots=True)(type("Slotted", (), {
            "__annotations__": {"a": int, "c": ClassVar[int]}, "c": 1}))
        KwOnly = dataclasses.make_dataclass("KwOnly", [("a", int), ("b", int)], kw_only=True)
        cases += [Slotted(4), KwOnly(a=1, b=2)]
    return cases


@pytest.mark.parametrize("obj", ordinary_cases(), ids=lambda o: type(o).__name__)
def test_ordinary_dataclass_shows_exactly_its_fields(obj):
    # Independent oracle: the fields the standard library lists, in its order.
    lines = "".join(f"    {f.name}={getattr(obj, f.name)!r},\n" for f in dataclasses.fields(obj))
    expected = f"{type(obj).__name__}(\n{lines})" if lines else f"{type(obj).__name__}()"
    if isinstance(obj, Holder):  # its values are classes and a tuple of classes
        expected = ("Holder(\n    kind=%r,\n    kinds=(\n        %r,\n        %r,\n    ),\n)"
                    % (Point, Defaults, Frozen))
    assert orrery.pretty_format(obj) == expected == model_format(obj)


@pytest.mark.parametrize("obj", [OnlyPseudo(), OnlyPseudo(seed=3)])
def test_only_pseudo_fields_is_written_like_no_fields(obj):
    assert orrery.pretty_format([obj], indent=2) == "[\n  OnlyPseudo(),\n]"
    # A large indent is not needed, so it is not refused either.
    assert orrery.pretty_format(obj, indent=2**64 - 1) == "OnlyPseudo()"


class Meta(type):
    """Counts reads of the fields mapping made through the class."""
    reads = 0

    def __getattribute__(cls, name):
        if name == "__dataclass_fields__":
            Meta.reads += 1
        return super().__getattribute__(name)


@dataclasses.dataclass
class Watched(metaclass=Meta):
    x: int


class ReprMeta(type):
    def __repr__(cls):
        return "<R %s>" % cls.__name__


@dataclasses.dataclass
class CustomRepr(metaclass=ReprMeta):
    x: int


@pytest.mark.parametrize("cls", [Point, Defaults, Frozen, Derived, OnlyPseudo, ListLike, DictLike,
                                 TupleLike, Watched, CustomRepr])
def test_class_is_written_by_its_repr(cls):
    Meta.reads = 0
    assert orrery.pretty_format(cls) == repr(cls) == model_format(cls)
    assert orrery.pretty_format({"model": cls}, indent=1) == "{\n 'model': %r,\n}" % cls
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
    def __init__(self, entries):
        self.__dataclass_fields__ = dict(entries)
        for name in entries:
            setattr(self, name, name.upper())


CLASSVAR, INITVAR = Pseudo.__dataclass_fields__["counter"], Pseudo.__dataclass_fields__["with_default"]


@pytest.mark.parametrize("entry, shown", [
    (None, True),  # not a Field at all
    ("text", True),
    (ClaimsField(), True),
    (dataclasses.field(), False),  # a Field not (yet) marked as a field
    (bare(dataclasses.Field, dataclasses._FIELD), True),
    (bare(FieldSubclass, dataclasses._FIELD), True),
    (bare(FieldSubclass, CLASSVAR._field_type), False),
    (bare(FieldSubclass, INITVAR._field_type), False),
    (bare(AlwaysField, None), True),
    (CLASSVAR, False),
    (INITVAR, False),
])
def test_which_entries_are_fields(entry, shown):
    obj = Handmade({"a": None, "b": entry})
    expected = "Handmade(\n    a='A',\n    b='B',\n)" if shown else "Handmade(\n    a='A',\n)"
    assert orrery.pretty_format(obj) == expected == model_format(obj)


@pytest.mark.parametrize("cls", [dataclasses.Field, FieldSubclass])
def test_unreadable_field_kind_ends_the_call(cls):
    with pytest.raises(AttributeError):
        orrery.pretty_format(Handmade({"a": bare(cls, None)}))


@pytest.mark.parametrize("patch", [
    {"_field_type": property(lambda self: dataclasses._FIELD)},
    {"__getattribute__": lambda self, name: (dataclasses._FIELD if name == "_field_type"
                                             else object.__getattribute__(self, name))},
])
def test_a_changed_field_class_is_honoured(patch):
    # Every Field now claims to be a real field, and that is what is shown.
    obj = Derived(1)
    saved = {name: dataclasses.Field.__dict__.get(name) for name in patch}
    for name, value in patch.items():
        setattr(dataclasses.Field, name, value)
    try:
        texts = orrery.pretty_format(obj), model_format(obj)
    finally:
        for name, value in saved.items():
            if value is None:
                delattr(dataclasses.Field, name)
            else:
                setattr(dataclasses.Field, name, value)
    assert texts[0] == texts[1] == \
        "Derived(\n    a=1,\n    shared='base',\n    b=2,\n    seed=0,\n    hidden=3,\n)"
    assert orrery.pretty_format(obj) == "Derived(\n    a=1,\n    b=2,\n    hidden=3,\n)"


class Hook:
    def __init__(self, action):
        self.action = action

    def __repr__(self):
        return self.action()


@pytest.mark.parametrize("change", [
    lambda fields: fields.__setitem__("late", CLASSVAR),
    lambda fields: fields.pop("c") and None,
])
def test_changes_to_pseudo_entries_are_caught(change):
    # Only pseudo-fields follow the rendered field, and the walk still checks them.
    obj = Handmade({"a": None, "c": CLASSVAR})
    obj.a = Hook(lambda: change(obj.__dataclass_fields__) or "a")
    with pytest.raises(BaseException) as info:
        orrery.pretty_format(obj)
    assert not isinstance(info.value, Exception)
    assert str(info.value) == "dictionary changed size during iteration"


def sub_panic():
    """An instance of a subclass of the module's fault class."""
    d = {"a": 1}
    d["b"] = Hook(lambda: d.setdefault("c", "g"))
    with pytest.raises(BaseException) as info:
        orrery.pretty_format(d)
    return type("SubPanic", (type(info.value),), {})("custom")


def raiser(exc, through_getattr):
    def fail(*_):
        raise exc

    if through_getattr:  # a __getattr__ is only asked once the lookup failed
        return type("Slow", (list,), {"__getattr__": lambda self, name: fail()})([1])
    return type("Failing", (list,), {"__dataclass_fields__": property(fail)})([1])


@pytest.mark.parametrize("through_getattr", [False, True])
@pytest.mark.parametrize("make", [KeyboardInterrupt, SystemExit, GeneratorExit,
                                  lambda: type("Custom", (BaseException,), {})(), sub_panic])
def test_interrupt_in_dataclass_test_reaches_caller(make, through_getattr):
    exc = make()
    for obj in (raiser(exc, through_getattr), [raiser(exc, through_getattr)]):
        with pytest.raises(BaseException) as info:
            orrery.pretty_format(obj)
        assert info.value is exc
        with pytest.raises(BaseException) as info:
            model_format(obj)
        assert info.value is exc


@pytest.mark.parametrize("through_getattr", [False, True])
@pytest.mark.parametrize("exc", [ValueError("v"), LookupError("l"), type("Sub", (AttributeError,), {})()])
def test_ordinary_error_in_dataclass_test_means_not_a_dataclass(exc, through_getattr):
    obj = raiser(exc, through_getattr)
    assert orrery.pretty_format(obj) == "[\n    1,\n]" == model_format(obj)


def test_dataclasses_module_is_neither_needed_nor_imported():
    # Until the program imports dataclasses no entry can be a Field; once it
    # does, its pseudo-fields are recognised.
    code, out, err = run("""
        import sys, orrery
        class Fake:
            __dataclass_fields__ = {"x": None}
            x = 1
        assert orrery.pretty_format(Fake()) == "Fake(\\n    x=1,\\n)"
        assert "dataclasses" not in sys.modules
        import dataclasses, typing
        @dataclasses.dataclass
        class P:
            a: int
            c: typing.ClassVar[int] = 0
        print(orrery.pretty_format(P(1)), end="")
    """)
    assert (code, out) == (0, b"P(\n    a=1,\n)"), err
