"""Error messages: kind texts, line and column, and the quoting of payloads."""
import sys
import unicodedata

import pytest

import taldo

from testing_hooks import hooks as internals


def reference_line_position(data: bytes, index: int):
    """Line and column by the documented rules, written independently."""
    index = min(index, len(data))
    line = data.count(b"\n", 0, index) + 1
    line_start = data.rfind(b"\n", 0, index) + 1
    if index < len(data) and data[index:index + 1] == b"\n":
        return line + 1, 0
    if index < len(data):
        return line, index + 1 - line_start
    return line, index - line_start  # at the end: the column of the last byte


@pytest.mark.parametrize("data, index, expected", [
    (b"", 0, (1, 0)),
    (b"  ", 2, (1, 2)),
    (b"[1,", 3, (1, 3)),
    (b"[1,\n", 4, (2, 0)),
    (b'{\n  "a" 1}', 8, (2, 7)),
    (b"ab\nc", 2, (2, 0)),  # an index on a line feed reports the next line
    (b"a\r\nb", 3, (2, 1)),  # CR LF is one break; the CR counts as a column
    (b"a\r\nb", 1, (1, 2)),
    (b"a\rb", 2, (1, 3)),  # a lone CR ends no line
    ("é!".encode(), 2, (1, 3)),  # columns count bytes
    (b"abc", 99, (1, 3)),  # past the end is the end
    (b"ab\n", 3, (2, 0)),
])
def test_line_position(data, index, expected):
    assert internals.line_position(data, index) == expected
    assert reference_line_position(data, index) == expected


def test_line_position_matches_reference_everywhere():
    data = b"[\n1,\r\n  2\n\n,x\r]\n"
    for index in range(len(data) + 3):
        assert internals.line_position(data, index) == reference_line_position(data, index), index


@pytest.mark.parametrize("document, message", [
    (b"", "EOF while parsing a value at line 1 column 0"),
    (b"  ", "EOF while parsing a value at line 1 column 2"),
    (b"\n\n", "EOF while parsing a value at line 3 column 0"),
    (b"[tru", "EOF while parsing a value at line 1 column 4"),
    (b"[[]", "EOF while parsing a list at line 1 column 3"),
    (b"[true false]", "expected `,` or `]` at line 1 column 7"),
    (b"[true,", "EOF while parsing a value at line 1 column 6"),
    (b"[true,\n", "EOF while parsing a value at line 2 column 0"),
    (b"[\n  true\n  null]", "expected `,` or `]` at line 3 column 3"),
    (b"[true,\n]", "trailing comma at line 2 column 1"),
    (b"[true]\r\nx", "trailing characters at line 2 column 1"),
    ("[é]".encode(), "expected value at line 1 column 2"),
])
def test_messages_with_positions(document, message):
    with pytest.raises(ValueError) as info:
        taldo.from_json(document)
    assert str(info.value) == message
    assert info.value.args == (message,)


@pytest.mark.parametrize("kind, payload, text", [
    (1, "a", 'Detected duplicate key "a"'),
    (1, 'x"y', 'Detected duplicate key "x\\"y"'),
    (2, "MemoryError: ", 'Internal error: "MemoryError: "'),
    (100, "3,4", "expected float but found string"),
    (100, "0,6", "expected null but found object"),
    (16, "", "control character (\\u0000-\\u001F) found while parsing a string"),
    (7, "", "expected `:`"),
    (0, "", "float value was found where an int was expected"),
])
def test_kind_texts(kind, payload, text):
    assert internals.error_message(kind, 0, b"x", payload) == text + " at line 1 column 1"


@pytest.mark.parametrize("kind, payload", [(100, "7,0"), (100, "0,255"), (100, "-1,3"), (100, "3"), (101, ""), (23, "")])
def test_kind_hook_refuses_unknown_codes(kind, payload):
    with pytest.raises(ValueError):
        internals.error_message(kind, 0, b"x", payload)


@pytest.mark.parametrize("text, quoted", [
    ("", '""'),
    ("plain 'text'", "\"plain 'text'\""),
    ('a"b\\c', '"a\\"b\\\\c"'),
    ("\0\t\n\r", '"\\0\\t\\n\\r"'),
    ("\x01\x1f\x7f", '"\\u{1}\\u{1f}\\u{7f}"'),
    ("\x80\x9f\xa0", '"\\u{80}\\u{9f}\\u{a0}"'),
    ("é中😀", '"é中😀"'),
    ("e\u0301", '"e\\u{301}"'),  # a combining mark
    ("\u200b\u2028\ue000\U000e0001", '"\\u{200b}\\u{2028}\\u{e000}\\u{e0001}"'),
    ("\u3000", '"\\u{3000}"'),  # a space other than U+0020
])
def test_debug_quote(text, quoted):
    assert internals.debug_quote(text) == quoted


def test_debug_quote_agrees_with_the_unicode_database():
    """Every assigned non-ASCII code point is written as itself exactly when
    it is printable and does not extend the grapheme before it."""
    # The tables come from Unicode 15.1; older interpreters know an older
    # database in which a few characters were classed otherwise.
    exact = unicodedata.unidata_version == "15.1.0"
    checked = 0
    disagreements = []
    for cp in range(0x80, 0x110000):
        ch = chr(cp)
        category = unicodedata.category(ch)
        if category in ("Cn", "Cs"):
            continue  # unassigned here, or not encodable
        expected_plain = ch.isprintable() and category not in ("Mn", "Me")
        got_plain = internals.debug_quote(ch) == '"' + ch + '"'
        checked += 1
        if expected_plain and not got_plain and category in ("Mc", "Lm", "Sk", "Cf"):
            continue  # one of the few grapheme extenders that are no marks
        if expected_plain != got_plain:
            disagreements.append((hex(cp), category))
    assert checked > 100_000
    assert len(disagreements) <= (0 if exact else 5), disagreements[:20]


@pytest.mark.skipif(sys.version_info < (3, 11), reason="no add_note before 3.11")
def test_parse_errors_carry_no_note():
    with pytest.raises(ValueError) as info:
        taldo.from_json(b"[")
    assert getattr(info.value, "__notes__", None) is None
