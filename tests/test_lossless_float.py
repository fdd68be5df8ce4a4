"""LosslessFloat and the exact float modes (decimal, lossless-float)."""
import concurrent.futures
import copy
import decimal
import math
import multiprocessing
import pickle
import random
import subprocess
import sys
import textwrap

import pytest

import taldo
from taldo import LosslessFloat


def test_class_surface():
    assert LosslessFloat.__qualname__ == "LosslessFloat"
    assert LosslessFloat.__module__ == "taldo"
    assert LosslessFloat.__text_signature__ == "(raw)"
    assert LosslessFloat.__doc__ == ("Represents a float from JSON, by holding the underlying bytes "
                                     "representing a float from JSON.")
    assert LosslessFloat.as_decimal.__text_signature__ == "($self)"


def test_conversions():
    x = LosslessFloat(b"1.5")
    assert float(x) == 1.5
    assert str(x) == "1.5"
    assert repr(x) == "LosslessFloat(1.5)"
    assert bytes(x) == b"1.5"
    assert x.as_decimal() == decimal.Decimal("1.5")
    assert type(x.as_decimal()) is decimal.Decimal


@pytest.mark.parametrize("raw, value", [
    (b"123", 123.0),
    (bytearray(b"2.5"), 2.5),
    ([50, 46, 53], 2.5),
    ((50, 46, 53), 2.5),
    (memoryview(b"2.5"), 2.5),
    (b" 1e3 ", 1000.0),
    (b"\t-0.0\n", -0.0),
    (b"-Infinity", -math.inf),
    (b"Infinity", math.inf),
    (b"1e400", math.inf),
])
def test_accepted_raw(raw, value):
    x = LosslessFloat(raw)
    assert float(x) == value
    assert math.copysign(1, float(x)) == math.copysign(1, value)
    assert bytes(x) == bytes(raw)


def test_keyword_raw_and_nan():
    assert bytes(LosslessFloat(raw=b" 1e3 ")) == b" 1e3 "
    assert math.isnan(float(LosslessFloat(b"NaN")))


class ClaimsToBeHuge:
    """A sequence whose length is far beyond what memory could hold."""

    def __len__(self):
        return sys.maxsize

    def __getitem__(self, i):
        if i < 3:
            return 0x31
        raise IndexError(i)


@pytest.mark.parametrize("raw, kind, message", [
    ("1.5", TypeError, "Can't extract `str` to `Vec`"),
    (b"", ValueError, "EOF while parsing a value at line 1 column 0"),
    (b"  ", ValueError, "EOF while parsing a value at line 1 column 2"),
    (b"1.5x", ValueError, "trailing characters at line 1 column 4"),
    (b"1.5 2", ValueError, "trailing characters at line 1 column 5"),
    (b'"1.5"', ValueError, "expected float but found string at line 1 column 1"),
    (b"[1.5]", ValueError, "expected float but found array at line 1 column 1"),
    (b' {"a": 1}', ValueError, "expected float but found object at line 1 column 2"),
    (b"true", ValueError, "expected float but found bool at line 1 column 1"),
    (b"false", ValueError, "expected float but found bool at line 1 column 1"),
    (b"null", ValueError, "expected float but found null at line 1 column 1"),
    (b"abc", ValueError, "expected value at line 1 column 1"),
    (b"1.", ValueError, "EOF while parsing a value at line 1 column 2"),
    (b"-", ValueError, "EOF while parsing a value at line 1 column 1"),
    (b"01", ValueError, "invalid number at line 1 column 2"),
    (b"Nan", ValueError, "expected ident at line 1 column 3"),
    (b"\n\n1.x", ValueError, "invalid number at line 3 column 3"),
    ([300], OverflowError, None),
    ([-1], OverflowError, None),
    (["1"], TypeError, None),
    (1.5, TypeError, None),
    # A sequence's length is only its claim: no memory is set aside for it.
    (range(10**12), OverflowError, None),
    (ClaimsToBeHuge(), IndexError, None),
])
def test_refused_raw(raw, kind, message):
    with pytest.raises(kind) as info:
        LosslessFloat(raw)
    if message is not None:
        assert str(info.value) == message


def test_missing_argument():
    with pytest.raises(TypeError):
        LosslessFloat()


@pytest.mark.parametrize("document, mode, expected", [
    (b"1.10", "decimal", decimal.Decimal("1.10")),
    (b"1e2", "decimal", decimal.Decimal("1E+2")),
    (b"-Infinity", "decimal", decimal.Decimal("-Infinity")),
    (b"-0.0", "decimal", decimal.Decimal("-0.0")),
    (b"10", "decimal", 10),
    (b"-0", "decimal", 0),
    (b"123456789012345678901234567890", "decimal", 123456789012345678901234567890),
    (b"5", "lossless-float", 5),
    (b"-9223372036854775809", "lossless-float", -9223372036854775809),
])
def test_exact_modes(document, mode, expected):
    value = taldo.from_json(document, float_mode=mode)
    assert value == expected
    assert type(value) is type(expected)
    assert str(value) == str(expected)


def test_decimal_nan():
    value = taldo.from_json(b"[NaN]", float_mode="decimal")[0]
    assert type(value) is decimal.Decimal and value.is_nan()


@pytest.mark.parametrize("text", [b"1.10", b"NaN", b"-Infinity", b"1E+5", b"0.000000000000000000000000001"])
def test_lossless_mode_keeps_the_text(text):
    value = taldo.from_json(b"[" + text + b"]", float_mode="lossless-float")[0]
    assert type(value) is LosslessFloat
    assert bytes(value) == text


@pytest.mark.parametrize("document, message", [
    (b"[1.", "EOF while parsing a value at line 1 column 3"),
    (b"01", "invalid number at line 1 column 2"),
    (b"x", "expected value at line 1 column 1"),
    (b"[1e+]", "invalid number at line 1 column 5"),
])
@pytest.mark.parametrize("mode", ["float", "decimal", "lossless-float"])
def test_malformed_numbers_fail_alike_in_every_mode(document, message, mode):
    with pytest.raises(ValueError) as info:
        taldo.from_json(document, float_mode=mode)
    assert str(info.value) == message


def random_number_texts(count, seed):
    rng = random.Random(seed)
    for _ in range(count):
        digits = "".join(rng.choice("0123456789") for _ in range(rng.randrange(1, 30))).lstrip("0") or "0"
        text = ("-" if rng.random() < 0.3 else "") + digits
        if rng.random() < 0.7:
            text += "." + "".join(rng.choice("0123456789") for _ in range(rng.randrange(1, 25)))
        if rng.random() < 0.5:
            text += rng.choice("eE") + rng.choice(["", "+", "-"]) + str(rng.randrange(0, 400))
        yield text


def test_oracle_decimal_and_lossless_modes():
    texts = list(random_number_texts(20_000, seed=5))
    document = ("[" + ",".join(texts) + "]").encode()
    as_decimal = taldo.from_json(document, float_mode="decimal")
    as_lossless = taldo.from_json(document, float_mode="lossless-float")
    for text, d, lossless in zip(texts, as_decimal, as_lossless):
        is_int = not any(c in text for c in ".eE")
        if is_int:
            assert type(d) is int and d == int(text)
            assert type(lossless) is int and lossless == int(text)
            continue
        assert type(d) is decimal.Decimal
        assert str(d) == str(decimal.Decimal(text)), text
        assert bytes(lossless) == text.encode()
        assert float(lossless) == float(text) or (math.isnan(float(text)))
        assert lossless.as_decimal() == decimal.Decimal(text)


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)


def test_decimal_that_is_no_type_becomes_internal_error():
    result = run_python("""
        import decimal, taldo
        decimal.Decimal = lambda text: 0
        try:
            taldo.from_json(b'[1.5]', float_mode="decimal")
        except ValueError as e:
            print(e)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == 'Internal error: "TypeError: decimal.Decimal is not a type" at line 1 column 5'


def test_exception_whose_str_fails():
    result = run_python("""
        import decimal, taldo
        class Boom(Exception):
            def __str__(self):
                raise RuntimeError
        class Refusing(decimal.Decimal):
            def __new__(cls, text):
                raise Boom()
        decimal.Decimal = Refusing
        try:
            taldo.from_json(b'1e5', float_mode="decimal")
        except ValueError as e:
            print(e)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        'Internal error: "test_exception_whose_str_fails.<locals>.Boom: <exception str() failed>" '
        "at line 1 column 3").replace("test_exception_whose_str_fails.<locals>.", "")


def test_raising_decimal_type_becomes_internal_error():
    result = run_python("""
        import decimal, taldo
        class Refusing(decimal.Decimal):
            def __new__(cls, text):
                raise ArithmeticError("no " + text)
        decimal.Decimal = Refusing
        try:
            taldo.from_json(b'{"a": [1, 2.5]}', float_mode="decimal")
        except ValueError as e:
            print(e)
        print(taldo.from_json(b'[1]', float_mode="decimal"))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        'Internal error: "ArithmeticError: no 2.5" at line 1 column 14', "[1]"]


@pytest.mark.parametrize("exception", ["KeyboardInterrupt", "SystemExit", "GeneratorExit", "MemoryError"])
def test_exceptions_that_are_no_parse_error_leave_unchanged(exception):
    # Ctrl-C, an exit or exhausted memory while a Decimal is made ends the
    # call as itself, not as a ValueError, with everything built released.
    result = run_python(f"""
        import decimal, weakref, taldo
        made = []
        class Interrupting(decimal.Decimal):
            def __new__(cls, text):
                if text == "9.5":
                    raise {exception}("stop")
                value = super().__new__(cls, text)
                made.append(weakref.ref(value))
                return value
        decimal.Decimal = Interrupting
        try:
            taldo.from_json(b'{{"a": [1.5, {{"b": 2.5}}], "c": [3.5, 9.5, 4.5]}}', float_mode="decimal")
        except ValueError as e:
            print("ValueError", e)
        except BaseException as e:
            print(type(e).__name__, e, len(made), sum(ref() is not None for ref in made))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == f"{exception} stop 3 0"


def test_interrupted_lookup_leaves_unchanged():
    result = run_python("""
        import sys, types, taldo
        module = types.ModuleType("decimal")
        def __getattr__(name):
            raise KeyboardInterrupt(name)
        module.__getattr__ = __getattr__
        sys.modules["decimal"] = module
        try:
            taldo.from_json(b'[1.5]', float_mode="decimal")
        except KeyboardInterrupt as e:
            print("KeyboardInterrupt", e)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "KeyboardInterrupt Decimal"


def test_failed_lookup_is_retried():
    result = run_python("""
        import sys, taldo
        sys.modules["decimal"] = None  # the import now fails
        try:
            taldo.LosslessFloat(b"1.5").as_decimal()
        except ImportError:
            print("import failed")
        del sys.modules["decimal"]
        print(repr(taldo.LosslessFloat(b"1.5").as_decimal()))
        print(repr(taldo.from_json(b"2.5", float_mode="decimal")))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["import failed", "Decimal('1.5')", "Decimal('2.5')"]


def test_decimal_type_is_looked_up_once():
    result = run_python("""
        import decimal, taldo
        first = taldo.LosslessFloat(b"1.5").as_decimal()
        decimal.Decimal = None  # later replacements are not seen
        print(type(first).__name__, type(taldo.from_json(b"2.5", float_mode="decimal")).__name__)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "Decimal Decimal"


def test_each_interpreter_gets_its_own_decimal_type():
    result = run_python('''
        import decimal, taldo
        try:
            import _interpreters as api
            new_interpreter = lambda: api.create("legacy")
        except ImportError:
            try:
                import _xxsubinterpreters as api
            except ImportError:
                raise SystemExit("skip: no sub-interpreters")
            def new_interpreter():
                try:
                    return api.create(isolated=False)
                except TypeError:
                    return api.create()

        CHECK = """if True:
            import decimal, taldo
            assert type(taldo.from_json(b"1.5", float_mode="decimal")) is decimal.Decimal
            assert type(taldo.LosslessFloat(b"2.5").as_decimal()) is decimal.Decimal
        """

        def run_in_new_interpreter():
            interpreter = new_interpreter()
            failure = api.run_string(interpreter, CHECK)
            api.destroy(interpreter)
            assert failure is None, failure

        run_in_new_interpreter()  # looks the type up first, then ends
        exec(CHECK)
        run_in_new_interpreter()  # the main interpreter's type is cached by now
        print("ok")
    ''')
    if result.stdout.startswith("skip") or "skip: no sub-interpreters" in result.stderr:
        pytest.skip("this interpreter has no sub-interpreters")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


# --- values that travel: pickling, copying, equality --------------------------

NESTED = b'{"a": [1.10, -0.0, 2e-5, {"b": [3.14159265358979323846264, 1E+400]}], "n": 7, "s": "x"}'


@pytest.mark.parametrize("float_mode", ["float", "decimal", "lossless-float"])
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_documents_pickle_in_every_float_mode(float_mode, protocol):
    value = taldo.from_json(NESTED, float_mode=float_mode)
    copied = pickle.loads(pickle.dumps(value, protocol))
    assert copied == value and copy.deepcopy(value) == value and copy.copy(value) == value
    if float_mode == "lossless-float":
        number = copied["a"][3]["b"][0]
        assert type(number) is LosslessFloat and bytes(number) == b"3.14159265358979323846264"


def test_pickle_names_the_public_class():
    assert b"taldo" in pickle.dumps(LosslessFloat(b"1.5"), 0)
    assert b"LosslessFloat" in pickle.dumps(LosslessFloat(b"1.5"), 0)


def test_pickles_load_in_another_process():
    values = [taldo.from_json(NESTED, float_mode="lossless-float"), LosslessFloat(b" 1.50 ")]
    code = """
        import pickle, sys
        values = pickle.load(sys.stdin.buffer)
        print(repr(values[0]["a"]), repr(values[1]), bytes(values[1]))
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], input=pickle.dumps(values),
                            capture_output=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode().strip() == (
        "[LosslessFloat(1.10), LosslessFloat(-0.0), LosslessFloat(2e-5), "
        "{'b': [LosslessFloat(3.14159265358979323846264), LosslessFloat(1E+400)]}] "
        "LosslessFloat( 1.50 ) b' 1.50 '")


@pytest.mark.parametrize("a, b, equal", [
    (b"1.5", b"1.5", True),
    (b"1.10", b"1.1", False),
    (b"1e5", b"1E5", False),
    (b"-0.0", b"0.0", False),
    (b"2.5", b" 2.5", False),
])
def test_equality_and_hash_follow_the_text(a, b, equal):
    x, y = LosslessFloat(a), LosslessFloat(b)
    assert (x == y) is equal and (x != y) is not equal
    assert len({x, y}) == (1 if equal else 2)
    if equal:
        assert hash(x) == hash(y)


@pytest.mark.parametrize("other", [1.5, 1, decimal.Decimal("1.5"), b"1.5", "1.5"])
def test_other_types_are_not_equal_by_text(other):
    # Python's fallback applies: identity, so never equal.
    x = LosslessFloat(b"1.5") if not isinstance(other, int) else LosslessFloat(b"1.0")
    assert x != other and not (x == other) and other != x
    with pytest.raises(TypeError):
        x < LosslessFloat(b"2.5")


def _parse_lines(lines):
    return [taldo.from_json(line, float_mode="lossless-float") for line in lines]


def test_json_lines_parse_alike_in_a_process_pool():
    lines = [b'{"id": %d, "price": %d.%02d, "tags": ["a", "b"]}' % (i, i, i % 100) for i in range(400)]
    chunks = [lines[i:i + 50] for i in range(0, len(lines), 50)]
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        parallel = [value for chunk in pool.map(_parse_lines, chunks) for value in chunk]
    assert parallel == _parse_lines(lines)
    assert type(parallel[7]["price"]) is LosslessFloat and bytes(parallel[7]["price"]) == b"7.07"
