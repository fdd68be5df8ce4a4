"""Structure: literals, arrays, whitespace, nesting, and release on error."""
import gc
import json
import re
import subprocess
import sys
import textwrap

import pytest

import taldo

try:
    import resource
except ImportError:  # Windows
    resource = None


def peak_rss_kib():
    """The process's peak resident size in KiB, 0 where it cannot be read."""
    if resource is None:
        return 0
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return peak // 1024 if sys.platform == "darwin" else peak  # bytes on macOS


def error_of(document, **options):
    with pytest.raises(ValueError) as info:
        taldo.from_json(document, **options)
    return str(info.value)


def at(text, index, document):
    """The message for a fault at a byte index of a one-line document."""
    assert b"\n" not in document
    column = index + 1 if index < len(document) else len(document)
    return f"{text} at line 1 column {column}"


@pytest.mark.parametrize("document, value", [
    (b"true", True), (b"false", False), (b"null", None),
    (b" \t\r\ntrue\n\r\t ", True),
    (b"[]", []), (b"[ ]", []), (b"[\t\n\r ]", []),
    (b" [true, false] ", [True, False]),
    (b"[[],[[]],[[],[]]]", [[], [[]], [[], []]]),
    (b"[null,\ttrue\r\n,false]", [None, True, False]),
])
def test_valid_documents(document, value):
    assert taldo.from_json(document) == value


@pytest.mark.parametrize("document, text, index", [
    (b"t", "EOF while parsing a value", 1),
    (b"tru", "EOF while parsing a value", 3),
    (b"trUe", "expected ident", 2),
    (b"nul", "EOF while parsing a value", 3),
    (b"nulL", "expected ident", 3),
    (b"fals", "EOF while parsing a value", 4),
    (b"falsy", "expected ident", 4),
    (b"nan", "expected ident", 1),
    (b"truex", "trailing characters", 4),
    (b"[truex]", "expected `,` or `]`", 5),
    (b"[true, false] x", "trailing characters", 14),
    (b"[", "EOF while parsing a list", 1),
    (b"[true", "EOF while parsing a list", 5),
    (b"[true ", "EOF while parsing a list", 6),
    (b"[true,", "EOF while parsing a value", 6),
    (b"[true,]", "trailing comma", 6),
    (b"[true , ]", "trailing comma", 8),
    (b"[true null]", "expected `,` or `]`", 6),
    (b"[,true]", "expected value", 1),
    (b"[true,,]", "expected value", 6),
    (b"[true}", "expected `,` or `]`", 5),
    (b"[true,}", "expected value", 6),
    (b"]", "expected value", 0),
    (b"{", "EOF while parsing an object", 1),
    (b"{ ", "EOF while parsing an object", 2),
    (b"{,}", "key must be a string", 1),
    (b"{true:1}", "key must be a string", 1),
    (b"[true,\x0cnull]", "expected value", 6),  # form feed is no whitespace
    (b"\xef\xbb\xbftrue", "expected value", 0),  # nor is a byte-order mark
    (b"[\xc2\xa0true]", "expected value", 1),  # nor a non-ASCII space
    (b"\x00", "expected value", 0),
])
def test_structural_errors(document, text, index):
    assert error_of(document) == at(text, index, document)


def nested(depth, inner=b""):
    return b"[" * depth + inner + b"]" * depth


@pytest.mark.parametrize("depth, inner, fault_index", [
    (201, b"", None),
    (202, b"", 201),
    (200, b"true", None),
    (201, b"true", 201),
    (250, b"true", 201),
])
def test_nesting_limit(depth, inner, fault_index):
    document = nested(depth, inner)
    if fault_index is None:
        value = taldo.from_json(document)
        assert value == json.loads(document)
    else:
        assert error_of(document) == at("recursion limit exceeded", fault_index, document)


def test_nesting_limit_holds_in_partial_mode():
    document = b"[" * 300
    assert error_of(document, partial_mode=True) == at("recursion limit exceeded", 201, document)


def test_nesting_budget_is_restored_between_siblings():
    # Each sibling may go to the full depth again.
    document = b"[" + b",".join([nested(200)] * 3) + b"]"
    assert taldo.from_json(document) == json.loads(document)


@pytest.mark.parametrize("count", [0, 1, 7, 8, 9, 15, 16, 17, 33, 1000, 100_000])
def test_arrays_of_every_size(count):
    items = [[True, None, False][i % 3] for i in range(count)]
    document = json.dumps(items).encode()
    value = taldo.from_json(document)
    assert value == items
    assert type(value) is list


@pytest.mark.parametrize("document, value", [
    (b"[", []), (b"[true", [True]), (b"[true,", [True]), (b"[true, fal", [True]),
    (b"[[true], [null", [[True], [None]]), (b"[true] x", [True]), (b"[true, false]]]]", [True, False]),
    (b"[true null]", [True]), (b"[[true}, null]", [[True]]),
    (b"{", {}),
])
def test_partial_documents_keep_what_is_complete(document, value):
    assert taldo.from_json(document, partial_mode=True) == value


@pytest.mark.parametrize("document, text, index", [
    (b"[true,]", "trailing comma", 6),
    (b"[tx", "expected ident", 2),
    (b"tru", "EOF while parsing a value", 3),
    (b"", "EOF while parsing a value", 0),
    (b"{,", "key must be a string", 1),
])
def test_partial_mode_keeps_other_faults(document, text, index):
    assert error_of(document, partial_mode=True) == at(text, index, document)


def failing_documents():
    # Faults deep inside nested arrays, after inline and heap-grown buffers.
    wide = b"[" + b"true," * 50
    yield b"[" * 150 + b"true," * 20 + b"x"
    yield (wide * 20) + b"null x"
    yield nested(100, b"[" + b"null," * 9 + b"]") + b"]"
    yield b"[" * 199 + b"[" * 3


def test_failures_release_everything():
    documents = list(failing_documents())
    for document in documents:
        with pytest.raises(ValueError):
            taldo.from_json(document)
    gc.collect()
    blocks = sys.getallocatedblocks()
    refs = sys.getrefcount(True), sys.getrefcount(None)
    peak = peak_rss_kib()
    for _ in range(3000):
        for document in documents:
            with pytest.raises(ValueError):
                taldo.from_json(document)
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 100
    if sys.version_info < (3, 12):  # immortal singletons from 3.12 on
        # A leak would show thousands of references; the test's own frames
        # hold a few.
        assert abs(sys.getrefcount(True) - refs[0]) < 50
        assert abs(sys.getrefcount(None) - refs[1]) < 50
    # A leaked element buffer (400+ bytes per call) would add several MB.
    assert peak_rss_kib() - peak < 4096


def test_partial_results_release_nothing_twice():
    documents = [b"[" + b"[true, null," * 30, b"[[[[[true", b"[" * 50 + b"null, true, [false"]
    expected = [taldo.from_json(d, partial_mode=True) for d in documents]
    gc.collect()
    blocks = sys.getallocatedblocks()
    for _ in range(2000):
        for document, value in zip(documents, expected):
            assert taldo.from_json(document, partial_mode=True) == value
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 100


def gaps():
    # Every length up to past two 16-byte blocks, of each kind of blank and
    # mixed, as indentation after a line feed.
    for length in list(range(0, 20)) + [31, 32, 33, 40]:
        yield " " * length
        yield "\t" * length
        yield "\n" + " " * length
        yield ("\r\n\t " * 12)[:length]


@pytest.mark.parametrize("gap", list(gaps()))
def test_whitespace_gaps_everywhere(gap):
    shapes = ['{0}[{0}1{0},{0}"a"{0},{0}{{{0}"k"{0}:{0}[{0}]{0},{0}"m"{0}:{0}null{0}}}{0}]{0}',
              '{0}{{{0}"k"{0}:{0}true{0}}}{0}', '{0}"x"{0}', "{0}12{0}"]
    for shape in shapes:
        document = shape.format(gap).encode()
        assert taldo.from_json(document) == json.loads(document)
        # The same gaps, cut off at every byte, in partial mode: nothing may
        # be read past the end.
        for end in range(len(document)):
            try:
                taldo.from_json(document[:end], partial_mode=True)
            except ValueError:
                pass


@pytest.mark.parametrize("document, text, index", [
    (b"[\x00]", "expected value", 1),
    (b"[1\x00]", "expected `,` or `]`", 2),
    (b"[1,\x00]", "expected value", 3),
    (b'{\x00"a":1}', "key must be a string", 1),
    (b'{"a":1\x00}', "expected `,` or `}`", 6),
    (b'{"a":1,\x00}', "key must be a string", 7),
    (b"[1]\x00", "trailing characters", 3),
    (b"\x00", "expected value", 0),
])
def test_nul_bytes_are_no_structure(document, text, index):
    assert error_of(document) == at(text, index, document)


class BytesWithAttributes(bytes):
    pass


def test_bytes_subclasses_parse_alike():
    for document in [b"[1, {\"a\": [true]}]  ", b"{}", b"  ", b"[1,"]:
        try:
            expected = taldo.from_json(document)
        except ValueError as exc:
            with pytest.raises(ValueError, match=re.escape(str(exc))):
                taldo.from_json(BytesWithAttributes(document))
        else:
            assert taldo.from_json(BytesWithAttributes(document)) == expected


@pytest.mark.parametrize("size", [2, 5000])
def test_collector_state_is_kept(size):
    document = b"[" + b" " * (size - 2) + b"]"
    assert gc.isenabled()
    assert taldo.from_json(document) == []
    assert gc.isenabled()
    gc.disable()
    try:
        assert taldo.from_json(document) == []
        assert not gc.isenabled()
    finally:
        gc.enable()


@pytest.mark.parametrize("switch, enabled_after", [
    ("gc.disable()", False),
    ("gc.disable(); gc.enable()", True),
    ("gc.enable()", True),
    ("pass", True),
])
def test_collector_switched_while_a_decimal_is_made(switch, enabled_after):
    # Python code run during the walk (here a Decimal subclass) sees the
    # collector as the caller left it, and what it sets outlasts the call.
    code = textwrap.dedent(f"""
        import decimal, gc, taldo
        class Switching(decimal.Decimal):
            def __new__(cls, text):
                if text == "2.5":
                    {switch}
                return super().__new__(cls, text)
        decimal.Decimal = Switching
        document = b"[" + b"1.5, " * 1000 + b"2.5, 3.5]"
        value = taldo.from_json(document, float_mode="decimal")
        assert len(value) == 1002 and value[-1] == decimal.Decimal("3.5")
        print(gc.isenabled())
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == str(enabled_after)


def test_lists_are_ordinary_lists():
    # The lists are filled without PyList_New's zeroed slots: they must still
    # grow, shrink, sort and compare like any other.
    for count in [1, 2, 8, 9, 17, 1000]:
        value = taldo.from_json(json.dumps(list(range(count))).encode())
        value.append(-1)
        value.extend(range(100))
        value.sort()
        del value[: count // 2]
        value.insert(0, "x")
        assert value == ["x"] + sorted(list(range(count)) + [-1] + list(range(100)))[count // 2:]
        assert sys.getsizeof(value) > 0
