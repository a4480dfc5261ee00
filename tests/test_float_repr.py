"""Floats are written without repr(); the text must still be repr()'s."""
import math
import random
import struct

import pytest

import orrery
from model import model_format


def assert_same_as_repr(values):
    text = orrery.pretty_format(values, indent=0)
    assert text[2:-3].split(",\n") == [repr(v) for v in values]


def from_bits(rng, count):
    return [struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(count)]


def neighbours(values):
    """Each value with the doubles next to it."""
    out = []
    for v in values:
        out += [v, math.nextafter(v, math.inf), math.nextafter(v, -math.inf)]
    return out + [-v for v in out]


@pytest.mark.parametrize("digits", range(18))
@pytest.mark.parametrize("low, high", [(-7, 0), (0, 6), (6, 16), (-10, -6), (14, 18)])
def test_rounded_values(digits, low, high):
    # round(x, k): a few significant digits, the form the short path takes,
    # across magnitudes (including those it leaves to the general path).
    rng = random.Random(digits * 100 + low)
    values = [round(rng.random() * 10.0 ** rng.uniform(low, high), digits) for _ in range(4000)]
    values += [round(rng.uniform(-1e4, 1e4), digits) for _ in range(2000)]
    assert_same_as_repr(neighbours(values[:500]) + values)


@pytest.mark.parametrize("seed", range(4))
def test_random_doubles(seed):
    rng = random.Random(seed)
    values = from_bits(rng, 25000) + [rng.random() * 10.0 ** rng.randint(-12, 20) for _ in range(25000)]
    assert_same_as_repr([v for v in values if not math.isnan(v)])


@pytest.mark.parametrize("family", ["powers", "boundaries", "integers", "halves", "digits15", "tiny"])
def test_edges(family):
    rng = random.Random(family)
    if family == "powers":
        values = [10.0 ** k for k in range(-30, 31)] + [float(f"1e{k}") for k in range(-30, 31)]
        values += [float(f"{m}e{k}") for m in (2, 5, 9, 25, 99, 123) for k in range(-12, 20)]
    elif family == "boundaries":
        # Where the form switches (1e-4, 1e16) and where the short path's
        # range ends (1e-7, 1e15), with the digits around them.
        values = [float(f"{m}e{k}") for k in (-8, -7, -6, -5, -4, -3, 14, 15, 16, 17)
                  for m in ("1", "9.99999999999999", "9.999999999999999", "1.00000000000001", "5", "0.5")]
        values += [999999999999999.0, 999999999999999.9, 1e15 - 0.5, 9999999999999998.0, 0.0001, 0.00009999]
    elif family == "integers":
        values = [float(rng.randrange(2 ** rng.randint(1, 60))) for _ in range(20000)]
        values += [float(2 ** k + d) for k in range(40, 64) for d in (-1, 0, 1)]
    elif family == "halves":
        values = [rng.randrange(-10 ** 6, 10 ** 6) / 2 ** rng.randint(1, 30) for _ in range(20000)]
    elif family == "digits15":
        values = [float(f"{rng.randrange(10 ** 14, 10 ** 15)}e{rng.randint(-25, 5)}") for _ in range(20000)]
        values += [float(f"{rng.randrange(10 ** 15, 10 ** 16)}e{rng.randint(-25, 5)}") for _ in range(20000)]
    else:
        values = [5e-324, 2.2250738585072014e-308, 2.225073858507201e-308, 1e-310, 1.7976931348623157e308]
        values += [rng.random() * 1e-300 for _ in range(1000)]
    values += [0.0, -0.0, math.inf, -math.inf]
    assert_same_as_repr(neighbours(values))


@pytest.mark.parametrize("wide", ["", "é", "\u20ac", "\U0001f600"])
def test_numbers_in_results_of_every_width(wide):
    # Numbers are written as ASCII into a result of 1, 2 or 4 bytes per
    # character, widened in blocks: every length, next to other text.
    rng = random.Random(len(wide))
    values = [wide]
    values += [sign * 10 ** k + d for k in range(19) for d in (-1, 0, 1) for sign in (1, -1)]
    values += [-(2 ** 63), 2 ** 63 - 1, True, False, None]
    values += [-1.2345678901234567e-308, 1.7976931348623157e308, -0.0, 1e16, 123456.789]
    values += from_bits(rng, 2000)
    doc = {"k": values, "d": dict(zip(map(str, range(len(values))), values))}
    assert orrery.pretty_format(doc, indent=1) == model_format(doc, 1)


def decimals(rng, digits, count, low, high):
    """Doubles read from decimals of exactly `digits` significant digits."""
    return [float(f"{rng.randrange(10 ** (digits - 1), 10 ** digits)}e{rng.randint(low, high) - digits}")
            for _ in range(count)]


@pytest.mark.parametrize("family", ["uniform", "digits16", "digits17", "ties", "powers_of_two", "range_ends"])
def test_sixteen_and_seventeen_digits(family):
    # Values that need 16 or 17 digits, from 2^-10 to 1e15 and just beyond,
    # where the choice among several candidates and the rounding interval's
    # ends decide the text.
    rng = random.Random(family)
    if family == "uniform":
        values = [rng.uniform(0, 100) for _ in range(30000)] + [rng.uniform(0, 1e15) for _ in range(10000)]
    elif family == "digits16":
        values = decimals(rng, 16, 20000, -3, 16)
    elif family == "digits17":
        values = decimals(rng, 17, 20000, -3, 16)
    elif family == "ties":
        # Binary fractions whose exact decimal ends one digit past the 17th
        # (or 16th) in a 5: halfway between two candidates.
        values = [rng.randrange(1, 10 ** 6) + rng.randrange(1, 2 ** 40) / 2.0 ** rng.randint(14, 40)
                  for _ in range(20000)]
        values += [k + 1 / 2 ** 16 for k in range(1, 2000)] + [k + 3 / 2 ** 17 for k in range(1, 2000)]
    elif family == "powers_of_two":
        # The lower rounding gap is half as wide at a power of two.
        values = [2.0 ** k * f for k in range(-12, 51) for f in (1.0, 1.5, 1.75)]
        values += [2.0 ** k * (1 + i * 2.0 ** -52) for k in range(-12, 51) for i in (1, 2, 3)]
    else:
        values = [2.0 ** -10, 1e15, 1e-3, 0.0009765625000000001, 999999999999999.9, 999999999999999.8]
        values += [rng.uniform(2.0 ** -11, 2.0 ** -9) for _ in range(5000)]
        values += [rng.uniform(9e14, 1.1e15) for _ in range(5000)]
    assert_same_as_repr(neighbours(values))


@pytest.mark.parametrize("digits", range(1, 18))
def test_every_point_position(digits):
    # Decimals of each length with the point at every place the digits can
    # stand in without an exponent (0.000ddd to ddd...0.0), with their
    # neighbours: short forms found among 16-digit candidates, carries that
    # make the form one digit longer or shorter, and integers.
    rng = random.Random(digits)
    values = []
    for decpt in range(-3, 17):
        for _ in range(150):
            mantissa = rng.randrange(10 ** (digits - 1), 10 ** digits)
            values.append(float(f"0.{mantissa}e{decpt}"))
        values.append(float(f"0.{'9' * digits}e{decpt}"))
        values.append(float(f"0.1e{decpt}") * (1 + digits * 2.0 ** -52))
    assert_same_as_repr(neighbours(values))


@pytest.mark.parametrize("low, high", [(2.0 ** -14, 2.0 ** -12), (1e-4 * 0.999, 1e-4 * 1.001), (0.999, 1.001),
                                       (9.99e14, 1.001e15), (2.0 ** 49 * 0.999, 2.0 ** 49 * 1.001)])
def test_around_form_and_exponent_changes(low, high):
    # Around where the text's form or the mantissa's exponent changes, with
    # uniform values and the doubles nearest the ends.
    rng = random.Random(repr(low))
    values = [rng.uniform(low, high) for _ in range(20000)]
    values += [low, high, 2.0 ** -13, 1.0, 0.0001, 1e15]
    for v in (low, high, 2.0 ** -13, 1.0, 1e-4, 1e15):
        for _ in range(50):
            v = math.nextafter(v, math.inf)
            values.append(v)
    assert_same_as_repr(neighbours(values))
