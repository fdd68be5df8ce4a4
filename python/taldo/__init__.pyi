"""Parse JSON bytes straight into Python objects."""
import json
from collections.abc import Sequence
from decimal import Decimal
from typing import Any, ClassVar, Literal, Protocol, TypeAlias, final

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

@final
class StreamDecoder:
    """One JSON document fed in pieces, each costing in proportion to its own
    length. After every piece the value is what from_json gives for all the
    bytes so far in partial mode; close() gives it under the strict rules.

    The lists and dicts returned are live: later feeds extend the same objects
    (a number or trailing string cut at the end of a piece is replaced as it
    grows or taken out again). copy.deepcopy() a value to keep a snapshot."""

    # Returned by feed() while no value can be had yet: nothing but whitespace
    # so far, or a cut top-level literal, number or ("on") string.
    PENDING: ClassVar[object]

    def __new__(
        cls,
        *,
        allow_inf_nan: _Bool = True,
        cache_mode: Literal[True, False, "all", "keys", "none"] = ...,
        partial_mode: Literal[True, "on", "trailing-strings"] = "on",
        catch_duplicate_keys: _Bool = False,
        float_mode: Literal["float", "decimal", "lossless-float"] = ...,
    ) -> StreamDecoder: ...
    def feed(self, chunk: bytes, /) -> Any:
        """The current value after these bytes, or PENDING. Raises ValueError
        as from_json does for a fault that more bytes cannot mend, and for a
        decoder that is closed, has failed, or is busy in another call."""
    def close(self) -> Any:
        """The final value; raises ValueError for an incomplete or malformed
        document, or one followed by anything but whitespace."""
