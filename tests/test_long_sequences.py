"""Lists and tuples longer than the ones walked one element at a time: runs of
leaves broken by other elements, by a wider character and by code that
changes the list."""
import os

import pytest

import orrery
from childproc import run
from model import model_format


class Raw:
    """repr() is `text`, after running `action` once."""

    def __init__(self, text, action=None):
        self.text, self.action = text, action

    def __repr__(self):
        action, self.action = self.action, None
        if action:
            action()
        return self.text


BREAKS = ["it's", "x\ny", "\xad", "\u20ac", "\U0001f600", -2**63, 1e300, None, False,
          2**80, [], ["in"], {"k": "v"}, ("t", 1), Raw("<raw>")]


@pytest.mark.parametrize("at", [0, 8, 9, 39])
@pytest.mark.parametrize("value", BREAKS, ids=repr)
@pytest.mark.parametrize("seq", [list, tuple])
def test_one_element_breaks_a_run(seq, value, at):
    doc = seq(value if i == at else f"s{i}" for i in range(40))
    # Deeply nested too: margins wider than one 64-byte block of spaces.
    for doc, indent in ((doc, 4), ({"k": [[[[[[doc]]]]]]}, 7)):
        assert orrery.pretty_format(doc, indent=indent) == model_format(doc, indent)


@pytest.mark.parametrize("widths", [["a", "\xe9", "\u20ac", "\U0001f600"], ["\u20ac", 1, "\U0001f600", None]])
def test_result_widened_inside_runs(widths):
    doc = [w for w in widths for _ in range(12)]
    assert orrery.pretty_format(doc, indent=33) == model_format(doc, 33)


def walked(items, indent):
    """A list of one-line elements walked as the renderer walks it: its size is
    read again after each element, elements appended meanwhile are left out."""
    lines, start, i, end = [], len(items), 0, len(items)
    while i < end:
        lines.append(" " * indent + repr(items[i]) + ",\n")
        end, i = min(start, len(items)), i + 1
    return "[\n" + "".join(lines) + "]"


@pytest.mark.parametrize("at", [9, 20])
@pytest.mark.parametrize("change", [
    lambda items: items.clear(),
    lambda items: items.__delitem__(slice(12, None)),
    lambda items: items.append("late"),
    lambda items: items.__setitem__(slice(21, 23), ["\U0001f600", 2**90]),
])
def test_list_changed_by_an_element_inside_a_long_list(change, at):
    def make():
        items = [f"s{i}" for i in range(30)]
        items[at] = Raw("m", lambda: change(items))
        return items

    assert orrery.pretty_format(make(), indent=1) == walked(make(), 1)


@pytest.mark.parametrize("at", [0, 9, 19])
@pytest.mark.parametrize("lead", ["a", "\xe9", "\u20ac", "\U0001f600"])
def test_ascii_text_too_long_to_escape_in_place_inside_a_run(lead, at):
    # ASCII text longer than a str escaped in place, with a line break and
    # both quotes: its writer declines it and the list renders it the general
    # way, in a result of every width.
    huge = "x" * (1 << 20) + "\n'\""
    doc = [lead] + [huge if i == at else f"s'{i}" for i in range(20)]
    assert orrery.pretty_format(doc, indent=2) == model_format(doc, 2)


@pytest.mark.parametrize("indent", [1, 64, 65])
@pytest.mark.parametrize("lead", ["", "\xe9", "\u20ac", "\U0001f600"])
def test_storage_growing_at_every_offset_of_a_line_break(lead, indent):
    # A first element of every length moves the later line breaks, with
    # margins below and beyond one block of spaces, across every offset of
    # the storage's growth from its first size (and its second).
    for length in range(0, 300, 3):
        doc = [lead + "x" * length] + [f"s{i}" for i in range(24)] + [1.5, None, 2**40]
        assert orrery.pretty_format(doc, indent=indent) == model_format(doc, indent)


@pytest.mark.parametrize("length", range(0, 96, 8))
def test_growth_into_a_large_block_between_leaves(length):
    # The result outgrows the small blocks in the middle of a run.
    doc = ["y" * length] + [f"item{i}" for i in range(6000)]
    assert orrery.pretty_format(doc, indent=5) == model_format(doc, 5)


CHANGES = {
    "clear": "items.clear()",
    "shrink": "del items[12:]",
    "replace": "items[:] = ['\\u20ac'] * 50",
    "widen": "items[20:22] = ['\\U0001f600', 2 ** 90]",
}


@pytest.mark.parametrize("change", CHANGES)
def test_printed_long_list_changed_by_an_element(change):
    # Printing walks the list one element at a time; it must show what the
    # formatted text shows.
    code = f"""
        import os, sys
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        import orrery
        from test_long_sequences import Raw
        items = ["s" + str(i) for i in range(30)]
        items[9] = Raw("m", lambda: exec({CHANGES[change]!r}, {{"items": items}}))
        orrery.pretty_print(items, 2)
    """
    rc, out, err = run(code)
    assert rc == 0, err
    items = [f"s{i}" for i in range(30)]
    items[9] = Raw("m", lambda: exec(CHANGES[change], {"items": items}))
    assert out.decode() == walked(items, 2) + "\n"
