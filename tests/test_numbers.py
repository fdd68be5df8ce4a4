"""Numbers: the grammar and its errors, integer digit runs, big integers and
correctly rounded floats, checked against Python's own int() and float()."""
import decimal
import math
import random
import struct

import pytest

import taldo
from number_texts import exact_midpoint, short_tie

FLOAT_MODES = ["float", "decimal", "lossless-float"]


def bits(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def error_of(document: bytes, **options) -> str:
    with pytest.raises(ValueError) as info:
        taldo.from_json(document, **options)
    return str(info.value)


# -- values -----------------------------------------------------------------

@pytest.mark.parametrize("text, expected", [
    (b"0", 0), (b"-0", 0), (b"7", 7), (b"-7", -7), (b"10", 10),
    (b"9223372036854775807", 2**63 - 1),
    (b"-9223372036854775808", -2**63),
    (b"9223372036854775808", 2**63),
    (b"-9223372036854775809", -2**63 - 1),
    (b"9999999999999999999", 10**19 - 1),
    (b"18446744073709551616", 2**64),
    (b"123456789012345678901234567890", 123456789012345678901234567890),
    (b"-2361183241434822606848", -2**71),
])
@pytest.mark.parametrize("float_mode", FLOAT_MODES)
def test_integers_are_exact_ints_in_every_mode(text, expected, float_mode):
    value = taldo.from_json(text, float_mode=float_mode)
    assert type(value) is int and value == expected


@pytest.mark.parametrize("text, expected", [
    (b"1.0", 1.0), (b"-0.0", -0.0), (b"0e5", 0.0), (b"-0E-5", -0.0), (b"1E5", 1e5), (b"1e+5", 1e5),
    (b"1e-5", 1e-5), (b"1.0e5", 1e5), (b"2.5", 2.5),
    (b"1e400", math.inf), (b"-1e400", -math.inf), (b"1e-400", 0.0), (b"-1e-400", -0.0),
    (b"Infinity", math.inf), (b"-Infinity", -math.inf),
    (b"4.9e-324", 5e-324), (b"2.4703282292062327e-324", 0.0), (b"2.4703282292062328e-324", 5e-324),
    (b"1.7976931348623157e308", 1.7976931348623157e308), (b"1.7976931348623159e308", math.inf),
    (b"9007199254740993e0", 9007199254740992.0),  # a tie goes to the even neighbour
    (b"9007199254740993.0", 9007199254740992.0),
    (b"9007199254740995e0", 9007199254740996.0),
    (b"1.00000000000000011102230246251565404236316680908203125", 1.0),  # exact tie
    (b"1.00000000000000011102230246251565404236316680908203125001", 1.0000000000000002),
    (b"0." + b"0" * 400 + b"1e400", 0.1),
    (b"1" + b"0" * 400 + b"e-400", 1.0),
    (b"3." + b"3" * 5000, 3.3333333333333335),
    (b"1e0000000000000000000000000000000000001", 10.0),
    (b"1e-99999999999999999999999", 0.0),
    (b"1e99999999999999999999999", math.inf),
])
def test_floats(text, expected):
    value = taldo.from_json(text)
    assert type(value) is float and bits(value) == bits(expected)
    assert bits(taldo.from_json(b"[" + text + b"]")[0]) == bits(expected)


def test_nan():
    value = taldo.from_json(b"NaN")
    assert type(value) is float and math.isnan(value) and math.copysign(1, value) == 1


@pytest.mark.parametrize("document, stop", [
    (b"[1.5.3]", 4),
    (b"[123abc]", 4),
    (b"[0x1]", 2),
    (b"[-0x1]", 3),
    (b"[Infinityx]", 9),
    (b"[12345678901234567890-]", 21),
    (b"[1\x80]", 2),
])
def test_a_number_ends_at_the_first_byte_that_cannot_continue_it(document, stop):
    # What follows the number is the builder's business: not a comma here.
    assert error_of(document) == f"expected `,` or `]` at line 1 column {stop + 1}"


# -- errors -----------------------------------------------------------------

NUMBER_ERRORS = [
    # (document, allow_inf_nan, message)
    (b"+1", True, "expected value at line 1 column 1"),
    (b".5", True, "expected value at line 1 column 1"),
    (b"-", True, "EOF while parsing a value at line 1 column 1"),
    (b"[-", True, "EOF while parsing a value at line 1 column 2"),
    (b"--1", True, "invalid number at line 1 column 2"),
    (b"-a", True, "invalid number at line 1 column 2"),
    (b"-.5", True, "invalid number at line 1 column 2"),
    (b"-NaN", True, "invalid number at line 1 column 2"),
    (b"01", True, "invalid number at line 1 column 2"),
    (b"-00", True, "invalid number at line 1 column 3"),
    (b"NaN", False, "expected value at line 1 column 1"),
    (b"Infinity", False, "expected value at line 1 column 1"),
    (b"-Infinity", False, "invalid number at line 1 column 2"),
    (b"N", True, "EOF while parsing a value at line 1 column 1"),
    (b"Na", True, "EOF while parsing a value at line 1 column 2"),
    (b"Inf", True, "EOF while parsing a value at line 1 column 3"),
    (b"-Infinit", True, "EOF while parsing a value at line 1 column 8"),
    (b"Nan", True, "expected ident at line 1 column 3"),
    (b"Nx", True, "expected ident at line 1 column 2"),
    (b"Infinitx", True, "expected ident at line 1 column 8"),
    (b"[infinity]", True, "expected value at line 1 column 2"),
    (b"1.e5", True, "invalid number at line 1 column 3"),
    (b"1.x", True, "invalid number at line 1 column 3"),
    (b"[0.]", True, "invalid number at line 1 column 4"),
    (b"1.", True, "EOF while parsing a value at line 1 column 2"),
    (b"1ex", True, "invalid number at line 1 column 3"),
    (b"1e+x", True, "invalid number at line 1 column 4"),
    (b"1e-.", True, "invalid number at line 1 column 4"),
    (b"1e", True, "EOF while parsing a value at line 1 column 2"),
    (b"1.5E+", True, "EOF while parsing a value at line 1 column 5"),
    (b"[1,\n 12345678901234567.e1]", True, "invalid number at line 2 column 20"),
]


@pytest.mark.parametrize("document, allow_inf_nan, message", NUMBER_ERRORS)
@pytest.mark.parametrize("float_mode", FLOAT_MODES)
def test_number_errors(document, allow_inf_nan, message, float_mode):
    assert error_of(document, allow_inf_nan=allow_inf_nan, float_mode=float_mode) == message


@pytest.mark.parametrize("tail", [b"", b".5", b"e1", b"0", b" "])
@pytest.mark.parametrize("sign", [b"", b"-"])
@pytest.mark.parametrize("float_mode", FLOAT_MODES)
def test_more_than_4300_integer_digits(tail, sign, float_mode):
    document = sign + b"7" * 4301 + tail
    index = len(sign) + 4301  # just past the 4301st digit
    column = index if index == len(document) else index + 1
    assert error_of(document, float_mode=float_mode) == f"number out of range at line 1 column {column}"


# -- digit runs ---------------------------------------------------------------

def random_digits(rng, n):
    return rng.choice("123456789") + "".join(rng.choice("0123456789") for _ in range(n - 1))


@pytest.mark.parametrize("n", range(1, 20))
def test_short_runs_agree_at_every_distance_from_the_end(n):
    # Fewer than 16 bytes after the first digit take the byte-at-a-time path,
    # more take the block path: both must give the same value and end.
    rng = random.Random(n)
    for text in (random_digits(rng, n), "9" * n, "1" + "0" * (n - 1)):
        for sign in ("", "-"):
            number = (sign + text).encode()
            expected = int(number)
            for pad in range(0, 20):
                for float_mode in FLOAT_MODES:
                    assert taldo.from_json(number + b" " * pad, float_mode=float_mode) == expected
                assert taldo.from_json(b"[" + number + b"]" + b" " * pad) == [expected]
                assert taldo.from_json(b"[" + number + b",0" + b" " * pad + b"]") == [expected, 0]
                value = taldo.from_json(number + b".5" + b" " * pad)
                assert bits(value) == bits(float(number + b".5"))
                for marker in (b".", b"e", b"E"):
                    at = len(number) + 1
                    assert error_of(number + marker) == f"EOF while parsing a value at line 1 column {at}"


@pytest.mark.parametrize("n", [20, 31, 32, 33, 34, 48, 49, 100, 4299, 4300])
@pytest.mark.parametrize("float_mode", FLOAT_MODES)
def test_long_runs_are_exact(n, float_mode):
    rng = random.Random(n)
    for text in (random_digits(rng, n), "9" * n, "1" + "0" * (n - 1)):
        for sign in ("", "-"):
            number = (sign + text).encode()
            assert taldo.from_json(number, float_mode=float_mode) == int(number)
            assert taldo.from_json(b"[" + number + b", 1]", float_mode=float_mode) == [int(number), 1]
            value = taldo.from_json(number + b"e-5", float_mode="float")
            assert bits(value) == bits(float(number + b"e-5"))


# Float texts of the shapes the conversion reads differently: integer parts
# of 1 to 16 digits, significands of 16 to 30 digits (leading zeros included)
# around the 16/17/19-digit steps, fractions that run to 32 bytes, exponents of
# 1 to 4 digits, ties and the ends of the double range.
FLOAT_SHAPES = [
    "65.613616999999977", "43.420273000000009", "65.625", "2.5", "123.456", "0.25",
    "0.6919837561197069", "0.69198375611970693", "0.012345678901234568", "0.0012345678901234567",
    "0.00012345678901234567", "0.000000000000000000000000000001", "0." + "0" * 28 + "7",
    "123456789012345.67", "1234567890123456.7", "999999999999999.99", "99999999999999.999",
    "1." + "2" * 27, "1." + "2" * 28, "1." + "2" * 29, "1." + "2" * 30, "12." + "9" * 27,
    "184467440737095516.15", "18446744073709551615.0", "1844.6744073709551616",
    "9007199254740993.0", "9007199254740993e0", "90071992547409930e-1", "9007199254740995.0",
    "0.30000000000000004", "1.0000000000000002", "0.1", "0.5", "0e0", "0.0", "0.000e-400",
    "1e5", "1E+05", "2.5e-0003", "6.02e23", "6.02E-23", "1e-7", "1.5e300", "1.5e-300",
    "1.7976931348623157e308", "1.7976931348623159e308", "4.9e-324", "2.4703282292062328e-324",
    "2.2250738585072011e-308", "2.2250738585072014e-308", "1e9999", "1e-9999", "123e-20",
]


@pytest.mark.parametrize("text", FLOAT_SHAPES)
@pytest.mark.parametrize("sign", ["", "-"])
def test_floats_agree_at_every_distance_from_the_ends(text, sign):
    # Where the 33 bytes after a number's sign lie inside the input, it is read
    # in blocks; nearer the end, from a padded copy. Both must give float()'s
    # value and the same end, wherever the number lies.
    number = (sign + text).encode()
    expected = bits(float(number))
    for pad in range(0, 40, 3):
        for trailer in (b"", b" " * 40):
            document = b" " * pad + b"[" + number + b", 0]" + trailer
            values = taldo.from_json(document)
            assert bits(values[0]) == expected and values[1] == 0
            assert bits(taldo.from_json(b" " * pad + number + trailer)) == expected


@pytest.mark.parametrize("text, index", [
    ("1.", 2), ("1.e5", 2), ("1.5e", 4), ("1e+", 3), ("1e+]", 3), ("01.5", 1), ("-01.5", 2),
    ("12345678901234567.e1", 18), ("0." + "0" * 33 + "e", 36), ("1." + "5" * 40 + "e-", 44),
])
def test_malformed_floats_fail_alike_at_every_distance_from_the_ends(text, index):
    # `index`: the byte the error is about, in the text alone; an error at
    # the input's end is about a missing byte.
    for pad in range(0, 40, 3):
        for trailer in (b"", b" " * 40):
            document = b" " * pad + text.encode() + trailer
            at = pad + index
            if at < len(document):
                message = f"invalid number at line 1 column {at + 1}"
            else:
                message = f"EOF while parsing a value at line 1 column {at}"
            assert error_of(document) == message


def big_int_boundaries():
    # Around 2^64 limbs and the interpreter's 30-bit digits (2^90, 2^120, ...).
    for k in (63, 64, 71, 72, 89, 90, 119, 120, 127, 128, 149, 150, 191, 192, 255, 256):
        for v in (2**k - 1, 2**k, 2**k + 1):
            yield v
            yield -v


@pytest.mark.parametrize("value", list(big_int_boundaries()))
@pytest.mark.parametrize("pad", [b"", b" " * 20])
def test_int_boundaries(value, pad):
    result = taldo.from_json(str(value).encode() + pad)
    assert type(result) is int and result == value


@pytest.mark.parametrize("k", [29, 30, 31, 45, 59, 60, 61, 62, 63])
def test_ints_around_interpreter_digit_boundaries(k):
    # Ints wider than one interpreter digit are built in place: their digits,
    # size and sign must make the same int as int() does (hash reads them).
    for v in (2**k - 1, 2**k, 2**k + 1, -(2**k - 1), -(2**k), -(2**k + 1)):
        if not -2**63 <= v < 2**63:
            continue
        text = str(v).encode()
        for document in (text, b"[" + text + b"," + b" " * 40 + b"0]", text + b" " * 40):
            result = taldo.from_json(document)
            result = result[0] if isinstance(result, list) else result
            assert type(result) is int and result == v and hash(result) == hash(v) and str(result) == str(v)
            assert result - v == 0 and (result >> 1) == (v >> 1)


# -- oracles -------------------------------------------------------------------

def random_float_texts(rng, count):
    """Number texts of every shape: 1 to 40 significant digits, exponents
    -350..350, exact ties, subnormals and values near the largest double."""
    texts = []
    for _ in range(count):
        kind = rng.random()
        if kind < 0.03:
            text = exact_midpoint(rng)
        elif kind < 0.1:
            text = short_tie(rng)
        elif kind < 0.2:
            x = rng.choice([rng.uniform(0, 2.3e-308), rng.uniform(1.79e308, 1.7976931348623157e308),
                            5e-324 * rng.randint(1, 1000)])
            text = repr(x) if rng.random() < 0.5 else "%.*e" % (rng.randint(0, 25), x)
        else:
            digits = random_digits(rng, rng.randint(1, 40))
            point = rng.randint(1, len(digits))
            text = digits[:point] + ("." + digits[point:] if point < len(digits) else "")
            if rng.random() < 0.15:
                text = "0." + "0" * rng.randint(0, 30) + digits
            if "." not in text or rng.random() < 0.7:
                text += rng.choice("eE") + rng.choice(["", "+", "-"]) + str(rng.randint(0, 350))
        texts.append(rng.choice(["", "", "-"]) + text)
    return texts


def test_random_floats_match_python_float():
    rng = random.Random(20240611)
    texts = random_float_texts(rng, 100_000)
    document = ("[" + ",".join(texts) + "]").encode()
    values = taldo.from_json(document)
    expected = [float(t) for t in texts]
    mismatches = [(t, v, e) for t, v, e in zip(texts, values, expected) if bits(v) != bits(e)]
    assert mismatches[:5] == []


def test_random_integers_match_python_int():
    rng = random.Random(7)
    texts = []
    for _ in range(30_000):
        n = rng.choice([rng.randint(1, 20), rng.randint(1, 80)])
        texts.append(rng.choice(["", "-"]) + random_digits(rng, n))
    texts += ["0", "-0"]
    document = ("[" + ", ".join(texts) + "]").encode()
    for float_mode in FLOAT_MODES:
        assert taldo.from_json(document, float_mode=float_mode) == [int(t) for t in texts]


# -- near the end of the input ---------------------------------------------------
#
# A number with fewer than 40 bytes of input from its first byte on is read
# from a padded copy, one further from the end in place, and the general
# reader takes what neither can: all three must agree, in every float mode.

def near_end_texts():
    """Integer parts of 1 to 25 digits, alone and with fractions and exponents."""
    rng = random.Random(25)
    for n in range(1, 26):
        for digits in (random_digits(rng, n), "9" * n):
            for sign in ("", "-"):
                fraction = "." + random_digits(rng, rng.randint(1, 20))
                exponent = rng.choice("eE") + rng.choice(["", "+", "-"]) + str(rng.randint(0, 40))
                yield from (sign + digits, sign + digits + fraction, sign + digits + exponent,
                            sign + digits + fraction + exponent)
    yield from ("0", "-0", "0.0", "-0.5e3", "0e0")


def check_value(value, text, float_mode):
    if not any(c in text for c in ".eE"):
        assert type(value) is int and value == int(text), text
    elif float_mode == "float":
        assert type(value) is float and bits(value) == bits(float(text)), text
    elif float_mode == "decimal":
        assert type(value) is decimal.Decimal and str(value) == str(decimal.Decimal(text)), text
    else:
        assert type(value) is taldo.LosslessFloat and bytes(value) == text.encode(), text


@pytest.mark.parametrize("float_mode", FLOAT_MODES)
def test_numbers_at_every_distance_from_the_end(float_mode):
    for text in near_end_texts():
        number = text.encode()
        for distance in range(41):
            for lead in (b"", b" " * 16):
                check_value(taldo.from_json(lead + number + b" " * distance, float_mode=float_mode), text, float_mode)
                values = taldo.from_json(lead + b"[" + number + b"]" + b" " * distance, float_mode=float_mode)
                check_value(values[0], text, float_mode)


def test_lossless_float_reads_numbers_at_every_distance_from_its_end():
    for text in near_end_texts():
        for distance in range(0, 41, 3):
            raw = text.encode() + b" " * distance
            assert bits(float(taldo.LosslessFloat(raw))) == bits(float(text)), text


EOF_IN_VALUE = "EOF while parsing a value"
INVALID = "invalid number"
IDENT = "expected ident"

# Malformed endings of a number whose integer part may have any length:
# (ending, the error when the input ends with it, the error when another byte
# follows, the error's offset from the ending's first byte). Taken from the
# build before the number readers were merged.
MALFORMED_ENDINGS = [
    (".", EOF_IN_VALUE, INVALID, 1),
    (".x", INVALID, INVALID, 1),
    (".e5", INVALID, INVALID, 1),
    ("e", EOF_IN_VALUE, INVALID, 1),
    ("E", EOF_IN_VALUE, INVALID, 1),
    ("e+", EOF_IN_VALUE, INVALID, 2),
    ("e-", EOF_IN_VALUE, INVALID, 2),
    ("ex", INVALID, INVALID, 1),
    ("e+x", INVALID, INVALID, 2),
    ("E-.", INVALID, INVALID, 2),
    (".5e", EOF_IN_VALUE, INVALID, 3),
    (".5E+", EOF_IN_VALUE, INVALID, 4),
    (".5ex", INVALID, INVALID, 3),
    (".12345678901234567890e", EOF_IN_VALUE, INVALID, 22),
    (".5e-x", INVALID, INVALID, 4),
]

# Whole malformed texts, with the error's index in the text.
MALFORMED_TEXTS = [
    ("01", INVALID, INVALID, 1),
    ("0318642975318642", INVALID, INVALID, 1),
    ("-03186429753186429753186429", INVALID, INVALID, 2),
    ("00.5", INVALID, INVALID, 1),
    ("-00", INVALID, INVALID, 2),
    ("0.", EOF_IN_VALUE, INVALID, 2),
    ("-0.", EOF_IN_VALUE, INVALID, 3),
    ("0e", EOF_IN_VALUE, INVALID, 2),
    ("0.e1", INVALID, INVALID, 2),
    ("-0e+", EOF_IN_VALUE, INVALID, 4),
    ("-", EOF_IN_VALUE, INVALID, 1),
    ("-x", INVALID, INVALID, 1),
    ("-.5", INVALID, INVALID, 1),
    ("--1", INVALID, INVALID, 1),
    ("-NaN", INVALID, INVALID, 1),
    ("-+1", INVALID, INVALID, 1),
    ("-i", INVALID, INVALID, 1),
    ("N", EOF_IN_VALUE, IDENT, 1),
    ("Na", EOF_IN_VALUE, IDENT, 2),
    ("Nb", IDENT, IDENT, 1),
    ("NaX", IDENT, IDENT, 2),
    ("I", EOF_IN_VALUE, IDENT, 1),
    ("Infin", EOF_IN_VALUE, IDENT, 5),
    ("Infinitx", IDENT, IDENT, 7),
    ("-I", EOF_IN_VALUE, IDENT, 2),
    ("-Infinit", EOF_IN_VALUE, IDENT, 8),
    ("-Infinitx", IDENT, IDENT, 8),
    ("0." + "0" * 30 + "e", EOF_IN_VALUE, INVALID, 33),
    ("1." + "5" * 40 + "e-", EOF_IN_VALUE, INVALID, 44),
    ("+1", "expected value", "expected value", 0),
    (".5", "expected value", "expected value", 0),
]


def malformed_cases():
    yield from MALFORMED_TEXTS
    rng = random.Random(11)
    for ending, alone, followed, offset in MALFORMED_ENDINGS:
        for n in (1, 2, 15, 16, 17, 19, 20, 25):
            for sign in ("", "-"):
                yield sign + random_digits(rng, n) + ending, alone, followed, len(sign) + n + offset


def expected_error(alone, followed, at, length):
    # An error at the end of the input is about a missing byte.
    return f"{alone} at line 1 column {at}" if at == length else f"{followed} at line 1 column {at + 1}"


@pytest.mark.parametrize("float_mode", FLOAT_MODES)
def test_malformed_numbers_at_every_distance_from_the_end(float_mode):
    for text, alone, followed, index in malformed_cases():
        for distance in range(41):
            for lead in ("", " " * 16):
                document = lead + text + " " * distance
                at = len(lead) + index
                expected = expected_error(alone, followed, at, len(document))
                assert error_of(document.encode(), float_mode=float_mode) == expected, document
                document = lead + "[" + text + "]" + " " * distance
                assert error_of(document.encode(), float_mode=float_mode) == f"{followed} at line 1 column {at + 2}"
                if float_mode == "float" and not lead:
                    # LosslessFloat reads its bytes as one number, by the same grammar.
                    raw = (text + " " * distance).encode()
                    with pytest.raises(ValueError) as info:
                        taldo.LosslessFloat(raw)
                    assert str(info.value) == expected_error(alone, followed, index, len(raw)), raw
