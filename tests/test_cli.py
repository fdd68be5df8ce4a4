"""python -m taldo: the summary of a good document, the fault of a bad one with
its line and a caret under the column the message names, the options, and
files that cannot be read."""
import json
import os
import random
import re
import subprocess
import sys

import pytest

import taldo
from taldo import __main__ as cli

SUMMARY = re.compile(r"top level: (\w+); (.+); ([\d,]+) bytes? parsed in \d+\.\d{3} m?s")
POSITION = re.compile(r" at line (\d+) column (\d+)\Z")


def run(*args, stdin=b""):
    return subprocess.run([sys.executable, "-m", "taldo", *args], input=stdin, capture_output=True, timeout=120)


def counts_by_kind(value):
    """The oracle: values of each kind, counted with the obvious recursion."""
    counts = dict.fromkeys(["object", "array", "string", "number", "boolean", "null"], 0)

    def visit(v):
        if isinstance(v, dict):
            counts["object"] += 1
            for item in v.values():
                visit(item)
        elif isinstance(v, list):
            counts["array"] += 1
            for item in v:
                visit(item)
        elif isinstance(v, str):
            counts["string"] += 1
        elif v is True or v is False:
            counts["boolean"] += 1
        elif v is None:
            counts["null"] += 1
        else:
            counts["number"] += 1
    visit(value)
    return counts


def parse_summary(stdout):
    lines = stdout.decode().splitlines()
    assert len(lines) == 1, lines
    found = SUMMARY.fullmatch(lines[0])
    assert found, lines[0]
    counts = {}
    for part in found[2].split(", "):
        count, kind = part.split(" ")
        count = int(count.replace(",", ""))
        assert kind == (kind.rstrip("s") if count == 1 else kind.rstrip("s") + "s"), part
        counts[kind.rstrip("s")] = count
    return found[1], counts, int(found[3].replace(",", ""))


def random_document(rng, depth=0):
    roll = rng.random()
    if depth < 6 and roll < 0.2:
        return [random_document(rng, depth + 1) for _ in range(rng.randrange(6))]
    if depth < 6 and roll < 0.4:
        return {f"k{i}": random_document(rng, depth + 1) for i in range(rng.randrange(6))}
    return rng.choice([None, True, False, 0, -7, 2.5, 1e300, "", "text", "caf\u00e9", [], {}])


def nested(depth):
    return "[" * depth + "1" + "]" * depth


GOOD = [
    b"null", b"true", b"0", b"-1.5e3", b'"text"', b"[]", b"{}",
    b'{"a": [1, 2.5, true, null, "x"], "b": {}, "c": [[], [false]]}',
    b'  [1,\n 2]\n',
    nested(200).encode(),
    json.dumps([random_document(random.Random(seed)) for seed in range(40)]).encode(),
    json.dumps({"rows": [{"id": i, "name": f"n{i}", "ok": i % 3 == 0, "score": i / 7, "tags": ["a"] * (i % 4)}
                         for i in range(3000)]}).encode(),
]


@pytest.mark.parametrize("document", GOOD, ids=range(len(GOOD)))
def test_summary_of_a_good_document(document):
    result = run(stdin=document)
    assert result.returncode == 0 and result.stderr == b""
    top, counts, size = parse_summary(result.stdout)
    value = json.loads(document)
    assert counts == counts_by_kind(value)
    assert top == {dict: "object", list: "array", str: "string", bool: "boolean", type(None): "null"}.get(
        type(value), "number")
    assert size == len(document)


def test_counting_needs_no_recursion():
    # Counted level by level: as deep as Python's own recursion limit allows
    # building, far past from_json's 200 levels.
    value = []
    for _ in range(sys.getrecursionlimit() + 100):
        value = [value, 1, "s", {"k": None}]
    counts = cli.count_kinds(value, cli.kind_codes("float"))
    depth = sys.getrecursionlimit() + 100
    assert counts == {"object": depth, "array": depth + 1, "string": depth, "number": depth, "boolean": 0,
                      "null": depth}


def split_excerpt(stderr):
    """The message, and the excerpt's line number, shown text and caret index
    within the text (-1: before its first character)."""
    lines = stderr.decode().split("\n")
    assert len(lines) == 4 and lines[3] == "", lines
    message, shown, caret_line = lines[:3]
    line = int(shown.split(" | ", 1)[0])
    gutter = f"{line} | "
    assert shown.startswith(gutter)
    assert caret_line.rstrip("^ ") == " " * (len(gutter) - 2) + "|" and caret_line.endswith("^")
    assert caret_line.count("^") == 1
    return message, line, shown[len(gutter):], caret_line.index("^") - len(gutter)


def unescape(text):
    """Reads shown text back into bytes; an escape cut in two fails."""
    out = bytearray()
    i = 0
    while i < len(text):
        if text[i] == "\\":
            code = text[i + 1]
            if code == "x":
                out.append(int(text[i + 2:i + 4], 16))
                assert len(text[i + 2:i + 4]) == 2
                i += 4
                continue
            out.append({"\\": 0x5C, "t": 0x09, "r": 0x0D}[code])
            i += 2
            continue
        assert 0x20 <= ord(text[i]) < 0x7F
        out.append(ord(text[i]))
        i += 1
    return bytes(out)


def check_caret(stderr, data, name="<stdin>"):
    message, line, text, caret = split_excerpt(stderr)
    with pytest.raises(ValueError) as raised:
        taldo.from_json(data)
    assert message == f"{name}: {raised.value}"
    line_number, column = map(int, POSITION.search(message).groups())
    assert line == line_number
    line_bytes = data.split(b"\n")[line - 1]
    at = max(column - 1, 0)
    if column == 0:
        assert caret == -1
        before, after = "", text
    else:
        before, after = text[:caret], text[caret:]
    cut_left = before.startswith("...")
    cut_right = after.endswith("...") and len(after) > 3
    left = unescape(before[3:] if cut_left else before)
    right = unescape(after[:-3] if cut_right else after)
    # The bytes left of the caret are those before the column, those from
    # the caret on are the column's byte and the ones after it.
    assert line_bytes[:at].endswith(left) and cut_left == (len(left) < at)
    assert line_bytes[at:].startswith(right) and cut_right == (len(right) < len(line_bytes) - at)
    if column > 0:
        assert right[:1] == line_bytes[at:at + 1] != b""
    assert len(text) <= cli.EXCERPT_WIDTH + 6
    return text


LONG_LINE = json.dumps(list(range(150_000))).encode()  # one line of about a megabyte
middle = len(LONG_LINE) // 2
middle = LONG_LINE.index(b",", middle)

BAD = [
    b"",
    b"  ",
    b"[1, 2,]",
    b"[1 2]",
    b"[1,",
    b"[1,\n",
    b"{\n  \"a\" 1}",
    b'"ab\ncd"',
    b"[1,\r\n2,\r\n]",
    b'["\xc3\xa9\xe4\xb8\xad", x]',
    b'["\xc3\xa9\xe4\xb8\xad\xff"]',
    b'"a\\qb"',
    b'"tab\there"',
    b'[1, 2]\x01',
    b"[\x7f]",
    b'{"a": 1, "b": 2, "a": 3, "c": [1, 2, 3, 4, 5, 6, 7, 8, 9]',
    nested(201).encode(),
    b"\n\n\n  [1, 2, 3, 4\n",
    LONG_LINE[:middle] + b",," + LONG_LINE[middle:],
    LONG_LINE[:20] + b"x" + LONG_LINE[20:],
    LONG_LINE[:-1] + b",]",
    LONG_LINE[:-1],
    b'["' + "\u4e2d".encode() * 200 + b'\x01"]',
    b"[" + b"\xc3\xa9" * 100 + b"]",
    b"\\" * 300,
    b"[\"" + b"\\\\" * 60 + b"\\q\"]",
]


@pytest.mark.parametrize("document", BAD, ids=range(len(BAD)))
def test_fault_with_the_caret_under_the_column(document):
    result = run(stdin=document)
    assert result.returncode == 1 and result.stdout == b""
    check_caret(result.stderr, document)


def test_a_long_line_shows_a_window_around_the_fault():
    document = BAD[18]
    text = check_caret(run(stdin=document).stderr, document)
    assert text.startswith("...") and text.endswith("...")
    assert ",," in text and len(text) >= 60


@pytest.mark.parametrize("document", [b"[1,\n", b"", b'"ab\ncd"'])
def test_a_fault_on_a_line_feed_is_before_the_next_line(document):
    message, line, text, caret = split_excerpt(run(stdin=document).stderr)
    assert message.endswith(" column 0") and caret == -1
    assert unescape(text) == document.split(b"\n")[line - 1]


def test_file_and_standard_input_agree(tmp_path):
    for document in [GOOD[7], BAD[2], BAD[6]]:
        path = tmp_path / "document.json"
        path.write_bytes(document)
        from_file = run(str(path))
        from_stdin = run(stdin=document)
        dash = run("-", stdin=document)
        assert from_file.returncode == from_stdin.returncode == dash.returncode
        if from_file.returncode == 0:
            assert parse_summary(from_file.stdout)[1:] == parse_summary(from_stdin.stdout)[1:]
        else:
            assert from_file.stderr.replace(str(path).encode(), b"<stdin>") == from_stdin.stderr == dash.stderr
            check_caret(from_file.stderr, document, name=str(path))


OPTIONS = [
    # arguments, document, from_json's options
    ([], b"[1, 2", {}),
    (["--partial", "on"], b"[1, 2", {"partial_mode": "on"}),
    (["--partial", "on"], b'[1, "ab', {"partial_mode": "on"}),
    (["--partial", "trailing-strings"], b'[1, "ab', {"partial_mode": "trailing-strings"}),
    (["--float-mode", "decimal"], b"[1.5, 2e400, 3]", {"float_mode": "decimal"}),
    (["--float-mode", "lossless-float"], b"[1.50, 2]", {"float_mode": "lossless-float"}),
    (["--float-mode", "float"], b"[1.5, 2]", {"float_mode": "float"}),
    ([], b"[1e400]", {}),
    ([], b'{"a": 1, "a": 2}', {}),
    (["--duplicate-keys"], b'{"a": 1, "a": 2}', {"catch_duplicate_keys": True}),
    (["--duplicate-keys", "--partial", "on", "--float-mode", "decimal"], b'{"a": 1.5, "b": [2.5, {"a": 1, "a',
     {"catch_duplicate_keys": True, "partial_mode": "on", "float_mode": "decimal"}),
]


@pytest.mark.parametrize("arguments, document, options", OPTIONS)
def test_options_map_to_from_json(arguments, document, options):
    result = run(*arguments, stdin=document)
    try:
        value = taldo.from_json(document, **options)
    except ValueError as error:
        assert result.returncode == 1
        assert result.stderr.decode().splitlines()[0] == f"<stdin>: {error}"
    else:
        assert result.returncode == 0, result.stderr
        expected = counts_by_kind(json.loads(json.dumps(value, default=float)))
        assert parse_summary(result.stdout)[1] == expected


@pytest.mark.parametrize("arguments", [["--partial", "off"], ["--partial", "yes"], ["--float-mode", "Decimal"],
                                       ["--unknown"], ["a.json", "b.json"]])
def test_bad_arguments(arguments):
    result = run(*arguments, stdin=b"[]")
    assert result.returncode == 2 and result.stdout == b""
    assert b"usage: python -m taldo" in result.stderr


def test_unreadable_files(tmp_path):
    cases = [(tmp_path / "missing.json", "No such file or directory"), (tmp_path, "Is a directory")]
    if os.name == "posix" and os.geteuid() != 0:
        locked = tmp_path / "locked.json"
        locked.write_bytes(b"[]")
        locked.chmod(0)
        cases.append((locked, "Permission denied"))
    for path, reason in cases:
        result = run(str(path))
        assert result.returncode == 2 and result.stdout == b""
        last = result.stderr.decode().splitlines()[-1]
        assert last.startswith(f"python -m taldo: error: cannot read {str(path)!r}")
        if os.name == "posix":
            assert last.endswith(reason)


POSITIONED = [
    # document, the fault's byte index
    (b"[1 2]", 3),
    (b"", 0),
    (b"  ", 2),
    (b"[1,", 3),
    (b"[1,\n", 4),
    (b'"ab\ncd"', 3),
    (b"{\n  \"a\" 1}", 8),
    (b"[1,\r\n2,\r\n]", 9),
]


@pytest.mark.parametrize("document, index", POSITIONED)
def test_the_fault_position(document, index):
    with pytest.raises(taldo.JSONDecodeError) as raised:
        taldo.from_json(document)
    line, column = map(int, POSITION.search(str(raised.value)).groups())
    assert raised.value.pos == index
    found = cli.fault_position(raised.value, document)
    assert found[:2] == (line, column)
    assert document[:found[2]].count(b"\n") == line - 1
    assert found[2] == 0 or document[found[2] - 1] == 0x0A
