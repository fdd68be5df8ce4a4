"""Strings, object keys and objects."""

import json
import sys
import tracemalloc

import pytest

import _taldo_testing as hooks
import taldo

CONTROL = "control character (\\u0000-\\u001F) found while parsing a string"


def _numbers_work():
    try:
        return taldo.from_json(b"[1]") == [1]
    except ValueError:
        return False


needs_numbers = pytest.mark.skipif(not _numbers_work(), reason="numbers are not decoded yet")


def decode(data, allow_partial=False):
    """The decoder's outcome: its result tuple, or ("error", kind_code, index)."""
    try:
        return hooks.decode_string(data, allow_partial)
    except ValueError as e:
        return ("error", *e.args)


def error(kind, index):
    return ("error", kind, index)


EOF_IN_STRING, EXPECTED_COLON, INVALID_ESCAPE, EOF_IN_OBJECT = 5, 7, 12, 4
INVALID_CODE_POINT, CONTROL_CHAR, LONE_SURROGATE, EOF_IN_HEX = 15, 16, 18, 21


@pytest.mark.parametrize(
    "data, partial, expected",
    [
        (b'""', False, (b"", "input", True, 2)),
        (b'"a/b"', False, (b"a/b", "input", True, 5)),
        (b'"a\\/b"', False, (b"a/b", "scratch", True, 6)),
        (b'"\\u0041"', False, (b"A", "scratch", False, 8)),
        (b'"\\uAbCd"', False, ("\uabcd".encode(), "scratch", False, 8)),
        (b'"\\ud83d\\ude00"', False, (b"\xf0\x9f\x98\x80", "scratch", False, 14)),
        (b'"\\uDBFF\\uDFFF"', False, ("\U0010ffff".encode(), "scratch", False, 14)),
        (b'"\\u0000"', False, (b"\x00", "scratch", False, 8)),
        (b'"\\"\\\\\\/\\b\\f\\n\\r\\t"', False, (b'"\\/\b\f\n\r\t', "scratch", True, 18)),
        (b'"\x7f"', False, (b"\x7f", "input", True, 3)),
        (b'"\xf4\x8f\xbf\xbf"', False, (b"\xf4\x8f\xbf\xbf", "input", False, 6)),
        (b'"\\udc00"', False, error(LONE_SURROGATE, 6)),
        (b'"\\ud800"', False, error(EOF_IN_HEX, 7)),
        (b'"\\ud800\\n"', False, error(EOF_IN_HEX, 8)),
        (b'"\\ud800\\u0041"', False, error(LONE_SURROGATE, 12)),
        (b'"\\ud800\\ud800"', False, error(LONE_SURROGATE, 12)),
        (b'"\\ud800\\uDC0g"', False, error(INVALID_ESCAPE, 12)),
        (b'"\\ud800x', False, error(EOF_IN_HEX, 7)),
        (b'"\\ud800', False, error(EOF_IN_STRING, 7)),
        (b'"\\ud800\\', False, error(EOF_IN_STRING, 8)),
        (b'"\\ud800\\u12', False, error(EOF_IN_STRING, 11)),
        (b'"\\u12x4"', False, error(INVALID_ESCAPE, 5)),
        (b'"\\q"', False, error(INVALID_ESCAPE, 2)),
        (b'"\\\x00"', False, error(INVALID_ESCAPE, 2)),
        (b'"a\tb"', False, error(CONTROL_CHAR, 2)),
        (b'"\\n\x1f"', False, error(CONTROL_CHAR, 3)),
        (b'"\xff"', False, error(INVALID_CODE_POINT, 1)),
        (b'"ab\xc0\xaf"', False, error(INVALID_CODE_POINT, 3)),  # overlong
        (b'"\xe0\x80\xaf"', False, error(INVALID_CODE_POINT, 1)),  # overlong
        (b'"\xed\xa0\x80"', False, error(INVALID_CODE_POINT, 1)),  # encoded surrogate
        (b'"\xf4\x90\x80\x80"', False, error(INVALID_CODE_POINT, 1)),  # above U+10FFFF
        (b'"\xf5\x80\x80\x80"', False, error(INVALID_CODE_POINT, 1)),
        (b'"\xc3\xa9\x80"', False, error(INVALID_CODE_POINT, 3)),  # stray continuation
        # A fault behind an escape is reported at its own place in the input.
        (b'"\\n\\n\xff"', False, error(INVALID_CODE_POINT, 5)),
        (b'"\xc3\\n"', False, error(INVALID_CODE_POINT, 1)),
        # Faults the scan meets come before a UTF-8 fault earlier in the string.
        (b'"\xff\x01"', False, error(CONTROL_CHAR, 2)),
        (b'"\xff\\q"', False, error(INVALID_ESCAPE, 3)),
        (b'"\xff', False, error(EOF_IN_STRING, 2)),
        (b'"abc', False, error(EOF_IN_STRING, 4)),
        (b'"ab\\', False, error(EOF_IN_STRING, 4)),
        # The partial ending.
        (b'"abc', True, (b"abc", "input", True, 4)),
        (b'"', True, (b"", "input", True, 1)),
        (b'"ab\\', True, (b"ab", "scratch", True, 4)),
        (b'"ab\\u12', True, (b"ab", "scratch", True, 7)),
        (b'"ab\\ud800\\u', True, (b"ab", "scratch", True, 11)),
        (b'"a\\tbc', True, (b"a\tbc", "scratch", True, 6)),
        (b'"caf\xc3', True, (b"caf", "input", False, 5)),
        (b'"\\n\xf0\x9f\x98', True, (b"\n", "scratch", False, 6)),
        (b'"abc"', True, (b"abc", "input", True, 5)),
        # Only the end of the input may cut a character short.
        (b'"caf\xc3"', True, error(INVALID_CODE_POINT, 4)),
        (b'"caf\xc3"', False, error(INVALID_CODE_POINT, 4)),
        (b'"caf\xc3\\u12', True, error(INVALID_CODE_POINT, 4)),
        (b'"caf\xff', True, error(INVALID_CODE_POINT, 4)),
        (b'"\\q', True, error(INVALID_ESCAPE, 2)),
        (b'"\\ud800x', True, error(EOF_IN_HEX, 7)),
    ],
)
def test_decoder(data, partial, expected):
    assert decode(data, partial) == expected


@pytest.mark.parametrize(
    "data, expected",
    [
        (b'"k"  :1', (b"k", "input", True, 6)),
        (b'"k":', (b"k", "input", True, 4)),
        (b'"\\u006b"\t\r\n:', (b"k", "scratch", False, 12)),
        (b'"k" 1', error(EXPECTED_COLON, 4)),
        (b'"k"  ', error(EOF_IN_OBJECT, 5)),
        (b'"k', error(EOF_IN_STRING, 2)),
        (b'"k\\', error(EOF_IN_STRING, 3)),
    ],
)
def test_key(data, expected):
    try:
        got = hooks.decode_key(data)
    except ValueError as e:
        got = ("error", *e.args)
    assert got == expected


SAMPLES = ["plain ascii text", "caf\u00e9 \u20ac \U0001f600 \u4e2d\u6587", 'q"b\\s/\b\f\n\r\t', "\x00\x1f\u2028"]


@pytest.mark.parametrize("text", SAMPLES)
@pytest.mark.parametrize("ensure_ascii", [True, False])
def test_every_truncation(text, ensure_ascii):
    # Cut anywhere, a partial string is a prefix of the whole value; without
    # partial strings, the cut is the end of the input.
    encoded = json.dumps(text, ensure_ascii=ensure_ascii).encode()
    whole = text.encode("utf-8")
    for cut in range(1, len(encoded)):
        value, _, _, end = hooks.decode_string(encoded[:cut], True)
        assert end == cut and whole.startswith(value)
        assert decode(encoded[:cut]) == error(EOF_IN_STRING, cut)


# Escape-free strings of every length around the 16-byte blocks, with a
# special character at every offset, followed or not by enough bytes for the
# scan to read whole blocks past the quote.
SPECIALS = ["", "\u00e9", "\U0001f600", "\\n", "\\u00e9", "\\ud83d\\ude00", '\\"', "\x7f"]


@pytest.mark.parametrize("special", SPECIALS)
@pytest.mark.parametrize("padding", ["", " " * 20])
def test_block_boundaries(special, padding):
    for length in range(0, 36):
        for at in range(length + 1):
            text = "x" * at + special + "y" * (length - at)
            document = ('"' + text + '"' + padding).encode()
            assert taldo.from_json(document) == json.loads(document)
            value, origin, ascii_only, end = hooks.decode_string(document, False)
            assert end == len(document) - len(padding)
            assert origin == ("scratch" if "\\" in special else "input")
            assert ascii_only == (special.isascii() and "\\u" not in special)


@pytest.mark.parametrize("padding", [b"", b" " * 20])
def test_faults_at_block_boundaries(padding):
    for at in range(0, 40):
        for bad, kind in [(b"\x01", CONTROL_CHAR), (b"\x80", INVALID_CODE_POINT), (b"\\x", INVALID_ESCAPE)]:
            data = b'"' + b"a" * at + bad + b"b" * 5 + b'"' + padding
            index = 1 + at + (1 if bad == b"\\x" else 0)
            assert decode(data) == error(kind, index)


def test_escaped_string_beyond_first_reservation():
    text = "\u00e9\n\U0001f600" * 5000
    document = json.dumps({"k": text, "k2": [text]}).encode()
    assert taldo.from_json(document) == {"k": text, "k2": [text]}


@pytest.mark.parametrize("text", ["", "a", "ab", "abc" * 40, "\u00e9", "a\u00e9", "\U0001f600", "\u4e2d"])
def test_made_strings_are_canonical(text):
    # An ASCII str made with the wrong width would compare equal but be larger.
    # (Uncached: the cache's comparisons may give a stored str its UTF-8 form.)
    got = taldo.from_json(json.dumps(text, ensure_ascii=False).encode(), cache_mode="none")
    assert type(got) is str and got == text and sys.getsizeof(got) == sys.getsizeof(text)


@pytest.mark.parametrize(
    "document, message",
    [
        (b'"abc', "EOF while parsing a string at line 1 column 4"),
        (b'"ab\nc"', f"{CONTROL} at line 2 column 0"),
        (b'"\\q"', "invalid escape at line 1 column 3"),
        (b'"\\udc00"', "lone leading surrogate in hex escape at line 1 column 7"),
        (b'"\\ud800"', "unexpected end of hex escape at line 1 column 8"),
        (b'"\xff"', "invalid unicode code point at line 1 column 2"),
        (b'"\xc3\xa9" x', "trailing characters at line 1 column 6"),
        (b'["\xc3\xa9", "\xc3"]', "invalid unicode code point at line 1 column 9"),
        (b"{", "EOF while parsing an object at line 1 column 1"),
        (b"{1:2}", "key must be a string at line 1 column 2"),
        (b'{"a"}', "expected `:` at line 1 column 5"),
        (b'{\n  "a" 1}', "expected `:` at line 2 column 7"),
        (b'{"a":}', "expected value at line 1 column 6"),
        (b'{"a":', "EOF while parsing a value at line 1 column 5"),
        (b'{"a"  ', "EOF while parsing an object at line 1 column 6"),
        (b'{"a":"x"', "EOF while parsing an object at line 1 column 8"),
        (b'{"a":"x",', "EOF while parsing a value at line 1 column 9"),
        (b'{"a":"x",}', "trailing comma at line 1 column 10"),
        (b'{"a":true,2}', "key must be a string at line 1 column 11"),
        (b'{"a":null "b":null}', "expected `,` or `}` at line 1 column 11"),
        (b'{"a":true]', "expected `,` or `}` at line 1 column 10"),
        (b'{"a":null,]', "key must be a string at line 1 column 11"),
        (b"{,}", "key must be a string at line 1 column 2"),
        (b'{"a\x01":true}', f"{CONTROL} at line 1 column 4"),
        (b'{"a":{"b":{"c":"\\x"}}}', "invalid escape at line 1 column 18"),
        (b'{"\\ud83d": true}', "unexpected end of hex escape at line 1 column 9"),
        pytest.param(b'{"a":1,', "EOF while parsing a value at line 1 column 7", marks=needs_numbers),
        pytest.param(b'{"a":1,}', "trailing comma at line 1 column 8", marks=needs_numbers),
        pytest.param(b'{"a":1,2}', "key must be a string at line 1 column 8", marks=needs_numbers),
        pytest.param(b'{"a":1 "b":2}', "expected `,` or `}` at line 1 column 8", marks=needs_numbers),
        pytest.param(b'{"a":1]', "expected `,` or `}` at line 1 column 7", marks=needs_numbers),
        pytest.param(b'{"a":1,]', "key must be a string at line 1 column 8", marks=needs_numbers),
    ],
)
def test_error_messages(document, message):
    with pytest.raises(ValueError) as raised:
        taldo.from_json(document)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "document",
    [
        b"{}",
        b" { } ",
        b'{"a":{}}',
        b'{"a" : "b" ,\t"c"\r\n:\n[{"d": {"e": null}}, "f"]}',
        b'{"a\\nb": "c\\td", "\\u00e9": "\\ud83d\\ude00", "": ""}',
        b'{"a":true,"b":false,"a":null}',
        b'{"\xe4\xb8\xad": "\xf0\x9f\x98\x80", "x\\"y": [{"z\\\\": "w"}]}',
        pytest.param(b'{"a":1,"b":2,"a":3}', marks=needs_numbers),
    ],
)
def test_objects(document):
    got = taldo.from_json(document)
    expected = json.loads(document)
    assert got == expected
    # A repeated key keeps the place of its first occurrence.
    assert list(got) == list(expected)


@pytest.mark.parametrize(
    "document",
    [
        b'{"a": ["x", {"b\\n": "y"}, "z"',
        b'{"a": "x", "b": {"c": "\\u00e9", "d": "\\q"}}',
        b'[{"k": "v"}, {"k": "v", "k2" 1}]',
        b'{"a": "x", "\xff": true}',
    ],
)
def test_failures_release_what_they_built(document):
    def run(times):
        for _ in range(times):
            try:
                taldo.from_json(document)
            except ValueError:
                pass
            else:
                raise AssertionError("accepted")

    run(50)
    tracemalloc.start()
    try:
        run(200)
        before, _ = tracemalloc.get_traced_memory()
        run(2000)
        after, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert after - before < 4096
