"""Dict entries written in one piece (line start, key, ": ") against the model."""
import dataclasses
import random

import pytest

import orrery
from model import model_format
from test_dataclass_reads import Hook

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


@dataclasses.dataclass
class Box:
    item: object


WRAPS = {"direct": lambda x: x, "list": lambda x: [x], "tuple": lambda x: (x,), "dict": lambda x: {"w": x},
         "dataclass": Box, "nested": lambda x: [[{"w": (x,)}]]}


@pytest.mark.parametrize("place", ["value-" + name for name in WRAPS] + ["key-direct", "key-tuple"])
def test_entry_after_one_that_replaces_it(place):
    # Writing an entry runs code that replaces the values of entries after
    # it (the dict keeps its size and keys): they are written with the new
    # values, and the old ones, released, are never read.
    doc = {}

    def replace():
        for key in ("b", "d", "f"):
            doc[key] = "new " + str(len(doc))

    where, wrap = place.split("-")
    first = WRAPS[wrap](Hook(replace))
    doc.update({first if where == "key" else "a": 1 if where == "key" else first})
    doc.update({key: f"old {key} {id(doc)}" if key in "bdf" else 3 for key in "bcdef"})
    assert orrery.pretty_format(doc, indent=2).endswith(
        "  'b': 'new 6',\n  'c': 3,\n  'd': 'new 6',\n  'e': 3,\n  'f': 'new 6',\n}")


@pytest.mark.parametrize("size", [1, 2, 4, 5, 9])
@pytest.mark.parametrize("change, message", [
    ("grow", "dictionary changed size during iteration"),
    ("shrink", "dictionary changed size during iteration"),
    ("swap", "dictionary keys changed during iteration"),
])
def test_dict_changed_at_any_place_among_entries_read_ahead(size, change, message):
    # The walk reads entries ahead of the one written; a change made while
    # any of them is written is still found, whatever the dict's size.
    for place in range(size):
        doc = {f"k{i}": i for i in range(size)}

        def act():
            if change == "grow":
                doc["extra"] = 0
            elif change == "shrink":
                doc.pop(next(k for k in doc if k != f"k{place}"))
            else:
                del doc[f"k{place}"]
                doc["new"] = 0

        doc[f"k{place}"] = Hook(act)
        if change == "shrink" and size == 1:
            continue
        if change == "swap" and size == 5:
            continue  # the insertion compacts a full dict: the walk goes on over fewer entries
        with pytest.raises(BaseException) as info:
            orrery.pretty_format(doc)
        assert str(info.value) == message, place
