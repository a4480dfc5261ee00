"""Lists and tuples longer than the ones walked one element at a time: runs of
leaves written in the result's width of the moment, broken by other elements,
by a wider character and by code that changes the list, checked against the
model."""
import dataclasses

import pytest

import orrery
from model import model_format


@dataclasses.dataclass
class Point:
    x: object
    y: object = 0


class Raw:
    """repr() is `text`, after running `action` once."""

    def __init__(self, text, action=None):
        self.text, self.action = text, action

    def __repr__(self):
        action, self.action = self.action, None
        if action is not None:
            action()
        return self.text


# Leaves of every kind and every width, and some that are no leaf written in
# place (an int beyond 64 bits, containers, an object with its own repr).
LEAVES = ["a", "it's", "x\ny", "\xe9", "\xad", "\u20ac", "\U0001f600", 7, -2**63, 1.5, 1e300, None, True, False]
OTHERS = [2**80, [], ["in"], {"k": "v"}, (), ("t", 1), Point("p"), Raw("<raw>")]


def runs_with_breaks(size, breaks):
    """`size` ASCII strs with the values of `breaks` placed at their positions."""
    items = [f"s{i}" for i in range(size)]
    for at, value in breaks:
        items[at] = value
    return items


# Where a run is broken: its first element, inside it, just past the
# elements walked inline, its last.
POSITIONS = [0, 5, 8, 9, 16, 39]


@pytest.mark.parametrize("at", POSITIONS)
@pytest.mark.parametrize("value", LEAVES + OTHERS, ids=repr)
@pytest.mark.parametrize("seq", [list, tuple])
def test_one_element_breaks_a_run(seq, value, at):
    doc = seq(runs_with_breaks(40, [(at, value)]))
    for indent in (0, 4):
        assert orrery.pretty_format(doc, indent=indent) == model_format(doc, indent)
    # Nested, so the margins are deeper than one block of spaces.
    nested = {"k": [[[[[[doc]]]]]]}
    assert orrery.pretty_format(nested, indent=7) == model_format(nested, 7)


@pytest.mark.parametrize("widths", [
    ["a", "\xe9", "\u20ac", "\U0001f600"],
    ["\U0001f600", "a", "\u20ac"],
    ["\u20ac", 1, "\xe9", 2.5, "\U0001f600", None],
])
def test_result_widened_inside_runs(widths):
    # Each wider character widens the result between two elements of a run;
    # the line start after it is written in the new width.
    doc = [w for w in widths for _ in range(12)]
    assert orrery.pretty_format(doc) == model_format(doc)
    assert orrery.pretty_format(doc, indent=33) == model_format(doc, 33)


def test_every_element_other_than_a_leaf():
    doc = [OTHERS[i % len(OTHERS)] for i in range(50)]
    assert orrery.pretty_format(doc, indent=2) == model_format(doc, 2)


def walked(items, indent):
    """The text of a list walked as the renderer walks it: its size read again
    after each element (whose repr() may change the list), elements appended
    meanwhile never visited. Elements are one line each."""
    lines, start, i, end = [], len(items), 0, len(items)
    while i < end:
        lines.append(" " * indent + repr(items[i]) + ",\n")
        end = min(start, len(items))
        i += 1
    return "[\n" + "".join(lines) + "]"


CHANGES = {
    "clear": lambda items: items.clear(),
    "pop": lambda items: items.pop(),
    "cut": lambda items: items.__delitem__(slice(12, None)),
    "append": lambda items: items.append("late"),
    "wider": lambda items: items.__setitem__(slice(11, 14), ["\u20ac", "\U0001f600", "z"]),
    "others": lambda items: items.__setitem__(slice(11, 13), [2**90, Raw("<again>")]),
    "shrink to next": lambda items: items.__delitem__(slice(11, None)),
}


@pytest.mark.parametrize("at", [9, 10, 20])
@pytest.mark.parametrize("change", CHANGES)
def test_list_changed_by_an_element_inside_a_long_list(change, at):
    # Leaves after the element that ran code are read afresh from the list.
    def make():
        items = [f"s{i}" for i in range(30)]
        items[at] = Raw("m", lambda: CHANGES[change](items))
        return items

    assert orrery.pretty_format(make(), indent=3) == walked(make(), 3)
