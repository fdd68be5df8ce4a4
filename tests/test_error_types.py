"""The exception classes: taldo.JSONDecodeError for a malformed document (a
json.JSONDecodeError with taldo's message and positions) and
taldo.InternalFault for a broken invariant."""
import copy
import gc
import json
import pickle
import subprocess
import sys
import textwrap

import pytest

import taldo


def reference_position(doc, pos):
    """Line and column of index pos by taldo's rules, counted independently:
    the unit at pos is counted first (a line feed there starts the next
    line), and an index past the end counts as the end."""
    lines = doc[:min(pos, len(doc)) + 1].split("\n" if isinstance(doc, str) else b"\n")
    return len(lines), len(lines[-1])


# (document, options, message of today, byte index of the fault)
MALFORMED = [
    (b"", {}, "EOF while parsing a value at line 1 column 0", 0),
    (b"  ", {}, "EOF while parsing a value at line 1 column 2", 2),
    (b"\n\n", {}, "EOF while parsing a value at line 3 column 0", 2),
    (b"[1 2]", {}, "expected `,` or `]` at line 1 column 4", 3),
    (b"[1,", {}, "EOF while parsing a value at line 1 column 3", 3),
    (b"[1,\n", {}, "EOF while parsing a value at line 2 column 0", 4),
    (b'{\n  "a" 1}', {}, "expected `:` at line 2 column 7", 8),
    (b'"ab\ncd"', {}, "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0", 3),
    (b"[1, 2,]", {}, "trailing comma at line 1 column 7", 6),
    (b'{"a":1,}', {}, "trailing comma at line 1 column 8", 7),
    (b"[1] 2", {}, "trailing characters at line 1 column 5", 4),
    (b"[1]\r\n x", {}, "trailing characters at line 2 column 2", 6),
    ('["é", x]'.encode(), {}, "expected value at line 1 column 8", 7),
    (b'{"a" : tru}', {}, "expected ident at line 1 column 11", 10),
    (b'"\\x"', {}, "invalid escape at line 1 column 3", 2),
    (b'"\\u12', {}, "EOF while parsing a string at line 1 column 5", 5),
    (b'["a\xff"]', {}, "invalid unicode code point at line 1 column 4", 3),
    (b"{1: 2}", {}, "key must be a string at line 1 column 2", 1),
    (b"[-]", {}, "invalid number at line 1 column 3", 2),
    (b"[01]", {}, "invalid number at line 1 column 3", 2),
    (b"[" * 300 + b"]" * 300, {}, "recursion limit exceeded at line 1 column 202", 201),
    (b"[NaN]", {"allow_inf_nan": False}, "expected value at line 1 column 2", 1),
    (b"[1, x", {"partial_mode": True}, "expected value at line 1 column 5", 4),
    (b"[1.5e]", {"float_mode": "decimal"}, "invalid number at line 1 column 6", 5),
    (b"[1.5e]", {"float_mode": "lossless-float"}, "invalid number at line 1 column 6", 5),
    (b'{"a": 1, "a": 2}', {"catch_duplicate_keys": True}, 'Detected duplicate key "a" at line 1 column 14', 13),
    ('{"é\\"": 1,\n "é\\"": 2}'.encode(), {"catch_duplicate_keys": True},
     'Detected duplicate key "é\\"" at line 2 column 9', 20),
]

# The documents json.loads accepts: it reads NaN, repeated keys and deep
# nesting. It refuses every other one (but bad UTF-8, which it does not
# decode) with its JSONDecodeError.
JSON_ACCEPTS = {b"[" * 300 + b"]" * 300, b"[NaN]", b'{"a": 1, "a": 2}', '{"é\\"": 1,\n "é\\"": 2}'.encode()}


def parse_error(document, **options):
    with pytest.raises(taldo.JSONDecodeError) as info:
        taldo.from_json(document, **options)
    return info.value


def state(error):
    return type(error), error.args, error.__dict__


@pytest.mark.parametrize("number", range(len(MALFORMED)))
def test_parse_error_attributes(number):
    document, options, message, pos = MALFORMED[number]
    error = parse_error(document, **options)
    assert type(error) is taldo.JSONDecodeError
    assert isinstance(error, json.JSONDecodeError) and isinstance(error, ValueError)
    assert str(error) == message and error.args == (message,)
    fault, _, place = message.rpartition(" at ")
    assert error.msg == fault
    assert error.doc is document
    assert error.pos == pos
    assert place == f"line {error.lineno} column {error.colno}"
    assert (error.lineno, error.colno) == reference_position(document, pos)
    if document in JSON_ACCEPTS:
        json.loads(document)
    elif b"\xff" not in document:
        # Code written for json catches either parser's failure alike.
        with pytest.raises(json.JSONDecodeError):
            json.loads(document)


def test_except_json_decode_error_catches():
    try:
        taldo.from_json(b"[1,]")
    except json.JSONDecodeError as error:
        assert type(error) is taldo.JSONDecodeError and error.msg == "trailing comma"
    else:
        pytest.fail("no error")


def test_doc_is_a_bytes_subclass_as_given():
    class Document(bytes):
        pass

    document = Document(b'{"a" 1}')
    error = parse_error(document)
    assert error.doc is document and error.pos == 5


def test_module_surface():
    assert taldo.__all__ == ["from_json", "cache_clear", "cache_usage", "__version__", "LosslessFloat"]
    assert taldo.JSONDecodeError.__module__ == "taldo"
    assert taldo.JSONDecodeError.__qualname__ == taldo.JSONDecodeError.__name__ == "JSONDecodeError"
    assert taldo.JSONDecodeError.__bases__ == (json.JSONDecodeError,)
    assert taldo.JSONDecodeError.__text_signature__ == "(msg, doc, pos)"
    assert "lineno" in taldo.JSONDecodeError.__doc__
    from taldo import JSONDecodeError, InternalFault
    assert JSONDecodeError is taldo.JSONDecodeError and InternalFault is taldo.InternalFault
    with pytest.raises(AttributeError, match="module 'taldo' has no attribute 'JSONDecodeErrors'"):
        taldo.JSONDecodeErrors


def test_internal_fault_is_a_base_exception():
    fault = taldo.InternalFault
    assert fault.__bases__ == (BaseException,)
    assert not issubclass(fault, Exception)
    assert (fault.__module__, fault.__qualname__) == ("taldo", "InternalFault")


COPIERS = [copy.copy, copy.deepcopy] + [
    lambda error, protocol=protocol: pickle.loads(pickle.dumps(error, protocol))
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1)]


@pytest.mark.parametrize("copier", COPIERS, ids=["copy", "deepcopy"] + [
    f"pickle{protocol}" for protocol in range(pickle.HIGHEST_PROTOCOL + 1)])
@pytest.mark.parametrize("number", range(len(MALFORMED)))
def test_parse_error_pickles_and_copies(number, copier):
    document, options, _, _ = MALFORMED[number]
    error = parse_error(document, **options)
    copied = copier(error)
    assert copied is not error
    assert state(copied) == state(error)


def test_pickle_keeps_attributes_added_later():
    error = parse_error(b"[1,]")
    error.source = "request 7"
    if sys.version_info >= (3, 11):
        error.add_note("while reading the request")
    loaded = pickle.loads(pickle.dumps(error))
    assert state(loaded) == state(error)
    assert loaded.source == "request 7"


def test_pickle_keeps_what_differs_from_the_doc():
    # An instance whose message was counted in other bytes than its doc (a
    # stream reports the chunk it holds) comes back as it was.
    error = taldo.JSONDecodeError("trailing comma", b"[1,]", 3)
    error.args = ("trailing comma at line 9 column 3",)
    error.lineno = 9
    loaded = pickle.loads(pickle.dumps(error))
    assert state(loaded) == state(error)


class CustomDecodeError(taldo.JSONDecodeError):
    pass


def test_subclass_pickles_as_itself():
    error = CustomDecodeError("bad", b"ab\ncd", 4)
    assert str(error) == "bad at line 2 column 2"
    loaded = pickle.loads(pickle.dumps(error))
    assert type(loaded) is CustomDecodeError and state(loaded) == state(error)


# JSONDecodeError(msg, doc, pos) made by hand: (doc, pos, lineno, colno).
CONSTRUCTED = [
    (b"", 0, 1, 0),
    (b"[1,]", 3, 1, 4),
    (b"[1,\n", 2, 1, 3),
    (b"[1,\n", 4, 2, 0),
    (b"[1,\n", 99, 2, 0),
    (b"ab\ncd", 2, 2, 0),  # on a line feed: the next line, column 0
    ("é\nab".encode(), 1, 1, 2),  # columns count bytes in bytes
    ("é\nab", 0, 1, 1),  # and characters in a str
    ("é\n\U0001F600x", 3, 2, 2),
    ("\U0001F600\n\u4e2d\n", 2, 2, 1),
    ("\U0001F600\n\u4e2d\n", 4, 3, 0),
    ("ab\ncd", 5, 2, 2),  # at the end: the last character's column
    ("ab\ncd", 2**70, 2, 2),
]


@pytest.mark.parametrize("doc, pos, lineno, colno", CONSTRUCTED)
def test_made_by_hand(doc, pos, lineno, colno):
    error = taldo.JSONDecodeError("bad thing", doc, pos)
    assert str(error) == f"bad thing at line {lineno} column {colno}"
    assert error.args == (str(error),)
    assert (error.msg, error.doc, error.pos, error.lineno, error.colno) == ("bad thing", doc, pos, lineno, colno)
    assert (lineno, colno) == reference_position(doc, pos)
    assert state(pickle.loads(pickle.dumps(error))) == state(error)
    by_keyword = taldo.JSONDecodeError(msg="bad thing", doc=doc, pos=pos)
    assert state(by_keyword) == state(error)


@pytest.mark.parametrize("doc", ["{\n  \"a\": [1,\n 2é, \U0001F600]\n}", "x\n\n\ny", "plain"])
def test_made_by_hand_agrees_with_json_inside_lines(doc):
    # json counts the same way for an index that is inside the text and not
    # on a line feed; it differs only there and at the end.
    for pos in range(len(doc)):
        if doc[pos] == "\n":
            continue
        ours = taldo.JSONDecodeError("m", doc, pos)
        theirs = json.JSONDecodeError("m", doc, pos)
        assert (ours.lineno, ours.colno) == (theirs.lineno, theirs.colno), pos


def test_made_by_hand_formats_any_msg():
    error = taldo.JSONDecodeError(42, b"x", 0)
    assert error.msg == 42 and str(error) == "42 at line 1 column 1"


@pytest.mark.parametrize("args, exception, text", [
    (("m", b"x", -1), ValueError, "'pos' must not be negative"),
    (("m", b"x", 1.5), TypeError, "integer"),
    (("m", bytearray(b"x"), 0), TypeError, "'doc' must be bytes or str, not bytearray"),
    (("m", None, 0), TypeError, "'doc' must be bytes or str, not NoneType"),
    (("m", b"x"), TypeError, "missing required argument 'pos'"),
])
def test_made_by_hand_refuses(args, exception, text):
    with pytest.raises(exception, match=text):
        taldo.JSONDecodeError(*args)


# LosslessFloat(raw) with a text that is no JSON number: (raw, message, pos).
NUMBER_TEXTS = [
    (b"", "EOF while parsing a value at line 1 column 0", 0),
    (b"1.5x", "trailing characters at line 1 column 4", 3),
    (b'"1.5"', "expected float but found string at line 1 column 1", 0),
    (b"abc", "expected value at line 1 column 1", 0),
    (b" 1.\n", "invalid number at line 2 column 0", 3),
]


@pytest.mark.parametrize("raw, message, pos", NUMBER_TEXTS)
@pytest.mark.parametrize("given", [bytes, bytearray, list])
def test_lossless_float_text_that_is_no_number(raw, message, pos, given):
    argument = given(raw)
    with pytest.raises(taldo.JSONDecodeError) as info:
        taldo.LosslessFloat(argument)
    error = info.value
    assert str(error) == message and error.pos == pos
    assert type(error.doc) is bytes and error.doc == raw
    if given is bytes:
        assert error.doc is argument


def test_lossless_float_argument_errors_are_unchanged():
    with pytest.raises(TypeError, match="^Can't extract `str` to `Vec`$") as info:
        taldo.LosslessFloat("1.5")
    assert type(info.value) is TypeError
    with pytest.raises(OverflowError):
        taldo.LosslessFloat([300])


def test_failing_parses_leak_nothing():
    documents = [document for document, options, _, _ in MALFORMED if not options]
    for document in documents:
        parse_error(document)
    gc.collect()
    blocks = sys.getallocatedblocks()
    for _ in range(200):
        for document in documents:
            try:
                taldo.from_json(document)
            except taldo.JSONDecodeError:
                pass
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 50


@pytest.mark.parametrize("document, expected_outcomes", [
    (b'{"key": ["text", 1.5, {"a": [1, 2,]}]}', {"error", "memory error", "fault"}),
    (b'{"key": ["text", 1.5, {"a": [1, 2]}]}', {"value", "fault"}),
])
def test_failing_python_allocations(document, expected_outcomes, monkeypatch):
    """Each Python allocation of a call failing in turn: the call ends with
    its value, its JSONDecodeError, the internal fault (caught by its public
    name, and by no `except Exception`) or MemoryError."""
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "set_nomemory"):
        pytest.skip("this interpreter cannot simulate memory exhaustion")
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
    try:
        expected = taldo.from_json(document, cache_mode="none")
    except taldo.JSONDecodeError as error:
        expected = str(error)
    outcomes = set()
    for n in range(100):
        testcapi.set_nomemory(n, n + 1)
        try:
            try:
                value = taldo.from_json(document, cache_mode="none")
            except Exception:
                raise
            except taldo.InternalFault as fault:
                outcome, payload = "fault", str(fault)
            else:
                outcome, payload = "value", value
        except taldo.JSONDecodeError as error:
            outcome, payload = "error", (str(error), error.doc is document)
        except MemoryError:
            outcome, payload = "memory error", None
        finally:
            testcapi.remove_mem_hooks()
        if outcome == "fault":
            assert payload.startswith("could not") or payload == "PyDict_SetItem failed", payload
        elif outcome == "error":
            assert payload == (expected, True)
        elif outcome == "value":
            assert payload == expected
        outcomes.add(outcome)
    assert outcomes == expected_outcomes


def run_python(code):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


def test_class_is_made_on_first_need():
    # Importing taldo does not import json; the first look at the class or
    # the first parse error does, and both see the same class.
    out = run_python("""
        import sys
        before = "json.decoder" in sys.modules
        import taldo
        print(before or "json.decoder" not in sys.modules, "JSONDecodeError" in vars(taldo))
        try:
            taldo.from_json(b"[")
        except ValueError as error:
            import json
            print(type(error) is taldo.JSONDecodeError, isinstance(error, json.JSONDecodeError))
        print("JSONDecodeError" in vars(taldo), "JSONDecodeError" in dir(taldo))
    """)
    assert out == ["True False", "True True", "True True"]


def test_pickle_loads_in_a_process_that_has_not_made_the_class():
    error = parse_error(b'{"a": [1, 2,]}')
    out = run_python(f"""
        import pickle, sys
        error = pickle.loads({pickle.dumps(error)!r})
        import taldo
        print(type(error) is taldo.JSONDecodeError, error.msg, error.doc, error.pos, error.lineno, error.colno)
        print(error)
    """)
    assert out == ["True trailing comma b'{\"a\": [1, 2,]}' 12 1 13", "trailing comma at line 1 column 13"]


def test_class_that_cannot_be_made_is_made_later():
    out = run_python("""
        import sys, taldo
        sys.modules["json.decoder"] = None  # the import now fails
        try:
            taldo.from_json(b"[")
        except ImportError:
            print("import failed")
        del sys.modules["json.decoder"]
        try:
            taldo.from_json(b"[")
        except ValueError as error:
            import json
            print(type(error).__name__, isinstance(error, json.JSONDecodeError), error)
    """)
    assert out == ["import failed", "JSONDecodeError True EOF while parsing a list at line 1 column 1"]


def test_decimal_internal_error_is_a_decode_error():
    out = run_python("""
        import decimal, json, pickle, taldo
        class Refusing(decimal.Decimal):
            def __new__(cls, text):
                raise ArithmeticError("no " + text)
        decimal.Decimal = Refusing
        document = b'{"a": [1, 2.5]}'
        try:
            taldo.from_json(document, float_mode="decimal")
        except json.JSONDecodeError as error:
            print(error)
            print(repr(error.msg), error.pos, error.lineno, error.colno, error.doc is document)
            print(str(pickle.loads(pickle.dumps(error))) == str(error))
    """)
    assert out == ['Internal error: "ArithmeticError: no 2.5" at line 1 column 14',
                   """'Internal error: "ArithmeticError: no 2.5"' 13 1 14 True""", "True"]


@pytest.mark.parametrize("kind", ["legacy", "isolated", "own-gil"])
def test_each_interpreter_has_its_own_class(kind):
    from test_interpreters import run_with_interpreters
    code = '''
import json, pickle, taldo
try:
    taldo.from_json(b"[1,]")
except json.JSONDecodeError as error:
    caught = error
assert type(caught) is taldo.JSONDecodeError and id(taldo.JSONDecodeError) != MAIN
assert taldo.JSONDecodeError.__bases__ == (json.JSONDecodeError,)
assert pickle.loads(pickle.dumps(caught)).__dict__ == caught.__dict__
assert issubclass(taldo.InternalFault, BaseException) and not issubclass(taldo.InternalFault, Exception)
try:
    taldo.LosslessFloat(b"x")
except taldo.JSONDecodeError as error:
    assert error.doc == b"x"
'''
    out = run_with_interpreters(kind, f'''
        import json, taldo
        main_class = taldo.JSONDecodeError
        for round in range(2):
            run_in({kind!r}, "MAIN = %d\\n" % id(main_class) + {code!r})
        assert taldo.JSONDecodeError is main_class
        try:
            taldo.from_json(b"[1,]")
        except json.JSONDecodeError as error:
            assert type(error) is main_class
        print("ok")
    ''')
    assert out.split() == ["ok"]
