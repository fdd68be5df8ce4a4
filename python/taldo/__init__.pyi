"""Parse JSON bytes straight into Python objects."""
import json
from collections.abc import Sequence
from decimal import Decimal
from typing import Any, Literal, Protocol, TypeAlias, final

__all__ = ["from_json", "cache_clear", "cache_usage", "__version__", "LosslessFloat"]

__version__: str

class _NumpyBool(Protocol):
    def __bool__(self) -> bool: ...

_Bool: TypeAlias = bool | _NumpyBool

def from_json(
    json_data: bytes,
    /,
    *,
    allow_inf_nan: _Bool = True,
    cache_mode: Literal[True, False, "all", "keys", "none"] = ...,  # "all"
    partial_mode: Literal[True, False, "off", "on", "trailing-strings"] = ...,  # "off"
    catch_duplicate_keys: _Bool = False,
    float_mode: Literal["float", "decimal", "lossless-float"] = ...,  # "float"
) -> Any:
    """Parse one JSON document. Raises JSONDecodeError (a json.JSONDecodeError,
    and so a ValueError) with the fault, its line and column for a malformed
    document."""

def cache_clear() -> None:
    """Empty the string cache of the calling interpreter."""

def cache_usage() -> int:
    """The number of strings held by the string cache of the calling interpreter."""

@final
class LosslessFloat:
    """A JSON number kept as its exact bytes."""

    def __new__(cls, raw: bytes | bytearray | Sequence[int]) -> LosslessFloat: ...
    def __float__(self) -> float: ...
    def __bytes__(self) -> bytes: ...
    def as_decimal(self) -> Decimal: ...
    # Equal, and hashed alike, when the bytes are: 1.10 and 1.1 differ.
    def __eq__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[type[LosslessFloat], tuple[bytes]]: ...
    def __copy__(self) -> LosslessFloat: ...
    def __deepcopy__(self, memo: object, /) -> LosslessFloat: ...

class JSONDecodeError(json.JSONDecodeError):
    """A malformed JSON document. str() of it is "<msg> at line <lineno>
    column <colno>"; lines end only at a line feed, columns count bytes from 1
    (characters for a str doc)."""

    msg: str
    # The bytes passed to from_json (or a str given to the constructor by
    # hand). json.JSONDecodeError declares a str, and an attribute's type
    # cannot change in a subclass: the checkers are told to allow it.
    doc: bytes  # type: ignore[assignment]
    pos: int
    lineno: int
    colno: int
    def __init__(self, msg: str, doc: bytes | str, pos: int) -> None: ...
    def __reduce__(self) -> tuple[type[JSONDecodeError], tuple[str, bytes | str, int], dict[str, Any]]: ...

class InternalFault(BaseException):
    """A broken invariant inside taldo ended the call (derived directly from
    BaseException, so that `except Exception` does not catch it)."""
