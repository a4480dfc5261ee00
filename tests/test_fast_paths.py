"""Built-in leaves are written without repr(); the text must still be repr()'s."""
import random
import struct
import sys

import pytest

import orrery


def rendered_items(values):
    """pretty_format of a flat list, split back into one text per element."""
    text = orrery.pretty_format(values, indent=0)
    assert text.startswith("[\n") and text.endswith(",\n]")
    return text[2:-3].split(",\n")


def assert_same_as_repr(values):
    assert rendered_items(values) == [repr(v) for v in values]


def test_every_code_point():
    chunks = ["".join(map(chr, range(start, min(start + 128, sys.maxunicode + 1))))
              for start in range(0, sys.maxunicode + 1, 128)]
    assert_same_as_repr(chunks)


@pytest.mark.parametrize("body", ["", "a", "é", "\u20ac", "\U0001f600", "\x00\x7f\t\n\r\\", "\ud800", "\xa0\xad"])
@pytest.mark.parametrize("quotes", ["", "'", '"', "'\"", "\"'", "''\"\""])
def test_quote_combinations(body, quotes):
    assert_same_as_repr([quotes + body, body + quotes, body + quotes + body])


# Each text draws on some of the pools allowed for the result's width (1, 2
# or 4 bytes per character), so it is as wide as the result or narrower.
NARROW_POOLS = ["abc '\"\\", "\x00\x1f\x7f\x80\x9f\xa0\xff", "plain text \t\n"]
BMP_POOLS = ["\u0100\u2028\u3000\ufeff\uffff", "\ud800\udfff"]
ASTRAL_POOLS = ["\U00010000\U0001f600\U000e0001\U0010ffff"]


@pytest.mark.parametrize("pools", [NARROW_POOLS, NARROW_POOLS + BMP_POOLS, NARROW_POOLS + BMP_POOLS + ASTRAL_POOLS],
                         ids=["1-byte", "2-byte", "4-byte"])
def test_random_strings(pools):
    rng = random.Random(7)
    values = []
    for _ in range(3000):
        alphabet = "".join(rng.sample(pools, rng.randint(1, len(pools))))
        values.append("".join(rng.choice(alphabet) for _ in range(rng.randint(0, 80))))
    assert_same_as_repr(values)


# A leading str makes the result 1, 2 or 4 bytes per character: digits are
# written in the result's own width.
@pytest.mark.parametrize("lead", [[], ["\u0394"], ["\U0001f600"]], ids=["1-byte", "2-byte", "4-byte"])
def test_ints_around_the_direct_range(lead):
    edges = [0, 1, -1, 2**31, 2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 2**64, 10**40, -(10**40)]
    edges += [sign * (base + d) for base in [10**k for k in range(20)] + [2**k for k in range(64)]
              for d in (-1, 0, 1) for sign in (1, -1)]
    rng = random.Random(3)
    values = lead + edges + [rng.randint(-(2**70), 2**70) for _ in range(5000)] + [True, False, None]
    assert_same_as_repr(values)


def test_floats():
    rng = random.Random(11)
    bits = [struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(20000)]
    scaled = [rng.random() * 10.0 ** rng.randint(-25, 25) for _ in range(20000)]
    edges = [0.0, -0.0, float("inf"), -float("inf"), float("nan"), 1e16, 1e15, 9999999999999998.0,
             1e-4, 1e-5, 5e-324, 1.7976931348623157e308, 0.1, 2e16 + 8, 123456789.0]
    assert_same_as_repr(edges + bits + scaled)


def test_subclasses_keep_their_own_repr():
    class S(str):
        def __repr__(self):
            return "S!"

    class I(int):
        def __repr__(self):
            return "I!"

    class F(float):
        def __repr__(self):
            return "F!"

    assert rendered_items([S("x"), I(1), F(1.0)]) == ["S!", "I!", "F!"]


def test_strings_copied_as_stored_mix_with_other_text():
    # Plain non-ASCII strings go into the result unencoded; the text around
    # them (reprs of other objects, escaped strings) is UTF-8 of every width.
    values = ["é", {"ü"}, "😀", "x", "ab'é", "\u2028é", frozenset({"\U0001f600"}), "ü" * 5000,
              "Ελλάδα", ("東京",), "a\"b'ü", b"\xff", "\x80"]
    rng = random.Random(5)
    values += [rng.choice(values) for _ in range(2000)]
    expected = "[\n" + "".join(f"{orrery.pretty_format(v, indent=0)},\n" for v in values) + "]"
    assert orrery.pretty_format(values, indent=0) == expected
    assert_same_as_repr([v for v in values if not isinstance(v, tuple)])


WIDE = ["é", "\u20ac", "\U0001f600"]  # one of each stored width beyond ASCII


@pytest.mark.parametrize("wide", WIDE)
@pytest.mark.parametrize("special", ["'", '"', "\\", "\n", "\x7f", "\x85", "\xad", "\u2028", "\U000e0001", "\xe9"])
def test_one_special_character_in_long_ascii_runs(wide, special):
    # Text beyond ASCII that is mostly ASCII: the runs are checked in blocks,
    # so put the special character at every position of several blocks.
    run = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKL"
    assert_same_as_repr([run[:k] + special + run[k:] + wide for k in range(len(run) + 1)]
                        + [wide + run[:k] + special for k in range(len(run) + 1)])


@pytest.mark.parametrize("wide", WIDE)
def test_ascii_strings_of_every_length_in_a_wide_result(wide):
    text = "The quick brown fox jumps over the lazy dog, 0123456789!"
    assert_same_as_repr([wide] + [text[:k] for k in range(len(text) + 1)] + [text[k:] for k in range(len(text))])
