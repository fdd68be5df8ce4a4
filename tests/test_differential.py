"""taldo against the standard library's json on generated documents."""

import json
import math
import random

import pytest

import taldo


def _numbers_work():
    try:
        return taldo.from_json(b"[1]") == [1]
    except ValueError:
        return False


NUMBERS = _numbers_work()

SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "/": "\\/", "\b": "\\b", "\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t"}
WHITESPACE = ["", "", " ", "\t", "\n", "\r\n", "  "]


def random_char(rng):
    pick = rng.random()
    if pick < 0.5:
        return chr(rng.randrange(0x20, 0x7F))
    if pick < 0.6:
        return rng.choice(list(SHORT_ESCAPES) + ["\x00", "\x1f", "\x7f"])
    if pick < 0.8:
        return chr(rng.choice([rng.randrange(0x80, 0x800), rng.randrange(0x800, 0xD800), rng.randrange(0xE000, 0x10000)]))
    return chr(rng.randrange(0x10000, 0x110000))


def hex_escape(rng, code):
    text = f"\\u{code:04x}"
    return text.upper().replace("\\U", "\\u") if rng.random() < 0.5 else text


def encode_string(rng, text):
    out = ['"']
    for c in text:
        code = ord(c)
        pick = rng.random()
        if c in SHORT_ESCAPES and pick < 0.7:
            out.append(SHORT_ESCAPES[c])
        elif code < 0x20 or c in '"\\' or pick < 0.2:
            if code >= 0x10000:
                code -= 0x10000
                out.append(hex_escape(rng, 0xD800 + (code >> 10)) + hex_escape(rng, 0xDC00 + (code & 0x3FF)))
            else:
                out.append(hex_escape(rng, code))
        else:
            out.append(c)
    out.append('"')
    return "".join(out)


def random_number(rng):
    pick = rng.random()
    if pick < 0.4:
        return str(rng.randrange(-(10**6), 10**6))
    if pick < 0.5:
        return str(rng.randrange(-(10**40), 10**40))
    if pick < 0.8:
        return repr(rng.uniform(-1e6, 1e6))
    return f"{rng.choice(['', '-'])}{rng.randrange(10)}.{rng.randrange(10**5)}e{rng.choice(['', '+', '-'])}{rng.randrange(300)}"


def random_document(rng, depth=0):
    ws = lambda: rng.choice(WHITESPACE)  # noqa: E731
    pick = rng.random() if depth < 5 else rng.random() * 0.6
    if pick < 0.3:
        length = rng.choice([0, 1, 2, rng.randrange(40), rng.randrange(100)])
        return encode_string(rng, "".join(random_char(rng) for _ in range(length)))
    if pick < 0.45:
        return rng.choice(["true", "false", "null"])
    if pick < 0.6:
        return random_number(rng) if NUMBERS else "null"
    if pick < 0.8:
        items = [ws() + random_document(rng, depth + 1) + ws() for _ in range(rng.randrange(6))]
        return "[" + ",".join(items) + "]" if items else "[" + ws() + "]"
    members = [
        ws() + encode_string(rng, "".join(random_char(rng) for _ in range(rng.randrange(12)))) + ws() + ":" + ws()
        + random_document(rng, depth + 1) + ws()
        for _ in range(rng.randrange(6))
    ]
    return "{" + ",".join(members) + "}" if members else "{" + ws() + "}"


def documents(seed, count):
    rng = random.Random(seed)
    return [(ws := rng.choice(WHITESPACE)) + random_document(rng) + ws for _ in range(count)]


@pytest.mark.parametrize("seed", range(4))
def test_generated_documents(seed):
    for text in documents(seed, 300):
        data = text.encode("utf-8")
        assert taldo.from_json(data) == json.loads(data), data


def stdlib_verdict(data):
    """The standard library's value, or None when it rejects the bytes."""
    try:
        return (json.loads(data.decode("utf-8")),)
    except (UnicodeDecodeError, ValueError, RecursionError):
        return None


def outside_comparison(value):
    """Values on which the two are known to differ, or cannot yet be compared:
    lone surrogates, which the standard library lets through from \\u escapes,
    NaN (never equal to itself) and, until they are decoded, numbers."""
    if isinstance(value, str):
        return any(0xD800 <= ord(c) <= 0xDFFF for c in value)
    if isinstance(value, float):
        return not NUMBERS or math.isnan(value)
    if isinstance(value, int) and not isinstance(value, bool):
        return not NUMBERS
    if isinstance(value, list):
        return any(outside_comparison(v) for v in value)
    if isinstance(value, dict):
        return any(outside_comparison(k) or outside_comparison(v) for k, v in value.items())
    return False


INTERESTING_BYTES = b'"\\/{}[]:,. \t\n\x00\x1f\x7f\x80\xbf\xc0\xc3\xe0\xed\xf0\xf4\xf5\xffuUdDeE0-+atfnNI'


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.randrange(1, 4)):
        if not data:
            break
        at = rng.randrange(len(data))
        pick = rng.random()
        byte = rng.choice(INTERESTING_BYTES) if rng.random() < 0.7 else rng.randrange(256)
        if pick < 0.4:
            data[at] = byte
        elif pick < 0.6:
            del data[at]
        elif pick < 0.8:
            data.insert(at, byte)
        else:
            del data[at:]
    return bytes(data)


@pytest.mark.parametrize("seed", range(4))
def test_mutated_documents(seed):
    rng = random.Random(1000 + seed)
    for text in documents(seed, 150):
        valid = text.encode("utf-8")
        for _ in range(10):
            data = mutate(rng, valid)
            expected = stdlib_verdict(data)
            if expected is not None and outside_comparison(expected[0]):
                continue
            try:
                got = taldo.from_json(data)
            except ValueError:
                assert expected is None, data
            else:
                assert expected is not None and got == expected[0], data
