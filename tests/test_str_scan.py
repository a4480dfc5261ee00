"""Strings are copied into the result while they are scanned, 16 bytes at a
time; the text must be repr()'s for every character, at every position of a
block, in results of every width."""
import ctypes
import itertools
import random
import sys
import warnings

import pytest

import orrery
from childproc import run

# One character of each stored width; the first is plain ASCII.
FILLERS = ["a", "\xe9", "\u20ac", "\U0001f600"]
# A result of each width: its first element sets the width, so the strings
# after it are written into storage at least that wide.
RESULT_WIDTHS = ["", "\xe9", "\u20ac", "\U0001f600"]


def assert_same_as_repr(values, lead=""):
    items = [lead, *values] if lead else list(values)
    text = orrery.pretty_format(items, indent=0)
    assert text.startswith("[\n") and text.endswith(",\n]")
    rendered = text[2:-3].split(",\n")
    if lead:
        rendered = rendered[1:]
    assert rendered == [repr(v) for v in values]


@pytest.mark.parametrize("filler", FILLERS)
def test_every_code_point_at_every_block_position(filler):
    # Each code point alone among characters of the filler's width, at a
    # position that runs through every lane of a 16-byte block and past it.
    values = [filler * (c % 19) + chr(c) + filler * (c % 5) for c in range(sys.maxunicode + 1)]
    assert_same_as_repr(values)


def test_neighbouring_code_points():
    # Two characters beyond ASCII: printability is first decided from the
    # smallest and the largest, so every pair of neighbours (one printable,
    # the next not, at the end of every run) and some wider spans.
    values = []
    for c in range(0x80, 0x10000):
        for d in (1, 2, 37, 1000):
            if c + d <= sys.maxunicode:
                values.append(chr(c) + "x" + chr(c + d))
                values.append(chr(c + d) + chr(c))
    assert_same_as_repr(values)


@pytest.mark.parametrize("lead", RESULT_WIDTHS)
@pytest.mark.parametrize("filler", FILLERS)
@pytest.mark.parametrize("special", ["'", '"', "\\", "\n", "\x00", "\x7f", "\x85", "\xa0", "\xad", "\u2028",
                                     "\ufeff", "\ud800", "\U000e0001", "\U0010ffff"])
def test_one_special_character_in_text_of_every_length(lead, filler, special):
    values = []
    for n in range(1, 36):
        for k in range(n):
            values.append(filler * k + special + filler * (n - 1 - k))
    assert_same_as_repr(values, lead)


@pytest.mark.parametrize("lead", RESULT_WIDTHS)
@pytest.mark.parametrize("filler", [*FILLERS, "\u0431\u6771"])
@pytest.mark.parametrize("pair", ["\\\\", "'\"", "\n\x85", "\u2028'", "\ufeff\ud800", "\U000e0001\\", "\xad\x7f"])
def test_two_escapes_at_every_distance(lead, filler, pair):
    # Text that needs escapes is copied a block at a time up to the next
    # character repr() escapes, and goes on from the one after it: two such
    # characters at every distance and position, in text from shorter than
    # a block to several blocks long (with letters of distant scripts, each
    # looked up, for the last filler).
    first, second = pair
    values = [filler * k + first + filler * gap + second + filler * tail
              for k in range(20) for gap in range(20) for tail in (0, 1, 7, 16, 17)]
    assert_same_as_repr(values, lead)


@pytest.mark.parametrize("lead", RESULT_WIDTHS)
@pytest.mark.parametrize("escaped", ["\x00", "\\", "\x85", "\ufeff", "\U000e0001"])
def test_text_of_escapes_only(lead, escaped):
    # Every character escaped, so repr() is as long as it gets for the
    # text's length and width: the room made for it, written in blocks past
    # the text's end, at every length about the block sizes.
    values = [escaped * n + tail for n in range(1, 70) for tail in ("", "a", "\u0431")]
    assert_same_as_repr(values, lead)


@pytest.mark.parametrize("lead", RESULT_WIDTHS)
@pytest.mark.parametrize("filler", FILLERS)
def test_plain_text_of_every_length_with_quotes(lead, filler):
    values = []
    for n in range(0, 40):
        values.append(filler * n)
        for quotes in ("'", '"', "'\"", "''"):
            values.append(filler * n + quotes)
            values.append(quotes + filler * n)
    assert_same_as_repr(values, lead)


@pytest.mark.parametrize("lead", RESULT_WIDTHS)
def test_text_of_several_scripts_and_widths(lead):
    # Characters beyond ASCII far apart (the span between them holds code
    # points that are not printable) in one string.
    pieces = ["\xe0", "\u03b1", "\u0430", "\u6771", "\ud55c", "\U0001f680", "\U00020000", "\xa0", "\u0378"]
    values = [a + b + c for a in pieces for b in ("", "x", "'", pieces[3]) for c in pieces]
    assert_same_as_repr(values, lead)


@pytest.mark.parametrize("filler", FILLERS)
def test_long_text(filler):
    # Longer than the length up to which escaped strings are written directly.
    plain = filler * ((1 << 20) + 3)
    escaped = plain[:-1] + "\n"
    assert_same_as_repr([plain, escaped, plain + "'", "x"])


def test_printed_escapes_match_the_formatted_text():
    # Printing writes UTF-8 through its own escaping path: text with escapes
    # and runs of plain ASCII of every length around whole blocks, and plain
    # text beyond ASCII of each width.
    code = """
import orrery
specials = ["'", '"', "\\\\", "\\n", "\\x7f", "\\x85", "\\u2028", "\\U000e0001", "\\xe9", "\\u20ac", "\\U0001f600"]
values = [("abcdefghijklmnopqrstuvwxyz0123456789"[:n] + s) * 3 + "'\\"" for s in specials for n in range(40)]
values += [("abcdefghijklmnopqrstuvwxyz0123456789"[:n] + s) * 2 for s in specials[-3:] for n in range(40)]
orrery.pretty_print(values, indent=1)
print(repr(orrery.pretty_format(values, indent=1)))
"""
    rc, out, err = run(code)
    assert rc == 0, err
    printed, formatted = out.decode("utf-8").rsplit("\n", 2)[:2]
    assert printed == eval(formatted)


def legacy_str(text):
    """A str whose text lies in a buffer of its own, apart from the object
    (made through a call deprecated since 3.3, removed in 3.12)."""
    api = ctypes.pythonapi
    api.PyUnicode_FromUnicode.restype = ctypes.py_object
    api.PyUnicode_FromUnicode.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t]
    api.PyUnicode_AsUnicode.restype = ctypes.c_void_p
    api.PyUnicode_AsUnicode.argtypes = [ctypes.py_object]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        s = api.PyUnicode_FromUnicode(None, len(text))
    chars = ctypes.create_unicode_buffer(text)
    ctypes.memmove(api.PyUnicode_AsUnicode(s), chars, ctypes.sizeof(ctypes.c_wchar) * len(text))
    # The compact bit of the state that follows refcount, type, length and hash.
    assert not (ctypes.c_uint32.from_address(id(s) + 4 * ctypes.sizeof(ctypes.c_ssize_t)).value >> 5) & 1
    return s


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="every str is compact from 3.12 on")
@pytest.mark.parametrize("lead", RESULT_WIDTHS)
def test_text_stored_apart_from_the_object(lead):
    # Such text may not be read past its ends: short text is not read as the
    # bytes ending at its end.
    values = [legacy_str(filler * n + tail) for filler in FILLERS for tail in ("", "'", "\n", "'\"")
              for n in range(1, 36)]
    assert all(type(v) is str for v in values)
    assert_same_as_repr(values, lead)


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="every str is compact from 3.12 on")
@pytest.mark.parametrize("text", ["k", "it's", 'both \' and "', "a\\b\n", "x" * 40])
def test_ascii_text_apart_from_the_object_in_every_position(text):
    # ASCII text apart from the object takes the general path, as key and
    # value, before and after the result has widened; it reads the same as
    # the compact str of that text.
    legacy = legacy_str(text)
    doc = {legacy: [legacy, "\xe9", legacy, "\U0001f600", {legacy: legacy}]}
    plain = {text: [text, "\xe9", text, "\U0001f600", {text: text}]}
    assert orrery.pretty_format(doc, indent=2) == orrery.pretty_format(plain, indent=2)


@pytest.mark.parametrize("first", ["\xe9", "\u0430\u0431", "\x85", "\u0378x", "\U0001f600", "\U000e0001",
                                   "\U0001000c", "\n\U0001f600", "\U0001f600\U0002a6d6"])
def test_first_text_beyond_ascii_of_a_process(first):
    # Printability is looked up in tables made on first need: the first str
    # beyond ASCII of a fresh process is decided before they exist.
    code = f"""
import orrery
values = [{first!r}, "a", {first!r} * 20]
print(orrery.pretty_format(values, indent=0) == "[\\n" + "".join(repr(v) + ",\\n" for v in values) + "]")
"""
    rc, out, err = run(code)
    assert rc == 0, err
    assert out.decode().strip() == "True"


@pytest.mark.parametrize("lead", RESULT_WIDTHS)
@pytest.mark.parametrize("low, high", [("\xe9", "\u6771"), ("\x85", "\u0431"), ("\u0378", "\u0431"),
                                       ("\u0430", "\uffff"), ("\xa0", "\ufeff"), ("\u0100", "\U0001f600")])
def test_smallest_and_largest_character_in_every_lane(lead, low, high):
    # Three blocks of 2-byte text (or 4-byte with the last pair): the
    # smallest and the largest character beyond ASCII at every pair of
    # positions, among ASCII and a character between them.
    values = []
    for filler in ("\u0432", "a"):
        for i in range(24):
            for j in range(24):
                if i != j:
                    chars = [filler] * 24
                    chars[i], chars[j] = low, high
                    values.append("".join(chars))
    assert_same_as_repr(values, lead)


@pytest.mark.parametrize("lead", RESULT_WIDTHS)
@pytest.mark.parametrize("alphabet", ["ab '\"\\\n", "\xe9\xa0\xad\x85a'\"", "\u0430\u20ac\u2028a'\"\\"])
def test_short_text_after_headers_of_every_content(lead, alphabet):
    # Text of up to two blocks is read together with the bytes before it in
    # the object (from CPython 3.12 its hash among them, computed here so
    # that they vary): none of them may count as a character of the text.
    rng = random.Random(len(alphabet))
    values = ["".join(rng.choice(alphabet) for _ in range(n)) for n in range(34) for _ in range(60)]
    values += ["x" * n for n in range(34) for _ in range(60)]
    for s in values:
        hash(s)
    assert_same_as_repr(values, lead)


@pytest.mark.parametrize("lead", ["", "\U0001f600"])
@pytest.mark.parametrize("far", ["\u6771", "\U0001f680"])
def test_every_code_point_among_characters_of_distant_scripts(lead, far):
    # Text spanning distant scripts is checked character by character: each
    # code point at every position of a group of four, between Latin-1 and
    # a character of a far script (2-byte text, or 4-byte with an emoji).
    values = ["\xe0" * (c % 4) + chr(c) + "\xe9" * (c % 3) + far for c in range(sys.maxunicode + 1)]
    assert_same_as_repr(values, lead)


@pytest.mark.parametrize("lead", ["", "\U0001f600"])
@pytest.mark.parametrize("far", ["\u6771", "\U0001f680", "\U00020000"])
@pytest.mark.parametrize("odd", ["\u0378", "\u2028", "\ud800", "\U000e0001", "\U0001fffe", "\u0431"])
def test_one_character_anywhere_in_long_text_of_distant_scripts(lead, far, odd):
    # Long text spanning distant scripts is looked up 16 characters at a
    # time, only where a block holds a character beyond ASCII: one character
    # (not printable, but for the last) at every position of such text, in
    # blocks of ASCII and of other scripts, and in the characters after the
    # last whole block.
    text = ("word \xe9t\xe9 " + far + " text of prose ") * 8
    values = [text[:k] + odd + text[k + 1:n] for n in (64, 65, 79, 96) for k in range(n)]
    assert_same_as_repr(values, lead)


@pytest.mark.parametrize("lead", RESULT_WIDTHS)
@pytest.mark.parametrize("filler", FILLERS)
@pytest.mark.parametrize("tail", ["", "'", "\n", "\u0378", "\U0001f680\xe0"])
def test_strs_written_as_the_storage_grows(lead, filler, tail):
    # Strings of every length up to several blocks, one after another, so
    # that the storage runs out of room (and grows) before strs of each
    # length, width and kind of ending, in results of growing size.
    for count in (3, 40, 700):
        values = [filler * (i % 37) + tail for i in range(count)]
        assert_same_as_repr(values, lead)


@pytest.mark.parametrize("lead", RESULT_WIDTHS)
@pytest.mark.parametrize("filler", FILLERS)
def test_escaped_strs_written_as_the_storage_grows(lead, filler):
    # A str that needs escapes keeps the copy its scan made up to its first
    # escape, unless the storage grew (and moved) to make room for them:
    # long strs escaped at their end, of lengths that make the storage run
    # out of room at every point of one.
    values = [filler * (i % 301) + "\\" + filler * (i % 3) for i in range(2500)]
    assert_same_as_repr(values, lead)


@pytest.mark.parametrize("escaped", [False, True])
def test_strs_of_every_width_in_every_order(escaped):
    # The writer of each kind of str follows the result's width as it
    # widens: strs of each width before and after every widening, plain or
    # with an escape.
    tail = "\n'" if escaped else ""
    kinds = ["ab", "\xe9t\xe9", "\x85", "\u20ac\u0431", "\U0001f600a"]
    for order in itertools.permutations(kinds):
        values = [k + tail for k in order for _ in range(2)] + [k for k in kinds]
        assert_same_as_repr(values)


@pytest.mark.parametrize("others", ["\u20ac", "\xe9\u0431", "\x80\u0431", "\u0430\uffff", "\U0001f600"])
def test_del_among_characters_beyond_ascii(others):
    # DEL next to the smallest character beyond ASCII, at every position,
    # in a str that sets the result's width (its shape found first) and in
    # strs written into a result already that wide.
    values = [others[:1] * k + "\x7f" + others * (n - k) for n in range(20) for k in range(n + 1)]
    values += [others + "\x7e", "\x7e" + others, "\x7f\x80" + others]
    for v in values:
        assert orrery.pretty_format(v) == repr(v)
    assert_same_as_repr(values, "\U0001f600")
    assert_same_as_repr(values)


@pytest.mark.parametrize("special", ["\U0001fffd", "\U0001fffe", "\U0001ffff", "\U00020000", "\U0002a6d6",
                                     "\U000e0001", "\U000f0000", "\U0010ffff", "\x85", "\u0378"])
def test_4_byte_text_with_one_character_about_plane_2(special):
    # 4-byte text is looked up without a bound per character when none of
    # its characters lies beyond plane 1: each character about that bound,
    # at every position among emoji and letters of several widths.
    others = "\U0001f600\xe9\u0431a\U0001f680"
    values = [others[: k % 5] * (k // 5) + special + others * (n % 3) for n in range(12) for k in range(40)]
    assert_same_as_repr(values, "\U0001f600")
    assert_same_as_repr(values)


def test_printability_ranges_are_this_interpreters():
    # The printability tables compiled in for this release come from a
    # checked-in header; regenerating this release's part must give it back.
    import pathlib
    import subprocess
    script = pathlib.Path(__file__).resolve().parent.parent / "scripts" / "gen_printable.py"
    header = script.parent.parent / "src" / "engine" / "printable_ranges.hpp"
    if not script.exists() or not header.exists():
        pytest.skip("needs the source tree")
    if f"case {sys.version_info.minor}: return" not in header.read_text():
        pytest.skip("no table for this release: built from the interpreter on first use")
    proc = subprocess.run([sys.executable, str(script), "--check"], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
