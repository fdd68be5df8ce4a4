"""A program that uses all of taldo's typed surface, for `mypy --strict`
against the installed package's stubs; it also runs, and its asserts hold.
(Not a pytest module: the installed-wheel check runs it.)"""
import copy
import decimal
import functools
import json
import pickle
from typing import Any, Literal

import taldo

CacheMode = Literal[True, False, "all", "keys", "none"]
PartialMode = Literal[True, False, "off", "on", "trailing-strings"]
FloatMode = Literal["float", "decimal", "lossless-float"]

CACHE_MODES: tuple[CacheMode, ...] = (True, False, "all", "keys", "none")
PARTIAL_MODES: tuple[PartialMode, ...] = (True, False, "off", "on", "trailing-strings")
FLOAT_MODES: tuple[FloatMode, ...] = ("float", "decimal", "lossless-float")


def parse_everything() -> None:
    value: Any = taldo.from_json(b'{"a": [1, 2.5, true, null, "x"]}')
    assert value == {"a": [1, 2.5, True, None, "x"]}
    for cache_mode in CACHE_MODES:
        assert taldo.from_json(b'["k"]', cache_mode=cache_mode) == ["k"]
    for partial_mode in PARTIAL_MODES:
        assert taldo.from_json(b"[1]", partial_mode=partial_mode) == [1]
    for float_mode in FLOAT_MODES:
        assert float(taldo.from_json(b"[2.5]", float_mode=float_mode)[0]) == 2.5
    for flag in (True, False):
        assert taldo.from_json(b"NaN", allow_inf_nan=True) != 0 if flag else True
        assert taldo.from_json(b'{"a": 1}', catch_duplicate_keys=flag) == {"a": 1}
    assert taldo.from_json(b"[1, 2", partial_mode="on", allow_inf_nan=False, cache_mode="keys",
                           catch_duplicate_keys=True, float_mode="decimal") == [1, 2]
    try:
        taldo.from_json(b"[1,]")
    except taldo.JSONDecodeError as error:
        assert str(error) == "trailing comma at line 1 column 4"
        msg: str = error.msg
        doc: bytes = error.doc
        where: tuple[int, int, int] = (error.pos, error.lineno, error.colno)
        assert (msg, doc, where) == ("trailing comma", b"[1,]", (3, 1, 4))
        assert isinstance(error, json.JSONDecodeError) and isinstance(error, ValueError)
        again = pickle.loads(pickle.dumps(error))
        assert str(again) == str(error) and again.pos == error.pos
    else:
        raise AssertionError("a trailing comma parsed")
    made = taldo.JSONDecodeError("no value", b"[\n]", 2)
    assert (made.lineno, made.colno, str(made)) == (2, 1, "no value at line 2 column 1")
    assert issubclass(taldo.InternalFault, BaseException) and not issubclass(taldo.InternalFault, Exception)


def cache() -> None:
    taldo.cache_clear()
    usage: int = taldo.cache_usage()
    assert usage == 0
    taldo.from_json(b'["recurring", "recurring"]')
    assert taldo.cache_usage() >= 1


def lossless_float() -> None:
    number = taldo.LosslessFloat(b"1.10")
    assert taldo.LosslessFloat(bytearray(b"1.10")) == number
    assert taldo.LosslessFloat([0x31, 0x2E, 0x31, 0x30]) == number
    as_float: float = float(number)
    as_bytes: bytes = bytes(number)
    as_decimal: decimal.Decimal = number.as_decimal()
    assert as_float == 1.1 and as_bytes == b"1.10" and as_decimal == decimal.Decimal("1.10")
    assert str(number) == "1.10" and repr(number) == "LosslessFloat(1.10)"
    assert number != taldo.LosslessFloat(b"1.1") and hash(number) == hash(taldo.LosslessFloat(b"1.10"))
    cls, arguments = number.__reduce__()
    assert cls is taldo.LosslessFloat and cls(*arguments) == number
    same: taldo.LosslessFloat = copy.copy(number)
    deep: taldo.LosslessFloat = copy.deepcopy(number)
    assert same is number and deep is number
    assert number.__copy__() is number and number.__deepcopy__({}) is number
    assert pickle.loads(pickle.dumps(number)) == number
    parsed = taldo.from_json(b"[1.10]", float_mode="lossless-float")[0]
    assert isinstance(parsed, taldo.LosslessFloat) and parsed == number


def module_attributes() -> None:
    version: str = taldo.__version__
    assert version == "0.18.0"
    assert taldo.__all__[:5] == ["from_json", "cache_clear", "cache_usage", "__version__", "LosslessFloat"]
    parse = functools.partial(taldo.from_json, float_mode="lossless-float")
    assert pickle.loads(pickle.dumps(parse))(b"2.50") == taldo.LosslessFloat(b"2.50")


def stream() -> None:
    for partial_mode in ("on", "trailing-strings", True):
        decoder = taldo.StreamDecoder(partial_mode=partial_mode, allow_inf_nan=False, cache_mode="keys",
                                      catch_duplicate_keys=True, float_mode="decimal")
        assert decoder.feed(b" ") is taldo.StreamDecoder.PENDING
        value: Any = decoder.feed(b'{"a": [1, 2.5')
        assert value == {"a": [1, decimal.Decimal("2.5")]}
        assert decoder.feed(b"]}") is value
        assert decoder.close() == value
    broken = taldo.StreamDecoder()
    try:
        broken.feed(b"[1,]")
    except taldo.JSONDecodeError as error:
        assert error.pos == 3
    else:
        raise AssertionError("a trailing comma was fed")


if __name__ == "__main__":
    parse_everything()
    cache()
    lossless_float()
    module_attributes()
    stream()
    print("uses_everything: ok")
