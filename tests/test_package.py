"""What `import taldo` gives a user: the names, where they say they come from,
their signatures, and pickling by name. Whatever file layout the package has,
these stay as the extension module defines them."""
import copy
import functools
import pickle
import subprocess
import sys

import pytest

import taldo

# The extension module object the functions are bound to; the package
# re-exports its public attributes.
EXTENSION = taldo.from_json.__self__

FUNCTIONS = [
    # name, text signature
    ("from_json", "(json_data, /, *, allow_inf_nan=True, cache_mode=..., partial_mode=..., "
                  "catch_duplicate_keys=False, float_mode=...)"),
    ("cache_clear", "()"),
    ("cache_usage", "()"),
]

LOSSLESS_FLOAT_METHODS = [
    # name, text signature
    ("as_decimal", "($self)"),
    ("__reduce__", "($self)"),
    ("__copy__", "($self)"),
    ("__deepcopy__", "($self, memo, /)"),
]


def public_names(module):
    return {name for name in vars(module) if not name.startswith("_")}


def test_module_attributes():
    assert taldo.__name__ == "taldo"
    assert taldo.__all__[:5] == ["from_json", "cache_clear", "cache_usage", "__version__", "LosslessFloat"]
    assert taldo.__version__ == "0.18.0"
    assert taldo.__doc__ == ""


def test_every_public_name_is_the_extensions():
    # Nothing of the package's own making (a helper, an imported module, the
    # extension module itself) shows as a public name, and nothing the
    # extension offers is missing. Names the extension makes on first use
    # are asked for first, through both.
    for name in dir(EXTENSION):
        if not name.startswith("_"):
            assert getattr(taldo, name) is getattr(EXTENSION, name), name
    assert public_names(taldo) == public_names(EXTENSION)
    assert {"from_json", "cache_clear", "cache_usage", "LosslessFloat"} <= public_names(taldo)
    for name in public_names(EXTENSION):
        assert getattr(taldo, name) is getattr(EXTENSION, name), name
    assert taldo.__all__ == EXTENSION.__all__
    assert taldo.__version__ == EXTENSION.__version__
    for name in taldo.__all__:
        assert hasattr(taldo, name), name


def test_every_public_function_and_class_belongs_to_taldo():
    for name in public_names(taldo):
        value = getattr(taldo, name)
        if callable(value):
            assert value.__module__ == "taldo", name
            assert value.__qualname__ == name, name
            assert getattr(sys.modules[value.__module__], value.__qualname__) is value


@pytest.mark.parametrize("name, signature", FUNCTIONS)
def test_functions(name, signature):
    function = getattr(taldo, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__module__ == "taldo"
    assert function.__text_signature__ == signature
    assert repr(function) == f"<built-in function {name}>"


@pytest.mark.parametrize("name", [name for name, _ in FUNCTIONS])
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_functions_pickle_by_name(name, protocol):
    function = getattr(taldo, name)
    data = pickle.dumps(function, protocol)
    assert b"taldo" in data and b"taldo.taldo" not in data
    assert pickle.loads(data) is function
    assert copy.deepcopy(function) is function


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_partial_of_from_json_pickles(protocol):
    parse = functools.partial(taldo.from_json, float_mode="lossless-float")
    loaded = pickle.loads(pickle.dumps(parse, protocol))
    assert loaded.func is taldo.from_json
    assert loaded(b"[1.10]") == [taldo.LosslessFloat(b"1.10")]


def test_lossless_float_class():
    cls = taldo.LosslessFloat
    assert cls.__module__ == "taldo"
    assert cls.__qualname__ == cls.__name__ == "LosslessFloat"
    assert repr(cls) == "<class 'taldo.LosslessFloat'>"
    assert cls.__text_signature__ == "(raw)"
    assert repr(cls(b"1.5")) == "LosslessFloat(1.5)"


@pytest.mark.parametrize("name, signature", LOSSLESS_FLOAT_METHODS)
def test_lossless_float_methods(name, signature):
    method = getattr(taldo.LosslessFloat, name)
    assert method.__qualname__ == f"LosslessFloat.{name}"
    assert method.__text_signature__ == signature


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_lossless_float_pickles_as_taldo_lossless_float(protocol):
    value = taldo.LosslessFloat(b"-1.250e3")
    data = pickle.dumps([value], protocol)
    assert b"taldo.taldo" not in data
    assert pickle.loads(data) == [value]


def test_pickles_load_in_a_fresh_process():
    # The names a pickle holds are found by a plain import of taldo.
    data = pickle.dumps([taldo.from_json, functools.partial(taldo.from_json, cache_mode="none"),
                         taldo.LosslessFloat(b"2.5")])
    code = ("import pickle, sys; parse, partial, value = pickle.loads(sys.stdin.buffer.read()); "
            "print(parse(b'[1]'), partial(b'\"a\"'), float(value), type(value).__module__)")
    result = subprocess.run([sys.executable, "-c", code], input=data, capture_output=True, check=True)
    assert result.stdout.decode().split() == ["[1]", "a", "2.5", "taldo"]
