import collections
import dataclasses
import gc
import itertools
import sys
from typing import ClassVar

import pytest

import orrery
from childproc import run
from model import model_format

Point = dataclasses.make_dataclass("Point", ["x", "y"])
Empty = dataclasses.make_dataclass("Empty", [])


@dataclasses.dataclass
class Defaults:
    a: int = 1
    b: str = "s"


@dataclasses.dataclass
class Pseudo:
    a: int
    c: ClassVar[int] = 9
    i: dataclasses.InitVar[int] = 7
    h: int = dataclasses.field(default=3, repr=False)


@dataclasses.dataclass
class Tagged(list):
    tag: str = "t"


Tagged.__qualname__ = "Outer.Tagged"  # the short __name__ is written, not this


class Disguised(Defaults):  # the name comes from the __class__ attribute
    __class__ = property(lambda self: Point)


class Raw:
    """Its repr is `result`, or what `result()` returns (or raises)."""

    def __init__(self, result):
        self.result = result

    def __repr__(self):
        return self.result() if callable(self.result) else self.result


def _refuse(self, *args):
    raise AssertionError("overridden method called")


class Sealed(list):  # the renderer must read the storage, never these
    __len__ = __iter__ = __getitem__ = _refuse


class SealedDict(dict):
    __len__ = __iter__ = __getitem__ = items = keys = values = _refuse


class FirstReadFails(list):  # a non-AttributeError on the dataclass test is ignored
    __dataclass_fields__ = property(lambda self: _raise(ValueError("ignored")))


def _raise(error):
    raise error


NT = collections.namedtuple("NT", "a b")
WORKED = {"a": [1, 2], "b": ()}
TAGGED = Tagged("x")
TAGGED.extend([1, 2])

CASES = [
    (WORKED, 4, "{\n    'a': [\n        1,\n        2,\n    ],\n    'b': (),\n}"),
    (WORKED, 2, "{\n  'a': [\n    1,\n    2,\n  ],\n  'b': (),\n}"),
    (WORKED, 0, "{\n'a': [\n1,\n2,\n],\n'b': (),\n}"),
    ((1,), 4, "(\n    1,\n)"),
    ([[]], 4, "[\n    [],\n]"),
    ([1, 2], 4, "[\n    1,\n    2,\n]"),
    ({"a": 1}, 2, "{\n  'a': 1,\n}"),
    ({(1, 2): "x"}, 2, "{\n  (\n    1,\n    2,\n  ): 'x',\n}"),
    ([{}, ()], 3, "[\n   {},\n   (),\n]"),
    *[(empty, ind, repr(empty)) for empty in ([], {}, ()) for ind in (0, 4, 9)],
    (5, 4, "5"), ("text", 0, "'text'"), ({1, 2}, 4, "{1, 2}"), (None, 4, "None"),
    ([{(1, 2)}, frozenset(), b"a\n"], 1, "[\n {(1, 2)},\n frozenset(),\n b'a\\n',\n]"),
    ("\ud800", 4, "'\\ud800'"),
    ([Raw("a\nb")], 4, "[\n    a\nb,\n]"),
    (Raw("x\ud800y\udfff"), 4, "x\ufffd\ufffd\ufffdy\ufffd\ufffd\ufffd"),
    (Point(1, 2), 4, "Point(\n    x=1,\n    y=2,\n)"),
    (Empty(), 4, "Empty()"),
    ([Point(x=1, y=[2])], 2, "[\n  Point(\n    x=1,\n    y=[\n      2,\n    ],\n  ),\n]"),
    ([Empty()], 4, "[\n    Empty(),\n]"),
    (Pseudo(1), 4, "Pseudo(\n    a=1,\n    h=3,\n)"),
    (TAGGED, 4, "Tagged(\n    tag='x',\n)"),
    (Defaults, 2, repr(Defaults)),
    (Disguised(), 1, "Point(\n a=1,\n b='s',\n)"),
    (FirstReadFails([1]), 1, "[\n 1,\n]"),
    (NT(1, "b"), 4, "(\n    1,\n    'b',\n)"),
    (collections.defaultdict(list, k=[]), 4, "{\n    'k': [],\n}"),
    (collections.OrderedDict([(2, 1), (1, 2)]), 1, "{\n 2: 1,\n 1: 2,\n}"),
    (collections.Counter("aab"), 4, "{\n    'a': 2,\n    'b': 1,\n}"),
    (Sealed([1, Sealed()]), 2, "[\n  1,\n  [],\n]"),
    (SealedDict(a=SealedDict()), 2, "{\n  'a': {},\n}"),
]


@pytest.mark.parametrize("obj, indent, expected", CASES)
def test_rendering(obj, indent, expected):
    assert orrery.pretty_format(obj, indent=indent) == expected
    assert model_format(obj, indent) == expected
    if indent == 4:
        assert orrery.pretty_format(obj) == expected


class SecondReadFails:  # every second read of the fields mapping fails
    __dataclass_fields__ = property(
        lambda self, reads=itertools.count(): _raise(KeyError("second")) if next(reads) % 2 else {})


class NoSuchField:  # a mapping entry that is not a Field names a field to read
    __dataclass_fields__ = {"gone": None}


LOOKUP = LookupError("boom")


@pytest.mark.parametrize("obj, exc, message", [
    (SecondReadFails(), KeyError, "'second'"),
    (type("ListFields", (), {"__dataclass_fields__": ["a"]})(), TypeError,
     "'list' object cannot be cast as 'dict'"),
    (NoSuchField(), AttributeError, None),
    ({"k": [1, Raw(lambda: _raise(LOOKUP))]}, LookupError, None),
])
def test_failures_reach_caller(obj, exc, message):
    with pytest.raises(exc) as info:
        orrery.pretty_format(obj)
    assert message is None or str(info.value) == message
    assert exc is not LookupError or info.value is LOOKUP


def test_list_shrinking_or_growing_during_render():
    items = [1, Raw(lambda: items.clear() or "m"), 3, 4]
    assert orrery.pretty_format(items) == "[\n    1,\n    m,\n]"
    grow = [Raw(lambda: grow.append(9) or "m")]
    assert orrery.pretty_format(grow) == "[\n    m,\n]"


def _dict_case(change, last):
    d = {"first": 1}
    d["mut"] = Raw(lambda: change(d) or "m")
    if not last:
        d["after"] = 2
    return d


def _swap(d):  # same size, but one entry more than the walk started with
    del d["first"]
    d["new"] = 0


def _grow(d):
    d[object()] = 0


@pytest.mark.parametrize("change, last, message", [
    (_grow, False, "dictionary changed size during iteration"),
    (_grow, True, "dictionary changed size during iteration"),
    (lambda d: d.__delitem__("first"), True, "dictionary changed size during iteration"),
    (_swap, True, "dictionary keys changed during iteration"),
])
def test_dict_changed_during_render_panics(change, last, message):
    with pytest.raises(BaseException) as info:
        orrery.pretty_format(_dict_case(change, last))
    assert not isinstance(info.value, Exception)
    assert str(info.value) == message


@pytest.mark.parametrize("last", [False, True])
@pytest.mark.parametrize("shape", ["{}", "[{}]", "[{}, 3]"])
def test_printed_text_before_a_changed_dict_ends_the_call(shape, last):
    # Every line written before the walk faults is complete, ",\n" included.
    code, out, err = run(f"""
        import orrery
        class Raw:
            def __repr__(self):
                d[object()] = 0
                return "m"
        d = {{"first": 1, "mut": Raw()}}
        if not {last}:
            d["after"] = 2
        try:
            orrery.pretty_print({shape.replace("{}", "d")}, indent=2)
        except BaseException as e:
            print("|", str(e))
    """)
    assert code == 0, err
    inner = "  " * shape.count("[")
    head = "[\n  " if shape != "{}" else ""
    assert out.decode() == f"{head}{{\n{inner}  'first': 1,\n{inner}  'mut': m,\n| dictionary changed size during iteration\n"


def test_reference_counts_unchanged():
    leaf, key, inst = object(), ("k",), Point([object()], {})
    graph = {key: [leaf, (leaf,), inst], "d": Pseudo(1), "t": Defaults}
    failing = [leaf, Raw(None)]
    watched = [leaf, key, inst, inst.x, inst.y, graph, failing, failing[1], Point, Defaults,
               *Pseudo.__dataclass_fields__.values()]
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(200):
        orrery.pretty_format(graph, indent=3)
        with pytest.raises(TypeError):
            orrery.pretty_format(failing)
        with pytest.raises(BaseException):
            orrery.pretty_format({"p": leaf, "q": _dict_case(_grow, False)})
        with pytest.raises(AttributeError):
            orrery.pretty_format([leaf, Pseudo(1), NoSuchField()])
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before


@pytest.mark.parametrize("make", [lambda: "only here " + str(id(object())), lambda: 10**30 + len(str(id(object()))),
                                  lambda: float(id(object())), lambda: "\u20ac" * (len(str(id(object()))) + 3)])
def test_entry_held_while_its_key_runs_code(make):
    # The key's repr removes the entry, releasing the only other reference
    # to the value: it must still be alive when it is written (the sanitizer
    # run catches a read of a released one).
    d = {}
    d[Raw(lambda: d.clear() or "k")] = make()
    with pytest.raises(BaseException) as info:
        orrery.pretty_format(d)
    assert str(info.value) == "dictionary changed size during iteration"


@pytest.mark.parametrize("wrap", [lambda x: [x], lambda x: (x,), lambda x: {"w": x}, lambda x: Point(x, 1)],
                         ids=["list", "tuple", "dict", "dataclass"])
@pytest.mark.parametrize("outer", ["list", "dict"])
def test_element_held_while_its_contents_drop_it(outer, wrap):
    # Rendering the element runs code that drops the container's reference
    # to it (the list is cleared; the dict's value is replaced, keeping its
    # size and keys): the element must stay alive until it is written out.
    if outer == "list":
        doc = [wrap(Raw(lambda: doc.clear() or "m")), "tail"]
        expected = orrery.pretty_format([wrap(Raw("m"))])
    else:
        doc = {"k": wrap(Raw(lambda: doc.__setitem__("k", 0) or "m")), "after": 2}
        expected = orrery.pretty_format({"k": wrap(Raw("m")), "after": 2})
    assert orrery.pretty_format(doc) == expected


@pytest.mark.parametrize("change, expected", [
    ("items.clear()", "[\n  1,\n  m,\n]"),
    ("items.pop()", "[\n  1,\n  m,\n  3,\n]"),
    ("items.append(9)", "[\n  1,\n  m,\n  3,\n  4,\n]"),
    ("items.__setitem__(2, 'new')", "[\n  1,\n  m,\n  'new',\n  4,\n]"),
    ("items.__setitem__(slice(2, None), [[7], 8])", "[\n  1,\n  m,\n  [\n    7,\n  ],\n  8,\n]"),
])
def test_list_changed_by_an_element_printed_and_formatted_alike(change, expected):
    # The walk reads the list's size again after an element that ran code,
    # whichever sink the text goes to; leaves after it are read afresh.
    code, out, err = run(f"""
        import orrery
        class Raw:
            def __repr__(self):
                {change}
                return "m"
        for call in ("format", "print"):
            items = [1, Raw(), 3, 4]
            if call == "format":
                print(orrery.pretty_format(items, indent=2))
            else:
                orrery.pretty_print(items, indent=2)
    """)
    assert code == 0, err
    assert out.decode() == f"{expected}\n{expected}\n"
