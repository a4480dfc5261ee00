"""The result str is built in place, at the width of its widest character.

Each case is checked against the repr()-based model, on documents large
enough that the storage outgrows its first block, and twice in a row (the
second call starts from the size of the first result).
"""
import collections
import dataclasses
import os
import random
import struct
import subprocess
import sys

import pytest

import orrery
from model import model_format


def check(obj, indent=4):
    for _ in range(2):
        text = orrery.pretty_format(obj, indent=indent)
        assert text == model_format(obj, indent)  # equal strs have equal widths
        # An ASCII-only result must be stored as ASCII, not as Latin-1.
        assert text.isascii() == (max(map(ord, text)) < 0x80)


FILLER = ["key %d 'q' \"d\" back\\slash" % i for i in range(6000)]  # about 200 KB of ASCII


@pytest.mark.parametrize("wide", ["\xe9", "\u20ac", "\U0001f600", "\xad\u2028\U000e0001", "\xa0\x85",
                                  "\xe9\u20ac\U0001f600"])
@pytest.mark.parametrize("where", [0, 1, 2999, 5999])
def test_widest_character_anywhere(wide, where):
    # The non-printable ones ("\xad", "\u2028", ...) are escaped: the result stays ASCII.
    items = list(FILLER)
    items[where] = "x" + wide + "y"
    check(items)
    check({k: v for k, v in zip(items, reversed(items))})


@pytest.mark.parametrize("wide", ["\xe9", "\u20ac", "\U0001f600"])
def test_wide_text_from_repr_and_names(wide):
    # Text beyond ASCII from a repr() or a set widens the result as well.
    class Shown:
        def __repr__(self):
            return "<" + wide + ">"

    check(FILLER[:3000] + [Shown(), {wide}] + FILLER[:3000])


def random_document(rng, depth=0):
    r = rng.random()
    if depth < 4 and r < 0.3:
        entries = [(random_leaf(rng), random_document(rng, depth + 1)) for _ in range(rng.randrange(0, 6))]
        kind = rng.choice([dict, dict, collections.OrderedDict, type("Sub", (dict,), {})])
        return kind(entries)
    if depth < 4 and r < 0.5:
        items = [random_document(rng, depth + 1) for _ in range(rng.randrange(0, 6))]
        return items if rng.random() < 0.7 else tuple(items)
    return random_leaf(rng)


ALPHABETS = ["abc xyz", "'\"\\\t\n\x00\x7f", "\x80\x9f\xa0\xad\xe9\xff", "\u0100\u2028\u3000\u4e2d\ufeff\uffff",
             "\U00010000\U0001f600\U000e0001\U0010ffff", "\ud800\udfff"]


def random_leaf(rng):
    kind = rng.randrange(5)
    if kind == 0:
        bits = rng.randrange(0, 130)
        return rng.choice([1, -1]) * rng.getrandbits(bits) if bits else 0
    if kind == 1:
        return rng.choice([struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0],
                           rng.random() * 10.0 ** rng.randint(-20, 20), 10.0 ** rng.randint(-6, 18)])
    if kind == 2:
        return rng.choice([None, True, False])
    # Mostly ASCII strings; a few from the other alphabets.
    alphabet = "".join(rng.sample(ALPHABETS, rng.randint(1, 3))) if rng.random() < 0.05 else ALPHABETS[0]
    return "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 40)))


@pytest.mark.parametrize("seed", range(6))
def test_generated_documents(seed):
    rng = random.Random(seed)
    check([random_document(rng) for _ in range(400)], indent=rng.choice([0, 2, 4]))


def test_sizes_that_change_between_calls():
    big = FILLER * 4
    for doc in [big, FILLER[:10], big + ["\U0001f600"], FILLER, ["\xe9"] + big]:
        check(doc)


@pytest.mark.parametrize("wide", ["", "\xe9", "\u20ac", "\U0001f600"])
@pytest.mark.parametrize("where", [20000, -1])
def test_results_of_megabytes(wide, where):
    # Beyond a few hundred KB the storage is filled a window at a time: a
    # wider character, or a str longer than any window, anywhere in it.
    items = FILLER * 4
    items[where] = "x" + wide + "y" * 100_000
    check(items)


def test_strings_near_the_start_of_their_storage():
    # Short strings are scanned with a load that ends at their last
    # character; every length below 16 and every position of a special one.
    values = ["".join(c if i == k else "a" for i in range(n)) for n in range(1, 17) for k in range(n)
              for c in "'\"\\\x00"]
    check(values)
    assert sys.getsizeof("a") > 16  # the text follows a header longer than one load


def test_wide_character_form_of_a_large_result():
    # Older interpreters share a 4-byte str's storage as its wchar_t form,
    # with a length of its own that must match the str's.
    ctypes = pytest.importorskip("ctypes")
    items = ["\U0001f600"] + FILLER
    for _ in range(3):
        text = orrery.pretty_format(items)
        assert ctypes.create_unicode_buffer(text).value == text


def nested(depth, leaf):
    # Lists, dicts and tuples in turn, two entries each: every line break of
    # every depth is followed by a margin and by more text or a closer.
    node = leaf
    for level in range(depth):
        node = [[node, leaf], {leaf: node, "k": leaf}, (node, leaf)][level % 3]
    return node


@pytest.mark.parametrize("wide", ["", "\xe9", "\u20ac", "\U0001f600"])
@pytest.mark.parametrize("indent", [0, 1, 3, 7, 15, 16, 17, 31, 32, 33, 63, 64, 65, 200])
def test_margins_across_block_sizes(wide, indent):
    # Margins of every width around the 16-, 32- and 64-unit blocks spaces
    # are copied in, in results of each width.
    check(nested(7, "v" + wide), indent=indent)


@pytest.mark.parametrize("wide", ["", "\u20ac", "\U0001f600"])
def test_line_breaks_at_the_end_of_the_first_storage(wide):
    # Lengths sweeping across the first block of storage, so that some line
    # break with its margin is written right at its end.
    for n in range(40, 80):
        check([["x" * n + wide, {"k": "y" * (n % 7)}], "z" * (n % 5)], indent=9)


@dataclasses.dataclass
class Pair:
    lead: object
    text: object


@pytest.mark.parametrize("shape", [lambda a, b: [a, b], lambda a, b: {a: b}, Pair])
@pytest.mark.parametrize("wide", ["", "\xe9", "\u20ac", "\U0001f600"])
@pytest.mark.parametrize("n", [5, 100])
def test_str_after_a_piece_ending_near_the_end_of_the_storage(shape, wide, n):
    # The piece before the str (a line break and margin, a key's line, a
    # field's line start) ends at every distance from the end of the first
    # storage block; the str's text is then copied in blocks that run past
    # it, into room its check must have asked for (an overrun is caught
    # under AddressSanitizer).
    for k in range(300):
        check(shape(wide + "a" * k, "b" * n))


PEAK_CHILD = r"""
import gc, sys, orrery
wide, head = sys.argv[1], sys.argv[2]
doc = [head * 40 + str(i) for i in range(200_000)] + [wide]
orrery.pretty_format([head, wide])  # the module's code pages come in outside the measure
gc.collect()
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the high-water mark starts again from the current size
def kib(field):
    return int(next(l.split()[1] for l in open("/proc/self/status") if l.startswith(field)))
base = kib("VmRSS:")
text = orrery.pretty_format(doc)
print((kib("VmHWM:") - base) * 1024 / sys.getsizeof(text))
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's allocator and shadow memory count in the resident size")
@pytest.mark.parametrize("head, wide", [("a", "\u20ac"), ("a", "\U0001f600"), ("\u0101", "\U0001f600")])
def test_widening_late_holds_little_more_than_the_result(head, wide):
    # A large result that turns wider at its very end is copied once; the
    # narrower copy goes back to the system as the copy proceeds, so that
    # the call's peak stays close to the result's own size.
    proc = subprocess.run([sys.executable, "-c", PEAK_CHILD, wide, head], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert float(proc.stdout) < 1.12
