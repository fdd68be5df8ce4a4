"""Checks one JSON document: python -m taldo [FILE].

Reads FILE (standard input without it, or for "-") as bytes and parses it with
taldo.from_json. On success prints one line to standard output (the top-level
type, how many values of each kind the document holds, and the parse time)
and exits 0. On failure prints the message to standard error with the line
that holds the fault and a caret under its column, and exits 1. A file that
cannot be read exits 2.
"""
import argparse
import itertools
import sys
import time

import taldo

KINDS = ("object", "array", "string", "number", "boolean", "null")
PLURALS = {"object": "objects", "array": "arrays", "string": "strings", "number": "numbers",
           "boolean": "booleans", "null": "nulls"}

# About this many characters of a long line are shown around the fault.
EXCERPT_WIDTH = 80

# How each byte of the faulty line is shown: printable ASCII as itself, every
# other byte (control bytes, each byte of a non-ASCII character) and the
# backslash as an escape, so that the text reads back to the same bytes and
# the caret lands under the byte at fault whatever the terminal makes of
# them.
SHOWN_BYTES = tuple(
    "\\\\" if byte == 0x5C else "\\t" if byte == 0x09 else "\\r" if byte == 0x0D
    else chr(byte) if 0x20 <= byte < 0x7F else f"\\x{byte:02x}"
    for byte in range(256))

def make_parser():
    parser = argparse.ArgumentParser(
        prog="python -m taldo",
        description="Check that a file holds one JSON document. Prints the kinds of values it holds and "
                    "the parse time, or the fault with the line it is on.")
    parser.add_argument("file", nargs="?", metavar="FILE",
                        help='the document to check; standard input when absent or "-"')
    parser.add_argument("--partial", choices=["on", "trailing-strings"],
                        help="accept a document cut off at its end (from_json's partial_mode)")
    parser.add_argument("--float-mode", choices=["float", "decimal", "lossless-float"], default="float",
                        help="what a number with a fraction or exponent becomes (from_json's float_mode)")
    parser.add_argument("--duplicate-keys", action="store_true",
                        help="a key repeated within one object is a fault (from_json's catch_duplicate_keys)")
    return parser


def read_input(parser, path):
    if path is None or path == "-":
        if sys.stdin is None:
            parser.error("no standard input to read")
        return "<stdin>", sys.stdin.buffer.read()
    try:
        with open(path, "rb") as file:
            return path, file.read()
    except OSError as error:
        parser.error(f"cannot read {path!r}: {error.strerror or error}")


# --- the summary --------------------------------------------------------------

def kind_codes(float_mode):
    """The code of each value type: the 1-based place of its kind in KINDS."""
    kinds = {dict: "object", list: "array", str: "string", int: "number", float: "number", bool: "boolean",
             type(None): "null", taldo.LosslessFloat: "number"}
    if float_mode == "decimal":
        import decimal
        kinds[decimal.Decimal] = "number"
    return {value_type: KINDS.index(kind) + 1 for value_type, kind in kinds.items()}


def only(code):
    """A translation table that keeps 1 for `code` and makes every other byte 0."""
    return bytes(int(byte == code) for byte in range(256))


OBJECTS, ARRAYS = only(KINDS.index("object") + 1), only(KINDS.index("array") + 1)


def count_kinds(document, codes):
    """How many values of each kind the document holds, itself included
    (object keys are not values), by kind in the order of KINDS. Goes down
    one nesting level at a time: the values of a level are one list, their
    kinds one bytes object, counted and sorted into objects and arrays by
    the interpreter's own loops rather than one value at a time in Python
    (half the instructions of a recursive walk)."""
    counts = [0] * len(KINDS)
    level = [document]
    code_of = codes.__getitem__
    while level:
        level_codes = bytes(map(code_of, map(type, level)))
        for code in range(1, len(KINDS) + 1):
            counts[code - 1] += level_codes.count(code)
        objects = itertools.compress(level, level_codes.translate(OBJECTS))
        arrays = itertools.compress(level, level_codes.translate(ARRAYS))
        level = list(itertools.chain(itertools.chain.from_iterable(map(dict.values, objects)),
                                     itertools.chain.from_iterable(arrays)))
    return dict(zip(KINDS, counts))


def format_seconds(seconds):
    return f"{seconds * 1e3:.3f} ms" if seconds < 1 else f"{seconds:.3f} s"


def summary(document, size, seconds, float_mode):
    codes = kind_codes(float_mode)
    counts = ", ".join(f"{count:,} {kind if count == 1 else PLURALS[kind]}"
                       for kind, count in count_kinds(document, codes).items())
    return (f"top level: {KINDS[codes[type(document)] - 1]}; {counts}; "
            f"{size:,} byte{'' if size == 1 else 's'} parsed in {format_seconds(seconds)}")


# --- the fault ----------------------------------------------------------------

def fault_position(error, data):
    """The fault's line and column, and the index of that line's first byte
    in `data`."""
    index = min(error.pos, len(data))
    if index < len(data) and data[index] == 0x0A:
        # A fault on a line feed is reported at column 0 of the next line.
        return error.lineno, error.colno, index + 1
    return error.lineno, error.colno, data.rfind(b"\n", 0, index) + 1


def excerpt(data, line, column, start):
    """The fault's line (a window of about EXCERPT_WIDTH characters of a long
    one), with the caret under the byte at `column`; at column 0, the caret
    stands just before the line's first byte."""
    end = data.find(b"\n", start)
    if end < 0:
        end = len(data)
    at = min(start + max(column - 1, 0), end)

    # Bytes before the fault while they fill half the width, then bytes
    # from it on up to the whole width.
    left, width = at, 0
    while left > start and width + len(SHOWN_BYTES[data[left - 1]]) <= EXCERPT_WIDTH // 2:
        left -= 1
        width += len(SHOWN_BYTES[data[left]])
    right = at
    while right < end and width + len(SHOWN_BYTES[data[right]]) <= EXCERPT_WIDTH:
        width += len(SHOWN_BYTES[data[right]])
        right += 1

    before = ("..." if left > start else "") + "".join(SHOWN_BYTES[byte] for byte in data[left:at])
    after = "".join(SHOWN_BYTES[byte] for byte in data[at:right]) + ("..." if right < end else "")
    gutter = f"{line} | "
    caret = len(before) - (1 if column == 0 else 0)
    return gutter + before + after + "\n" + " " * (len(gutter) - 2) + "|" + " " * (caret + 1) + "^"


def main(argv=None):
    parser = make_parser()
    arguments = parser.parse_args(argv)
    name, data = read_input(parser, arguments.file)
    options = {"float_mode": arguments.float_mode, "catch_duplicate_keys": arguments.duplicate_keys}
    if arguments.partial is not None:
        options["partial_mode"] = arguments.partial

    started = time.perf_counter()
    try:
        document = taldo.from_json(data, **options)
    except taldo.JSONDecodeError as error:
        print(f"{name}: {error}\n{excerpt(data, *fault_position(error, data))}", file=sys.stderr)
        return 1
    seconds = time.perf_counter() - started
    print(summary(document, len(data), seconds, arguments.float_mode))
    return 0


if __name__ == "__main__":
    sys.exit(main())
