"""Correct rounding of the texts that neither the fast nor the careful float
methods decide: values at or a hair from the halfway point between two
doubles, with any number of digits, down to the subnormals and up to the
largest double. Python's float() is the oracle."""
import decimal
import math
import struct
import sys

import pytest

import taldo

MAX = sys.float_info.max
MIN_NORMAL = sys.float_info.min
MIN_SUBNORMAL = 5e-324


def bits(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def exact(x) -> decimal.Decimal:
    with decimal.localcontext() as context:
        context.prec = 2000
        return +decimal.Decimal(x)


def midpoint(x: float) -> decimal.Decimal:
    """The exact point halfway between x and the next double up (2^1024 past
    the largest)."""
    with decimal.localcontext() as context:
        context.prec = 2000
        upper = decimal.Decimal(2) ** 1024 if x == MAX else decimal.Decimal(math.nextafter(x, math.inf))
        return (decimal.Decimal(x) + upper) / 2


def text(value: decimal.Decimal, digits: int | None = None, rounding=decimal.ROUND_HALF_EVEN) -> str:
    """value in scientific notation, cut to `digits` significant digits."""
    with decimal.localcontext() as context:
        context.prec = digits or 2000
        context.rounding = rounding
        return format(+value, "e")


# Doubles across the range: the subnormals' ends, the normal range's ends, the
# binade edges, and some ordinary values.
DOUBLES = [
    0.0, MIN_SUBNORMAL, 2 * MIN_SUBNORMAL, 3 * MIN_SUBNORMAL, 12345 * MIN_SUBNORMAL,
    MIN_NORMAL - MIN_SUBNORMAL, MIN_NORMAL, math.nextafter(MIN_NORMAL, 1),
    1e-300, 2.2250738585072014e-300, 1e-100, 0.1, 0.5, 1.0, 1.5, math.nextafter(2.0, 0), 2.0, 3.0, 1e15,
    2.0 ** 53, 1e22, 1e23, 8.98846567431158e307, 1e300, math.nextafter(MAX, 0), MAX,
]


def near_halfway_texts():
    """For every double in DOUBLES: its midpoint with the next one up cut to
    20 to 25 digits, rounded down and up (both sides of the tie, close
    enough that the first 19 digits and the 19 digits plus one round apart),
    and the exact midpoint itself."""
    for x in DOUBLES:
        m = midpoint(x)
        yield text(m)
        for digits in range(20, 26):
            yield text(m, digits, decimal.ROUND_DOWN)
            yield text(m, digits, decimal.ROUND_UP)


def long_texts():
    """Texts of 780 digits and more, where the digits past those the
    conversion keeps decide between a tie and a value just off it."""
    for x in (MIN_SUBNORMAL, 2 * MIN_SUBNORMAL, MIN_NORMAL - MIN_SUBNORMAL, MIN_NORMAL, 1.0, 1e300, MAX):
        m = midpoint(x)
        mantissa, exponent = text(m).split("e")
        room = 900 - len(mantissa)
        yield f"{mantissa}{'0' * room}e{exponent}"          # the tie, padded with zeros
        yield f"{mantissa}{'0' * room}1e{exponent}"         # a hair above it, past 900 digits
        yield f"{mantissa}{'0' * (room - 200)}1e{exponent}"  # above it, around 780 digits
        below = m - exact(10) ** (m.adjusted() - 1000)       # a hair below: 999... to digit 1000
        yield text(below, 1001)
        yield text(below, 790, decimal.ROUND_DOWN)
    yield "1." + "0" * 1000 + "1"
    yield "0." + "9" * 1200
    yield "9" * 800 + "e-800"
    yield "1" + "0" * 779 + "1e-780"
    yield "2." + "4703282292062327" + "9" * 800 + "e-324"  # just under half the smallest subnormal
    yield "2." + "4703282292062328" + "0" * 800 + "e-324"  # just over it


def extreme_texts():
    """Exponents at the ends of what rounds to a finite non-zero double, and
    beyond."""
    return [
        text(exact(MIN_SUBNORMAL) / 2),  # half the smallest subnormal: a tie, to zero
        text(exact(MIN_SUBNORMAL) / 2, 30, decimal.ROUND_UP),
        text(exact(MIN_SUBNORMAL) / 2, 30, decimal.ROUND_DOWN),
        "1e-325", "9.99999999999999999999e-325", "2.5e-324", "1e-324", "1e-343", "1e-344",
        "1.00000000000000000000001e-343", "0.000001e-320", "1000000e-330",
        text(midpoint(MAX)), text(midpoint(MAX), 25, decimal.ROUND_DOWN), text(midpoint(MAX), 25, decimal.ROUND_UP),
        "1.797693134862315807e308", "1.797693134862315808e308", "1.7976931348623158079372897140530341507993e308",
        "9.99999999999999999999e308", "1e309", "1e310", "0.1e310", "0.01e311", "123456789012345678901e289",
        "1.00000000000000000000001e308", "1e-400", "1e400",
    ]


def carry_texts():
    """Cut significands of nines, where the first 19 digits plus one carries
    into a new digit."""
    texts = []
    for count in (19, 20, 21, 22, 25, 30, 40):
        nines = "9" * count
        for exponent in (-330, -320, -308, -200, -30, -1, 0, 5, 22, 100, 288, 289, 290, 300, 308):
            texts.append(f"{nines}e{exponent}")
            texts.append(f"9.{nines[1:]}e{exponent}")
            texts.append(f"0.{nines}e{exponent}")
    texts += ["9" * 19 + "." + "9" * 10, "9.999999999999999999999", "0.99999999999999999999999"]
    return texts


CASES = sorted(set(near_halfway_texts()) | set(long_texts()) | set(extreme_texts()) | set(carry_texts()))


def test_the_cases_include_ties_and_long_texts():
    # The tables above must hold what they are meant to: exact ties, texts of
    # 20 to 25 digits and texts past 780 digits.
    assert any(len(t.split("e")[0]) > 900 for t in CASES)
    assert sum(20 <= len(t.split("e")[0].replace(".", "")) <= 25 for t in CASES) > 200
    assert any(float(t) == 0.0 and t != "0e+0" and not t.startswith("0e") for t in CASES)


@pytest.mark.parametrize("number", CASES)
@pytest.mark.parametrize("sign", ["", "-"])
def test_hard_texts_round_as_python_float(number, sign):
    number = sign + number
    expected = bits(float(number))
    encoded = number.encode()
    # Alone (read near the end of the input), in an array (read in place), and
    # as a LosslessFloat's text.
    assert bits(taldo.from_json(encoded)) == expected
    values = taldo.from_json(b"[" + encoded + b", 1" + b" " * 40 + b"]")
    assert bits(values[0]) == expected and values[1] == 1
    assert bits(float(taldo.from_json(encoded, float_mode="lossless-float"))) == expected


@pytest.mark.parametrize("number", CASES)
def test_hard_texts_in_the_middle_of_a_document(number):
    # The digits and exponent read by the block reader and by the general
    # reader: the value must not depend on where the number lies.
    document = b" " * 7 + b"[0.5," + number.encode() + b"," + b"2" * 50 + b"]"
    assert bits(taldo.from_json(document)[1]) == bits(float(number))


# Significands whose fraction runs past the 32 bytes the block reader looks at
# first: every integer-part length it takes, fractions of 28 to 70 digits.
LONG_FRACTIONS = [
    digits[:k] + "." + digits[k:k + f] + exponent
    for k in (1, 2, 7, 14, 15)
    for f in (28, 29, 30, 31, 45, 70)
    for digits in ("7205759403792793" + "6" * 80, "9" * 90, "1" + "0" * 90, "2" + "0" * 60 + "1" * 30)
    for exponent in ("", "e-300", "E+5", "e-330")
]


@pytest.mark.parametrize("number", LONG_FRACTIONS)
def test_long_fractions_at_every_distance_from_the_end(number):
    expected = bits(float(number))
    for pad in (0, 1, 7, 20, 45):
        assert bits(taldo.from_json(number.encode() + b" " * pad)) == expected
        values = taldo.from_json(b"[" + number.encode() + b"," + b" " * pad + b"3]")
        assert bits(values[0]) == expected and values[1] == 3


def error_of(document):
    with pytest.raises(ValueError) as caught:
        taldo.from_json(document)
    return str(caught.value)


@pytest.mark.parametrize("tail", [b"e", b"e+", b"ex", b"E-]", b"e-", b"e--1", b".5", b"e5.5"])
@pytest.mark.parametrize("pad", [b"", b" " * 50])
def test_long_fractions_with_bad_endings_fail_as_short_ones(tail, pad):
    # The error is the general reader's, wherever the number lies: the same
    # kind as for 1.5 at the same place after the number.
    short = error_of(b"[1.5" + tail + pad)
    kind, column = short.rsplit(" column ", 1)
    for number in (b"1." + b"3" * 40, b"123." + b"0" * 35 + b"1", b"4." + b"9" * 29):
        assert error_of(b"[" + number + tail + pad) == f"{kind} column {int(column) + len(number) - 3}"
