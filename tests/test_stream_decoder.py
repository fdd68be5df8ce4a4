"""StreamDecoder: a document fed in pieces gives, after every piece, what
from_json gives for all the bytes so far in partial mode, and at close() what
it gives for the whole document."""
import copy
import decimal
import gc
import itertools
import math
import pickle
import random
import subprocess
import sys
import textwrap
import threading
import tracemalloc
import weakref
import zlib

import pytest

import taldo

from testing_hooks import canonical

StreamDecoder = taldo.StreamDecoder
PENDING = StreamDecoder.PENDING
ON, STRINGS = "on", "trailing-strings"


# --- random documents --------------------------------------------------------------

WORDS = ["a", "key", "é", "日本", "🎉", "x y", "", "q\"", "dup"]
ESCAPES = [b"\\n", b"\\t", b"\\\"", b"\\\\", b"\\/", b"\\b", b"\\f", b"\\r", b"\\u0041", b"\\u00e9",
           b"\\u65e5", b"\\ud83c\\udf89", b"\\u0000", b"\\u001f"]
BAD_ESCAPES = [b"\\x", b"\\u12g4", b"\\ud83c", b"\\ud83cx", b"\\ud83c\\n", b"\\ud83c\\u0041", b"\\udc00",
               b"\\u"]
NUMBERS = [b"0", b"-0", b"7", b"-12", b"123456789", b"12345678901234567890", b"-98765432109876543210123",
           b"1.5", b"-0.25", b"3.14159265358979", b"1e10", b"1E-5", b"-2.5e+3", b"6.02214076e23",
           b"1e400", b"-1e400", b"1" * 60, b"0." + b"1" * 50, b"2.2250738585072014e-308", b"NaN",
           b"Infinity", b"-Infinity", b"9007199254740993"]
BAD_NUMBERS = [b"01", b"1.", b"-", b"1e", b"1e+", b".5", b"+1", b"1.x", b"--1", b"Inf", b"-Inx", b"NaX", b"0x1",
               b"1.5.5", b"0-1", b"1" * 4301]
LITERALS = [b"true", b"false", b"null"]
BAD_LITERALS = [b"tru", b"fals", b"nul", b"trux", b"nulll", b"t"]
SPACES = [b"", b"", b"", b" ", b"\n", b"  ", b"\r\n", b"\t"]


def string_body(rng, allow_bad):
    parts = []
    for _ in range(rng.randrange(0, 5)):
        kind = rng.random()
        if kind < 0.4:
            parts.append(rng.choice(WORDS).encode())
        elif kind < 0.7:
            parts.append(rng.choice(ESCAPES))
        elif kind < 0.8:
            parts.append(b"long text " * rng.randrange(1, 8))
        elif allow_bad and kind < 0.86:
            parts.append(rng.choice(BAD_ESCAPES))
        elif allow_bad and kind < 0.92:
            parts.append(rng.choice([b"\xc3", b"\xff", b"\xe6\x97", b"\xed\xa0\x80", b"\xc0\xaf", b"\x80",
                                     b"\xf0\x9f\x8e", b"\xf4\x90\x80\x80"]))
        elif allow_bad and kind < 0.95:
            parts.append(rng.choice([b"\x01", b"\n", b"\x1f"]))
        else:
            parts.append(rng.choice(WORDS).encode())
    return b"".join(parts)


def value(rng, depth, bad):
    ws = lambda: rng.choice(SPACES)  # noqa: E731
    kind = rng.random()
    if depth > 0 and kind < 0.3:
        items = [value(rng, depth - 1, bad) for _ in range(rng.randrange(0, 5))]
        if bad and rng.random() < 0.05:
            return b"[" + b" ".join(items) + b"]"
        text = b"[" + ws() + (ws() + b"," + ws()).join(items) + ws()
        if bad and rng.random() < 0.05:
            text += b","
        return text + (b"}" if bad and rng.random() < 0.04 else b"]")
    if depth > 0 and kind < 0.55:
        members = []
        for _ in range(rng.randrange(0, 5)):
            key = rng.choice(WORDS).encode() if rng.random() < 0.7 else string_body(rng, bad)
            members.append(b'"' + key + b'"' + ws() + b":" + ws() + value(rng, depth - 1, bad))
        if bad and rng.random() < 0.05:
            members.append(rng.choice([b"1: 2", b'"k" 3', b'"k":', b'"k"']))
        text = b"{" + ws() + (ws() + b"," + ws()).join(members) + ws()
        if bad and rng.random() < 0.05:
            text += b","
        return text + (b"]" if bad and rng.random() < 0.04 else b"}")
    if kind < 0.75:
        return b'"' + string_body(rng, bad) + b'"'
    if kind < 0.9:
        if bad and rng.random() < 0.1:
            return rng.choice(BAD_NUMBERS)
        return rng.choice(NUMBERS)
    if bad and rng.random() < 0.1:
        return rng.choice(BAD_LITERALS)
    return rng.choice(LITERALS)


def document(rng):
    bad = rng.random() < 0.5
    shape = rng.random()
    if shape < 0.04:
        depth = rng.choice([199, 200, 201, 202])
        body = b"[" * depth + rng.choice([b"1", b"", b"[]", b"{}", b'{"a": 1}']) + b"]" * depth
    else:
        body = rng.choice(SPACES) + value(rng, rng.randrange(0, 5), bad) + rng.choice(SPACES)
    if bad and rng.random() < 0.2:
        body += rng.choice([b"x", b" 1", b"]", b"{}", b'"'])
    if bad and rng.random() < 0.3:
        body = body[: rng.randrange(0, len(body) + 1)]
    return body


def pieces(rng, data):
    out = []
    i = 0
    single = rng.random() < 0.2
    while i < len(data):
        n = 1 if single else rng.randrange(1, 7)
        if rng.random() < 0.05:
            out.append(b"")
        out.append(data[i:i + n])
        i += n
    return out


# --- comparing results ----------------------------------------------------------------

def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or a == b and math.copysign(1, a) == math.copysign(1, b)
    if isinstance(a, decimal.Decimal):
        return str(a) == str(b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


def outcome(call):
    try:
        return ("value", call())
    except ValueError as error:
        return ("error", type(error), str(error))


def expected_after(data, options):
    result = outcome(lambda: taldo.from_json(data, **options))
    if result[0] == "error" and result[2].startswith(("EOF while parsing a value", "EOF while parsing a string")):
        return ("pending",)
    return result


def same_outcome(got, expected):
    if got[0] != expected[0]:
        return False
    if got[0] == "value":
        return same(got[1], expected[1])
    return got == expected


def check_stream(chunks, options):
    decoder = StreamDecoder(**options)
    fed = b""
    for chunk in chunks:
        fed += chunk
        got = outcome(lambda: decoder.feed(chunk))
        if got[0] == "value" and got[1] is PENDING:
            got = ("pending",)
        expected = expected_after(fed, options)
        assert same_outcome(got, expected), (fed, options, got, expected)
        if got[0] == "error":
            with pytest.raises(ValueError, match="failed earlier"):
                decoder.feed(b" ")
            return
    strict = {k: v for k, v in options.items() if k != "partial_mode"}
    got = outcome(decoder.close)
    expected = outcome(lambda: taldo.from_json(fed, **strict))
    assert same_outcome(got, expected), (fed, options, got, expected)
    with pytest.raises(ValueError, match="closed"):
        decoder.feed(b"1")


OPTION_SETS = [
    dict(partial_mode=partial, cache_mode=cache, float_mode=floats, catch_duplicate_keys=duplicates,
         allow_inf_nan=inf_nan)
    for partial, cache, floats, duplicates, inf_nan in itertools.product(
        [ON, STRINGS], ["all", "keys", "none"], ["float", "decimal", "lossless-float"], [False, True],
        [True, False])
]


@pytest.mark.parametrize("options", OPTION_SETS, ids=lambda o: "-".join(str(v) for v in o.values()))
def test_matches_from_json_after_every_piece(options):
    rng = random.Random(zlib.crc32(repr(options).encode()))
    for _ in range(25):
        data = document(rng)
        check_stream(pieces(rng, data), options)


@pytest.mark.parametrize("data", [
    b'"\\ud83c\\udf89\xe6\x97\xa5\xc3\xa9 \\u00e9x"',
    b'["\xf0\x9f\x8e\x89", "\\ud83c\\udf89", {"\xe6\x97\xa5": "\\u65e5"}]',
    b'{"a": "\xc3", "b": 1}',
    b'["\xed\xa0\x80"]',
    b'["ab\xc3\\n"]',
    b'["\xc3\x01"]',
    b'["\\ud83c\xc3\xa9"]',
    b'[1.5e+10, -0.0, 1E400, -Infinity, NaN]',
    b'{"a": 1, "a": 2.5, "a": "x"}',
    b'{"": [], "": ""}',
])
@pytest.mark.parametrize("mode", [ON, STRINGS])
def test_every_cut_of_escapes_and_characters(data, mode):
    # Each piece boundary at every byte, and the bytes one at a time.
    options = dict(partial_mode=mode)
    for cut in range(len(data) + 1):
        check_stream([data[:cut], data[cut:]], options)
    check_stream([data[i:i + 1] for i in range(len(data))], options)
    check_stream([data[i:i + 1] for i in range(len(data))], dict(options, catch_duplicate_keys=True))


# --- live containers -------------------------------------------------------------------

def feeds(chunks, **options):
    decoder = StreamDecoder(**options)
    return decoder, [copy.deepcopy(decoder.feed(chunk)) for chunk in chunks]


@pytest.mark.parametrize("chunks, results", [
    ([b'{"a": 1, "a": 2', b".", b"5", b"}"], [{"a": 2}, {"a": 1}, {"a": 2.5}, {"a": 2.5}]),
    ([b'{"a": 1, "b": 2', b".", b"5"], [{"a": 1, "b": 2}, {"a": 1}, {"a": 1, "b": 2.5}]),
    ([b"[12", b"3", b"]"], [[12], [123], [123]]),
    ([b"[1 2", b"]", b", 3]"], [[1], [1], [1]]),
    ([b'[{"a": [1}, 2]'], [[{"a": [1]}, 2]]),
    ([b"[1, -", b"2"], [[1], [1, -2]]),
    ([b"[tr", b"ue"], [[], [True]]),
    ([b"[0", b"1"], [[0], None]),
    ([b"  ", b"1", b"2 ", b"x"], [PENDING, 1, 12, 12]),
    ([b"[1] ", b"garbage"], [[1], [1]]),
])
def test_live_values(chunks, results):
    decoder = StreamDecoder()
    first = None
    for chunk, result in zip(chunks, results):
        if result is None:
            with pytest.raises(ValueError, match="invalid number"):
                decoder.feed(chunk)
            return
        value = decoder.feed(chunk)
        assert value == result
        if isinstance(value, (list, dict)):
            first = value if first is None else first
            assert value is first  # the same object, extended


def test_trailing_strings_are_replaced_in_place():
    decoder = StreamDecoder(partial_mode=STRINGS)
    value = decoder.feed(b'{"k": ["ab')
    inner = value["k"]
    assert decoder.feed(b"cd") is value and inner == ["abcd"]
    assert decoder.feed(b'", "e') is value and inner == ["abcd", "e"]
    assert decoder.close.__name__ == "close"


@pytest.mark.parametrize("start, meddle, rest, result", [
    (b"[1", list.clear, b"2]", [12]),
    (b"[1", list.clear, b".", []),
    (b'{"a": 1', dict.clear, b"2}", {"a": 12}),
    (b'{"a": 1', dict.clear, b".", {}),
    (b'{"a": 0, "a": 1', lambda v: v.pop("a"), b".", {"a": 0}),
])
def test_values_changed_by_the_caller_meanwhile(start, meddle, rest, result):
    # The decoder's own view stays sound; no crash, nothing leaked.
    decoder = StreamDecoder()
    value = decoder.feed(start)
    meddle(value)
    assert decoder.feed(rest) == result


def test_pending_is_one_clear_object():
    assert repr(PENDING) == "taldo.StreamDecoder.PENDING"
    assert StreamDecoder().feed(b"") is PENDING
    with pytest.raises(TypeError):
        type(PENDING)()
    assert copy.copy(PENDING) is PENDING and copy.deepcopy([PENDING])[0] is PENDING
    assert pickle.loads(pickle.dumps(PENDING)) is PENDING
    assert "StreamDecoder" not in taldo.__all__


# --- options, closed and failed decoders, threads ----------------------------------------

@pytest.mark.parametrize("options, error, note", [
    (dict(partial_mode="off"), ValueError, "partial_mode"),
    (dict(partial_mode=False), ValueError, "partial_mode"),
    (dict(partial_mode="ON"), ValueError, "partial_mode"),
    (dict(partial_mode=1), TypeError, "partial_mode"),
    (dict(cache_mode="x", partial_mode="off"), ValueError, "cache_mode"),
    (dict(float_mode="Decimal"), ValueError, "float_mode"),
    (dict(allow_inf_nan=None), TypeError, "allow_inf_nan"),
])
def test_bad_options(options, error, note):
    with pytest.raises(error) as raised:
        StreamDecoder(**options)
    if hasattr(raised.value, "__notes__"):
        assert raised.value.__notes__ == [f"while processing '{note}'"]


def test_partial_mode_message():
    with pytest.raises(ValueError, match="Invalid partial mode for a stream, should be `'on'`, "
                                         "`'trailing-strings'` or `True`"):
        StreamDecoder(partial_mode="off")


def test_arguments():
    with pytest.raises(TypeError):
        StreamDecoder(b"[]")
    with pytest.raises(TypeError):
        StreamDecoder(foo=1)
    with pytest.raises(TypeError, match="'str' object is not an instance of 'bytes'"):
        StreamDecoder().feed("[]")
    assert StreamDecoder(partial_mode=True).feed(b'["a') == []


def test_closed_and_failed():
    decoder = StreamDecoder()
    assert decoder.feed(b"[1]") == [1]
    assert decoder.close() == [1]
    for call in (lambda: decoder.feed(b""), decoder.close):
        with pytest.raises(ValueError, match="StreamDecoder.*closed"):
            call()
    decoder = StreamDecoder()
    with pytest.raises(ValueError, match="trailing comma at line 2 column 2"):
        decoder.feed(b"[1,\n ]")
    for call in (lambda: decoder.feed(b""), decoder.close):
        with pytest.raises(ValueError, match="StreamDecoder.*failed earlier"):
            call()
    decoder = StreamDecoder()
    decoder.feed(b"[1")
    with pytest.raises(ValueError, match="EOF while parsing a list at line 1 column 2"):
        decoder.close()


@pytest.mark.parametrize("chunks, message", [
    ([b"[1,\n", b"  2,\n", b" ]"], "trailing comma at line 3 column 2"),
    ([b'{"a": 1,\n"a"', b": 2}"], 'Detected duplicate key "a" at line 2 column 5'),
    ([b'["\xc3\xa9', b'\xc3"]'], "invalid unicode code point at line 1 column 5"),
])
def test_positions_count_the_whole_stream(chunks, message):
    decoder = StreamDecoder(catch_duplicate_keys=True)
    with pytest.raises(taldo.JSONDecodeError, match=message) as raised:
        for chunk in chunks:
            decoder.feed(chunk)
    with pytest.raises(taldo.JSONDecodeError) as whole:
        taldo.from_json(b"".join(chunks), catch_duplicate_keys=True, partial_mode=True)
    assert str(raised.value) == str(whole.value) == message
    # The position counts over the whole stream; doc is the chunk that was
    # being fed. Pickling keeps both.
    error = raised.value
    assert (error.msg, error.pos, error.lineno, error.colno) == (
        whole.value.msg, whole.value.pos, whole.value.lineno, whole.value.colno)
    assert error.doc is chunk
    again = pickle.loads(pickle.dumps(error))
    assert (str(again), again.pos, again.lineno, again.colno, again.doc) == (
        message, error.pos, error.lineno, error.colno, chunk)


def test_close_fault_is_a_decode_error_with_empty_doc():
    decoder = StreamDecoder()
    decoder.feed(b"[1,\n")
    with pytest.raises(taldo.JSONDecodeError) as raised:
        decoder.close()
    assert (str(raised.value), raised.value.pos, raised.value.doc) == (
        "EOF while parsing a value at line 2 column 0", 4, b"")


def test_errors_are_raised_by_from_jsons_rule():
    # The exception type follows from_json's, whatever it is.
    with pytest.raises(Exception) as from_json:
        taldo.from_json(b"[1,]", partial_mode=True)
    with pytest.raises(Exception) as streamed:
        StreamDecoder().feed(b"[1,]")
    assert type(streamed.value) is type(from_json.value) and str(streamed.value) == str(from_json.value)


REENTRANT = textwrap.dedent("""
    import decimal, threading, taldo

    decoder = taldo.StreamDecoder(float_mode="decimal")
    seen = []

    class Meddling(decimal.Decimal):
        def __new__(cls, text):
            for call in (lambda: decoder.feed(b"1"), decoder.close):
                try:
                    call()
                except ValueError as error:
                    seen.append(str(error))
            worker = threading.Thread(target=lambda: seen.append(call_from_thread()))
            worker.start()
            worker.join()
            return super().__new__(cls, text)

    def call_from_thread():
        try:
            decoder.feed(b"2")
        except ValueError as error:
            return str(error)

    decimal.Decimal = Meddling
    print(decoder.feed(b"[1.5, 2.5"), decoder.feed(b"]"), decoder.close())
    for line in seen:
        print(line)
""")


def test_calls_while_a_feed_runs_are_refused():
    out = subprocess.run([sys.executable, "-c", REENTRANT], capture_output=True, text=True, check=True).stdout
    lines = out.splitlines()
    assert lines[0] == "[Decimal('1.5'), Decimal('2.5')] [Decimal('1.5'), Decimal('2.5')] " \
                       "[Decimal('1.5'), Decimal('2.5')]"
    # Three Decimals are made (2.5 twice: cut, then complete), each refusing a
    # feed, a close, and a feed from another thread.
    assert len(lines) == 1 + 9
    assert all("while another call on the decoder is running" in line for line in lines[1:])


# --- the cache, the collector, memory -------------------------------------------------------

def test_cut_strings_stay_out_of_the_cache():
    taldo.cache_clear()
    decoder = StreamDecoder(partial_mode=STRINGS)
    text = b'["' + b"abcdefghij" * 3 + b'", {"' + b"key" * 5 + b'": "' + b"value" * 4 + b'"}]'
    for i in range(len(text)):
        decoder.feed(text[i:i + 1])
    decoder.close()
    assert taldo.cache_usage() == 3
    taldo.cache_clear()
    taldo.from_json(text)
    assert taldo.cache_usage() == 3


def test_a_decoder_inside_its_own_value_is_collected():
    decoder = StreamDecoder()
    value = decoder.feed(b"[1, ")
    value.append(decoder)
    watcher = weakref.ref(decoder)
    del decoder, value
    gc.collect()
    assert watcher() is None


def test_no_leaks_over_many_streams():
    rng = random.Random(7)
    streams = [(pieces(rng, data), options) for options in OPTION_SETS[::7] for data in
               (document(rng) for _ in range(4))]
    # Numbers and trailing strings cut at every byte, in lists and dicts.
    cut_values = b'[' + b'1.25, "text", {"a": 2.5, "a": -7.75e3}, ' * 50 + b'0]'
    streams += [([cut_values[i:i + 1] for i in range(len(cut_values))], options)
                for options in (dict(partial_mode=STRINGS), dict(float_mode="decimal"))]

    def run_all():
        for chunks, options in streams:
            decoder = StreamDecoder(**options)
            try:
                for chunk in chunks:
                    decoder.feed(chunk)
                decoder.close()
            except ValueError:
                pass

    run_all()
    gc.collect()
    tracemalloc.start()
    run_all()
    gc.collect()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(5):
        run_all()
    gc.collect()
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    assert after - before < 20_000


def test_dropped_values_are_released():
    class Tracked:
        pass

    decoder = StreamDecoder(float_mode="decimal")
    value = decoder.feed(b'{"a": [1], "a": 1.5')
    first = sys.getrefcount(value)
    decoder.feed(b"e")  # dropped: the list comes back
    assert value == {"a": [1]}
    decoder.feed(b"3")
    assert value == {"a": decimal.Decimal("1.5e3")}
    assert sys.getrefcount(value) == first
    del Tracked


# --- exhausted native memory ----------------------------------------------------------------

MEMORY_DOCUMENT = (b'{"k\\u00e9y": [' + b",".join(b"%d" % i for i in range(40)) + b'], "s": "line\\nbreak \\u4e2d '
                   + "é".encode() * 30 + b'", "big": -' + b"9" * 300 + b', "f": [1.5, -2e-3, 3.25], "o": {'
                   + b",".join(b'"k%d\\t": [%d]' % (i, i) for i in range(12)) + b"}, " + b"[" * 30 + b"]" * 30 + b"}")
CODES = {"all": 0, "keys": 1, "none": 2, "float": 0, "decimal": 1, "lossless-float": 2, ON: 1, STRINGS: 2}


@pytest.mark.parametrize("options", [
    dict(partial_mode=ON, cache_mode="all", float_mode="float", catch_duplicate_keys=False),
    dict(partial_mode=STRINGS, cache_mode="none", float_mode="lossless-float", catch_duplicate_keys=True),
    dict(partial_mode=STRINGS, cache_mode="keys", float_mode="decimal", catch_duplicate_keys=True),
], ids=repr)
@pytest.mark.parametrize("document", [MEMORY_DOCUMENT, MEMORY_DOCUMENT + b" x", MEMORY_DOCUMENT[:-5]],
                         ids=["whole", "trailing", "cut"])
def test_every_failing_native_allocation_ends_the_stream_cleanly(document, options):
    internals = pytest.importorskip("_taldo_testing")
    rng = random.Random(3)
    chunks = pieces(rng, document)
    codes = (CODES[options["cache_mode"]], options["catch_duplicate_keys"], CODES[options["float_mode"]],
             CODES[options["partial_mode"]])
    decoder = StreamDecoder(**options)
    try:
        for chunk in chunks:
            decoder.feed(chunk)
        expected = ("value", canonical(decoder.close()))
    except ValueError as error:
        expected = ("error", str(error))
    outcome, payload, failed = internals.stream_failing(chunks, -1, False, *codes)
    assert not failed and (outcome, canonical(payload)) == expected
    del payload
    gc.collect()
    live = internals.live_native_blocks()
    failures = set()
    for fail_at in range(2000):
        outcome, payload, failed = internals.stream_failing(chunks, fail_at, fail_at % 2 == 1, *codes)
        if not failed:
            assert (outcome, canonical(payload)) == expected
            break
        if outcome == "fault":
            assert payload.startswith("out of memory"), payload
        elif not (outcome == "error" and payload is None):
            assert (outcome, canonical(payload)) == expected  # an allocation it can do without
        failures.add(outcome)
        del payload
        gc.collect()
        assert internals.live_native_blocks() == live, fail_at
    else:
        pytest.fail("the stream never ran out of allocations to fail")
    assert "fault" in failures
