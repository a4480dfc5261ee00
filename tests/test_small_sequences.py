"""Small lists and tuples, where most of a document's containers are: inside
dataclass fields, dict values and other lists, checked against the model."""
import dataclasses
import sys

import pytest

import orrery
from model import model_format


@dataclasses.dataclass
class Holder:
    name: str
    tags: object
    rest: object = None


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


class Repr:
    def __repr__(self):
        return "<repr>"


SMALL = [
    [],
    ["a"],
    ["a", "b", "c"],
    list(range(8)),
    list(range(9)),
    [1.5, None, True, "é\u20ac\U0001f600", 2**70],
    [[], [[]], ["x", []]],
    [{}, {"k": []}, ()],
    (),
    ("a",),
    tuple(range(9)),
    ListSub(),
    ListSub(["a", "b"]),
    TupleSub(("a", 1)),
    [Repr(), Holder("in", ["z"])],
]


@pytest.mark.parametrize("indent", [0, 2, 4])
@pytest.mark.parametrize("value", SMALL, ids=lambda v: f"{type(v).__name__}{len(v)}")
def test_small_sequence_in_every_place(value, indent):
    docs = [
        Holder("h", value),
        Holder("h", [], Holder("inner", value)),
        {"k": value, "j": [value, value]},
        [value, "after", value],
        (value,),
        value,
    ]
    for doc in docs:
        assert orrery.pretty_format(doc, indent=indent) == model_format(doc, indent)


@pytest.mark.parametrize("make", [lambda x: [x], lambda x: Holder("n", [x])], ids=["list", "dataclass"])
def test_nesting_past_the_limit_raises(make):
    # Deeper than any version's limit (the interpreter's, or the native
    # stack's); no indentation, so that only the depth can fail.
    doc = "leaf"
    for _ in range(max(sys.getrecursionlimit(), 50_000) + 50):
        doc = make(doc)
    with pytest.raises(RecursionError, match="while pretty-printing"):
        orrery.pretty_format(doc, indent=0)
    # The guard is left on every way out: a shallow call afterwards works.
    assert orrery.pretty_format(make([])) == model_format(make([]))
