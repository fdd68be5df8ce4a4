"""Strings, object keys and objects."""

import json
import random
import sys
import tracemalloc

import pytest

import taldo

from testing_hooks import AVAILABLE as HAVE_HOOKS, hooks

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


# Differential tests of the decoder against the standard library: strings of
# every width, with and without escapes, around the 16- and 32-byte blocks and
# past the length where long strings leave the inline scan.

# Without the hooks the tests that take a body skip when they force it.
BODIES = hooks.string_scan_bodies() if HAVE_HOOKS else ["default"]
WIDTH_SAMPLES = {
    "ascii": "az ~\x7f",
    "latin-1": "\x80\xa0\xe9\xff",
    "bmp": "\u0100\u07ff\u0800\u4e2d\ud7ff\ue000\uffff",
    "astral": "\U00010000\U0001f600\U0010ffff",
}
SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "/": "\\/", "\b": "\\b", "\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t"}


def as_json(rng, text, escape_rate):
    """The string as a JSON text: raw UTF-8 where allowed, else (and at
    `escape_rate`) escaped, astral characters as surrogate pairs."""
    out = ['"']
    for c in text:
        code = ord(c)
        if c in SHORT_ESCAPES and (c in '"\\' or rng.random() < 0.5):
            out.append(SHORT_ESCAPES[c])
        elif code < 0x20 or c in '"\\' or rng.random() < escape_rate:
            if code >= 0x10000:
                code -= 0x10000
                out.append(f"\\u{0xD800 + (code >> 10):04x}\\u{0xDC00 + (code & 0x3FF):04X}")
            else:
                out.append(f"\\u{code:04x}")
        else:
            out.append(c)
    out.append('"')
    return "".join(out).encode()


def random_text(rng, widths, length):
    alphabet = "".join(WIDTH_SAMPLES[w] for w in widths) + "".join(SHORT_ESCAPES) + "\x00\x1f"
    return "".join(rng.choice(alphabet) for _ in range(length))


def check_str(got, expected):
    # Equal, and of the narrowest kind: a wider one would compare equal but
    # take more memory. (Strings of one character are the interpreter's shared
    # objects, which may carry their UTF-8 form as well.)
    assert type(got) is str and got == expected
    if len(got) > 1:
        assert sys.getsizeof(got) == sys.getsizeof(expected[:1] + expected[1:])


@pytest.mark.parametrize("body", BODIES)
@pytest.mark.parametrize(
    "widths", [["ascii"], ["latin-1"], ["bmp"], ["astral"], ["ascii", "latin-1"], ["ascii", "bmp", "astral"]]
)
@pytest.mark.parametrize("escape_rate", [0.0, 0.1, 0.9])
def test_random_strings(body, widths, escape_rate):
    hooks.force_string_scan(body)
    try:
        rng = random.Random(f"{widths}{escape_rate}")
        for _ in range(150):
            text = random_text(rng, widths, rng.choice([0, 1, 2, rng.randrange(70), rng.randrange(400)]))
            if rng.random() < 0.5:
                text = text.replace("\\", "").replace('"', "")  # often escape-free
            data = as_json(rng, text, escape_rate)
            padding = rng.choice([b"", b" ", b" " * 40])
            assert json.loads(data) == text
            check_str(hooks.decode_string_to_str(data + padding, False), text)
            value, _, ascii_only, end = hooks.decode_string(data + padding, False)
            assert value == text.encode() and end == len(data)
            assert ascii_only == (data.isascii() and b"\\u" not in data)
            check_str(taldo.from_json(data + padding, cache_mode="none"), text)
            assert taldo.from_json(b"[" + data + b"," + data + b"]") == [text, text]
    finally:
        hooks.force_string_scan(BODIES[-1])


@pytest.mark.parametrize("body", BODIES)
def test_long_strings(body):
    # Long enough to leave the inline scan, with the special byte anywhere
    # among the blocks of either width, and the end of the input at any
    # distance from it.
    hooks.force_string_scan(body)
    try:
        for special in ["", "\u00e9", "\U0001f600", "\\n", "\\u00e9", "\\ud83d\\ude00", "\x7f"]:
            for length in [127, 128, 129, 160, 191, 200, 255, 300]:
                for at in [0, 1, 15, 16, 31, 32, 63, 64, 127, 128, length - 1, length]:
                    text = "x" * at + special + "y" * max(0, length - at)
                    for padding in ["", " ", " " * 31]:
                        document = ('"' + text + '"' + padding).encode()
                        expected = json.loads(document)
                        check_str(hooks.decode_string_to_str(document, False), expected)
                        assert hooks.decode_string(document, False)[3] == len(document) - len(padding)
    finally:
        hooks.force_string_scan(BODIES[-1])


@pytest.mark.parametrize("text", ["", "a", "\x7f", "\x80", "\xe9", "\xff", "\u0100", "\uffff", "\U0010ffff"])
@pytest.mark.parametrize("escaped", [False, True])
def test_one_character(text, escaped):
    data = json.dumps(text, ensure_ascii=escaped).encode()
    got = taldo.from_json(data, cache_mode="none")
    check_str(got, text)
    if len(text) == 1 and ord(text) < 256:
        assert got is chr(ord(text))  # the interpreter's ready-made object


@pytest.mark.parametrize("text", ["\x7f" * 3, "\x80" * 3, "\xff\x7f", "\u0100\xff", "\uffff" * 2, "a\U00010000"])
@pytest.mark.parametrize("ensure_ascii", [False, True])
def test_kind_edges(text, ensure_ascii):
    check_str(taldo.from_json(json.dumps(text, ensure_ascii=ensure_ascii).encode(), cache_mode="none"), text)


@pytest.mark.parametrize("escape_every", [0, 1, 3])
def test_long_escaped_strings(escape_every):
    # Past the first reservation of the scratch buffer, growing while the
    # string is ASCII so far and after it has turned wide.
    for tail in ["", "\u00e9", "\U0001f600"]:
        text = "".join("\n" if escape_every and i % escape_every == 0 else "ab"[i % 2] for i in range(20000)) + tail
        document = json.dumps([text, tail + text]).encode()
        got = taldo.from_json(document, cache_mode="none")
        check_str(got[0], text)
        check_str(got[1], tail + text)


# Invalid UTF-8 at every offset from the block boundaries: the error is the one
# Python's own decoder finds first, at its place in the input.
INVALID = [b"\x80", b"\xbf", b"\xc0\xaf", b"\xc1\xbf", b"\xc3", b"\xc3\x28", b"\xe0\x80\x80", b"\xe0\x9f\xbf",
           b"\xed\xa0\x80", b"\xed\xbf\xbf", b"\xe4\xb8", b"\xf0\x8f\xbf\xbf", b"\xf0\x9f\x98", b"\xf4\x90\x80\x80",
           b"\xf5\x80\x80\x80", b"\xff"]


@pytest.mark.parametrize("body", BODIES)
@pytest.mark.parametrize("bad", INVALID)
def test_invalid_utf8_everywhere(body, bad):
    hooks.force_string_scan(body)
    try:
        for prefix in ["", "\u00e9", "\\n", "\\u4e2d"]:
            for at in range(0, 70):
                for after in [b"", b"\xe4\xb8\xad", b"\\t", b"x" * 40]:
                    content = prefix.encode() + b"a" * at + bad + after
                    document = b'"' + content + b'"'
                    with pytest.raises(UnicodeDecodeError) as fault:
                        content.decode("utf-8")
                    index = 1 + fault.value.start
                    assert decode(document) == error(INVALID_CODE_POINT, index), document
                    with pytest.raises(ValueError) as raised:
                        taldo.from_json(document)
                    assert str(raised.value) == f"invalid unicode code point at line 1 column {index + 1}"
    finally:
        hooks.force_string_scan(BODIES[-1])


def longest_partial(document):
    """What a cut string gives in trailing-strings mode: the longest prefix that
    decodes in full, without an unfinished escape or character."""
    for end in range(len(document), 0, -1):
        try:
            value = json.loads(document[:end] + b'"')
            value.encode("utf-8")  # an unpaired surrogate escape counts as unfinished
        except ValueError:
            continue
        return value
    raise AssertionError(document)


@pytest.mark.parametrize("widths", [["ascii"], ["latin-1", "ascii"], ["bmp"], ["astral", "ascii"]])
@pytest.mark.parametrize("escape_rate", [0.0, 0.3])
def test_cut_strings(widths, escape_rate):
    rng = random.Random(f"cut{widths}{escape_rate}")
    for _ in range(6):
        text = random_text(rng, widths, rng.randrange(1, 40))
        data = as_json(rng, text, escape_rate)
        for cut in range(1, len(data)):
            expected = longest_partial(data[:cut])
            check_str(taldo.from_json(data[:cut], partial_mode="trailing-strings", cache_mode="none"), expected)
            assert taldo.from_json(b"[" + data[:cut], partial_mode="trailing-strings") == [expected]
            assert taldo.from_json(b"[" + data[:cut], partial_mode="on") == []


@pytest.mark.parametrize("special", ["\u00e9", "\U0001f600", "\\n\u00e9", "\u00e9\\n", "\\u00e9"])
def test_strings_at_the_end_of_the_input(special):
    # Nothing may be read past the end of the input, however near the string
    # ends to it. The input is large enough to be allocated on its own, where
    # the sanitizers see such reads.
    for before in range(18):
        for after in range(18):
            document = b" " * 600 + ('"' + "a" * before + special + "b" * after + '"').encode()
            expected = json.loads(document)
            assert taldo.from_json(document) == expected
            assert taldo.from_json(document[:-1], partial_mode="trailing-strings") == expected
            key = b" " * 600 + ('{"' + "a" * before + special + "b" * after + '":1}').encode()
            assert taldo.from_json(key) == json.loads(key)
