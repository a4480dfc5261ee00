"""Dict entries written in one piece (line start, key, ": ") against the model."""
import dataclasses
import random

import pytest

import orrery
from model import model_format

# One value of each stored width beyond ASCII: placed before the entries, it
# makes the result that wide from the start; placed after, the result is
# widened once the entries are written.
WIDE = ["é", "\u20ac", "\U0001f600"]
SPECIALS = ["'", '"', "\\", "\n", "\x00", "\x7f", "é", "\u20ac", "\U0001f600", "\x85"]


def keys_of_every_length(limit=40):
    base = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOP"
    keys = [base[:n] for n in range(limit + 1)]
    keys += [base[:k] + special + base[k:n] for n in range(limit) for k in range(n + 1) for special in SPECIALS]
    return keys


@pytest.mark.parametrize("indent", [0, 1, 4, 9, 30])
@pytest.mark.parametrize("wide", ["", *WIDE])
@pytest.mark.parametrize("where", ["before", "after"])
def test_keys_of_every_length_and_content(indent, wide, where):
    keys = keys_of_every_length()
    entries = {key: i for i, key in enumerate(keys)}
    doc = [wide, {"outer": entries, "quoted": {"it's": 1, 'say "hi"': 2, "both '\"": 3}}]
    if where == "after":
        doc.reverse()
    assert orrery.pretty_format(doc, indent=indent) == model_format(doc, indent)


class Key(str):
    pass


@pytest.mark.parametrize("key", [Key("sub"), 7, 2.5, None, ("t", 1), "é", "\U0001f600", "", "x" * 100,
                                 frozenset({"f"}), True],
                         ids=repr)
@pytest.mark.parametrize("position", [0, 1, 2])
def test_other_keys_among_plain_ones(key, position):
    # A key the one-piece write does not take is written the general way,
    # with the line start it would have had.
    entries = [("a", 1), ("bb", [2]), ("ccc", {"d": None})]
    entries.insert(position, (key, "v"))
    doc = {"x": dict(entries)}
    for indent in (0, 3):
        assert orrery.pretty_format(doc, indent=indent) == model_format(doc, indent)


def test_random_nested_documents():
    rng = random.Random(21)
    words = ["id", "name", "it's", "a\\b", 'q"', "ключ", "鍵", "🔑", "", "x" * 15, "y" * 16, "z" * 17]

    def value(depth):
        r = rng.random()
        if depth < 4 and r < 0.25:
            return {rng.choice(words) + str(rng.randrange(3)): value(depth + 1) for _ in range(rng.randrange(5))}
        if depth < 4 and r < 0.35:
            return [value(depth + 1) for _ in range(rng.randrange(4))]
        return rng.choice([1, -2.5, None, True, "text", "é", 10**30, ("t",)])

    for _ in range(300):
        doc = value(0)
        indent = rng.choice([0, 2, 4])
        assert orrery.pretty_format(doc, indent=indent) == model_format(doc, indent)


class Raw:
    """Its repr runs `action` and is "m"."""

    def __init__(self, action):
        self.action = action

    def __repr__(self):
        self.action()
        return "m"


@dataclasses.dataclass
class Box:
    item: object


WRAPS = {"direct": lambda x: x, "list": lambda x: [x], "tuple": lambda x: (x,), "dict": lambda x: {"w": x},
         "dataclass": Box, "nested": lambda x: [[{"w": (x,)}]]}


@pytest.mark.parametrize("place", ["value-" + name for name in WRAPS] + ["key-direct", "key-tuple"])
def test_entry_after_one_that_replaces_it(place):
    # Writing an entry runs code that replaces the next entry's value (the
    # dict keeps its size and keys): the next entry is written with the new
    # value, and the old one, released, is never read.
    doc = {}

    def replace():
        doc["b"] = "new " + str(len(doc))

    where, wrap = place.split("-")
    first = WRAPS[wrap](Raw(replace))
    doc.update({first if where == "key" else "a": 1 if where == "key" else first,
                "b": "old " + str(id(doc)), "c": 3})
    assert orrery.pretty_format(doc, indent=2).endswith("  'b': 'new 3',\n  'c': 3,\n}")
