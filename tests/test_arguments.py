"""The module surface: members, argument binding and option conversion."""
import sys

import pytest

import taldo

HAS_NOTES = sys.version_info >= (3, 11)


def raised(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


def notes(exc):
    return getattr(exc, "__notes__", None)


def test_module_surface():
    assert taldo.__all__ == ["from_json", "cache_clear", "cache_usage", "__version__", "LosslessFloat"]
    assert taldo.__version__ == "0.18.0"
    assert taldo.__doc__ == ""
    assert sorted(n for n in dir(taldo) if not n.startswith("__")) == [
        "InternalFault", "JSONDecodeError", "LosslessFloat", "StreamDecoder", "cache_clear", "cache_usage", "from_json"]
    assert taldo.LosslessFloat.__module__ == "taldo"
    assert taldo.LosslessFloat.__qualname__ == "LosslessFloat"


@pytest.mark.parametrize("name, signature", [
    ("from_json", "(json_data, /, *, allow_inf_nan=True, cache_mode=..., partial_mode=..., "
                  "catch_duplicate_keys=False, float_mode=...)"),
    ("cache_clear", "()"),
    ("cache_usage", "()"),
])
def test_functions_are_bound_builtins_with_signatures(name, signature):
    function = getattr(taldo, name)
    assert function.__text_signature__ == signature
    assert function.__doc__ is None
    # Bound to the extension module object, named taldo, whose public names
    # the package re-exports.
    assert function.__self__.__name__ == "taldo"
    assert getattr(function.__self__, name) is function
    assert function.__module__ == "taldo"


def test_import_in_fresh_interpreter_is_stable():
    # A second module object shares the class of the first one.
    import importlib.util
    module_spec = importlib.util.find_spec("taldo")
    other = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(other)
    assert other.LosslessFloat is taldo.LosslessFloat
    assert other.__version__ == taldo.__version__
    assert other.from_json(b"[true]") == [True]


class BytesSubclass(bytes):
    pass


def test_bytes_subclass_is_accepted():
    assert taldo.from_json(BytesSubclass(b"[null, true]")) == [None, True]


@pytest.mark.parametrize("call, message", [
    (lambda: taldo.from_json(), "from_json() missing 1 required positional argument: 'json_data'"),
    (lambda: taldo.from_json(b"1", b"2"), "from_json() takes 1 positional arguments but 2 were given"),
    (lambda: taldo.from_json(b"1", b"2", b"3"), "from_json() takes 1 positional arguments but 3 were given"),
    (lambda: taldo.from_json(json_data=b"1"),
     "from_json() got some positional-only arguments passed as keyword arguments: 'json_data'"),
    (lambda: taldo.from_json(b"1", json_data=b"1"),
     "from_json() got some positional-only arguments passed as keyword arguments: 'json_data'"),
    (lambda: taldo.from_json(b"1", foo=1), "from_json() got an unexpected keyword argument 'foo'"),
    # Length matches a real option, content does not.
    (lambda: taldo.from_json(b"1", cache_modx=1), "from_json() got an unexpected keyword argument 'cache_modx'"),
    (lambda: taldo.from_json(b"1", **{"\udcff": 1}), "from_json() got an unexpected keyword argument '\udcff'"),
    # An unknown keyword fails at once, before json_data is looked at.
    (lambda: taldo.from_json(json_data=b"1", foo=1), "from_json() got an unexpected keyword argument 'foo'"),
    (lambda: taldo.from_json(foo=1), "from_json() got an unexpected keyword argument 'foo'"),
])
def test_binding_errors(call, message):
    exc = raised(call)
    assert type(exc) is TypeError
    assert str(exc) == message
    assert notes(exc) is None


@pytest.mark.parametrize("value, message", [
    ("{}", "'str' object is not an instance of 'bytes'"),
    (bytearray(b"{}"), "'bytearray' object is not an instance of 'bytes'"),
    (memoryview(b"{}"), "'memoryview' object is not an instance of 'bytes'"),
    (None, "'None' is not an instance of 'bytes'"),
    (1, "'int' object is not an instance of 'bytes'"),
    (BytesSubclass, "'type' object is not an instance of 'bytes'"),
])
def test_json_data_must_be_bytes(value, message):
    exc = raised(lambda: taldo.from_json(value))
    assert type(exc) is TypeError
    assert str(exc) == message
    assert notes(exc) == (["while processing 'json_data'"] if HAS_NOTES else None)


def test_json_data_is_checked_before_the_options():
    exc = raised(lambda: taldo.from_json("x", cache_mode="bad"))
    assert str(exc) == "'str' object is not an instance of 'bytes'"


CACHE_MESSAGE = "Invalid string cache mode, should be `'all'`, '`keys`', `'none`' or a `bool`"
PARTIAL_MESSAGE = "Invalid partial mode, should be `'off'`, `'on'`, `'trailing-strings'` or a `bool`"
FLOAT_MESSAGE = "Invalid float mode, should be `'float'`, `'decimal'` or `'lossless-float'`"


class Text(str):
    pass


@pytest.mark.parametrize("options, kind, message, name", [
    ({"allow_inf_nan": 1}, TypeError, "'int' object is not an instance of 'bool'", "allow_inf_nan"),
    ({"allow_inf_nan": None}, TypeError, "'None' is not an instance of 'bool'", "allow_inf_nan"),
    ({"allow_inf_nan": "true"}, TypeError, "'str' object is not an instance of 'bool'", "allow_inf_nan"),
    ({"catch_duplicate_keys": 0}, TypeError, "'int' object is not an instance of 'bool'", "catch_duplicate_keys"),
    ({"catch_duplicate_keys": Text("x")}, TypeError, "'Text' object is not an instance of 'bool'",
     "catch_duplicate_keys"),
    ({"cache_mode": "KEYS"}, ValueError, CACHE_MESSAGE, "cache_mode"),
    ({"cache_mode": " all"}, ValueError, CACHE_MESSAGE, "cache_mode"),
    ({"cache_mode": 1}, TypeError, CACHE_MESSAGE, "cache_mode"),
    ({"cache_mode": None}, TypeError, CACHE_MESSAGE, "cache_mode"),
    ({"cache_mode": "\udc80"}, TypeError, CACHE_MESSAGE, "cache_mode"),
    ({"partial_mode": "true"}, ValueError, PARTIAL_MESSAGE, "partial_mode"),
    ({"partial_mode": 0}, TypeError, PARTIAL_MESSAGE, "partial_mode"),
    ({"float_mode": True}, TypeError, FLOAT_MESSAGE, "float_mode"),
    ({"float_mode": "Decimal"}, ValueError, FLOAT_MESSAGE, "float_mode"),
    ({"float_mode": b"float"}, TypeError, FLOAT_MESSAGE, "float_mode"),
    # Only the first bad option in the fixed order is reported.
    ({"cache_mode": "x", "float_mode": "y"}, ValueError, CACHE_MESSAGE, "cache_mode"),
    ({"float_mode": "y", "allow_inf_nan": 2}, TypeError, "'int' object is not an instance of 'bool'",
     "allow_inf_nan"),
])
def test_option_errors(options, kind, message, name):
    exc = raised(lambda: taldo.from_json(b"true", **options))
    assert type(exc) is kind
    assert str(exc) == message
    assert notes(exc) == ([f"while processing '{name}'"] if HAS_NOTES else None)


@pytest.mark.parametrize("options", [
    {"allow_inf_nan": False}, {"catch_duplicate_keys": True},
    {"cache_mode": True}, {"cache_mode": False}, {"cache_mode": "all"}, {"cache_mode": Text("keys")},
    {"cache_mode": "none"}, {"partial_mode": False}, {"partial_mode": "off"}, {"partial_mode": "on"},
    {"partial_mode": "trailing-strings"}, {"float_mode": "float"}, {"float_mode": "decimal"},
    {"float_mode": "lossless-float"},
])
def test_valid_options_are_accepted(options):
    assert taldo.from_json(b"[true, null]", **options) == [True, None]


@pytest.mark.parametrize("partial_mode", [True, "on", "trailing-strings"])
def test_partial_mode_spellings_take_effect(partial_mode):
    assert taldo.from_json(b"[true] x", partial_mode=partial_mode) == [True]


def fake_numpy_bool(name, truth=None, raises=False):
    namespace = {"__module__": "numpy"}
    if truth is not None:
        namespace["__bool__"] = lambda self: truth
    if raises:
        def fail(self):
            raise RuntimeError("no truth")
        namespace["__bool__"] = fail
    return type(name, (), namespace)()


@pytest.mark.parametrize("name", ["bool_", "bool"])
def test_numpy_booleans_are_recognised_without_numpy(name):
    assert taldo.from_json(b"[true] x", partial_mode=True, allow_inf_nan=fake_numpy_bool(name, True)) == [True]
    assert taldo.from_json(b"true", catch_duplicate_keys=fake_numpy_bool(name, False)) is True


@pytest.mark.parametrize("value, kind, message", [
    (fake_numpy_bool("bool_"), TypeError, "object of type 'bool_' does not define a '__bool__' conversion"),
    (fake_numpy_bool("bool_", raises=True), RuntimeError, "no truth"),
    (fake_numpy_bool("float64", True), TypeError, "'float64' object is not an instance of 'bool'"),
])
def test_numpy_boolean_failures(value, kind, message):
    exc = raised(lambda: taldo.from_json(b"true", allow_inf_nan=value))
    assert type(exc) is kind
    assert str(exc) == message
    assert notes(exc) == (["while processing 'allow_inf_nan'"] if HAS_NOTES else None)


class OddQualname(type):
    """A metaclass whose classes report a __qualname__ that is no str."""

    def __getattribute__(cls, name):
        if name == "__qualname__":
            return ["Odd"]
        return super().__getattribute__(name)


@pytest.mark.parametrize("call, message", [
    (lambda: taldo.from_json(OddQualname("Odd", (), {})()), "'['Odd']' object is not an instance of 'bytes'"),
    (lambda: taldo.from_json(b"1", allow_inf_nan=OddQualname("Odd", (), {})()),
     "'['Odd']' object is not an instance of 'bool'"),
    (lambda: taldo.from_json(b"1", catch_duplicate_keys=OddQualname("bool_", (), {"__module__": "numpy"})()),
     "object of type '['Odd']' does not define a '__bool__' conversion"),
])
def test_type_names_that_are_no_str_are_formatted_safely(call, message):
    exc = raised(call)
    assert type(exc) is TypeError
    assert str(exc) == message


def test_real_numpy_booleans():
    numpy = pytest.importorskip("numpy")
    assert taldo.from_json(b"[true] x", partial_mode=True, catch_duplicate_keys=numpy.bool_(True)) == [True]


def test_cache_functions_take_no_arguments():
    assert taldo.cache_clear() is None
    assert isinstance(taldo.cache_usage(), int)
    with pytest.raises(TypeError):
        taldo.cache_clear(1)
