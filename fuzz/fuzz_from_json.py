"""Fuzzes taldo.from_json, LosslessFloat and the private decoding hooks.

Every input is checked, not only run: the standard library's json (with
Decimal and float() for the number modes) is the oracle for every document it
accepts, and the rules for cut documents, duplicate keys and error messages are
checked on top. A failed check raises AssertionError with the input.

Two drivers share the checks:

  atheris (coverage guided, libFuzzer arguments pass through):
      python fuzz/fuzz_from_json.py CORPUS_DIR -max_total_time=600
  a seeded random-mutation loop (no extra package needed):
      python fuzz/fuzz_from_json.py --loop --seed 1 --seconds 600

`--make-corpus DIR` writes the generated seed documents for atheris, and
`--loop --seed S --only N` replays iteration N of a loop run. See README.md.
"""

import argparse
import decimal
import json
import math
import os
import random
import re
import sys
import time

try:
    import atheris
except ImportError:  # the loop driver needs nothing beyond the standard library
    atheris = None

if atheris is not None and "--loop" not in sys.argv and "--make-corpus" not in sys.argv:
    with atheris.instrument_imports():
        import taldo
else:
    import taldo

try:
    import _taldo_testing as hooks
except ImportError:
    hooks = None

from json.decoder import scanstring

# Error kinds as the private hooks report them.
EOF_IN_STRING = 5
INVALID_CODE_POINT = 15
LONE_SURROGATE = 18
EOF_IN_HEX = 21

KIND_TEXTS = (
    "float value was found where an int was expected",
    "Detected duplicate key ",
    "Internal error: ",
    "EOF while parsing a list",
    "EOF while parsing an object",
    "EOF while parsing a string",
    "EOF while parsing a value",
    "expected `:`",
    "expected `,` or `]`",
    "expected `,` or `}`",
    "expected ident",
    "expected value",
    "invalid escape",
    "invalid number",
    "number out of range",
    "invalid unicode code point",
    "control character (\\u0000-\\u001F) found while parsing a string",
    "key must be a string",
    "lone leading surrogate in hex escape",
    "trailing comma",
    "trailing characters",
    "unexpected end of hex escape",
    "recursion limit exceeded",
    "expected float but found ",  # LosslessFloat only
)
MESSAGE = re.compile(r"(.*) at line (\d+) column (\d+)", re.DOTALL)
WHITESPACE = b" \t\n\r"
JSON_NUMBER = re.compile(
    rb"[ \t\n\r]*(-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][+-]?[0-9]+)?|NaN|Infinity|-Infinity)[ \t\n\r]*\Z"
)
MAX_DEPTH = 200
MAX_INT_DIGITS = 4300

CACHE_MODES = ("all", "keys", "none", True, False)
PARTIAL_MODES = ("off", "on", "trailing-strings", True, False)
FLOAT_MODES = ("float", "decimal", "lossless-float")


class Bytes(bytes):
    """A bytes subclass: from_json must read it like bytes."""


def fail(what, data, **context):
    details = "".join(f"\n  {k} = {v!r}" for k, v in context.items())
    raise AssertionError(f"{what}\n  input = {data!r}{details}")


# --- the oracle -----------------------------------------------------------------


class Reference:
    """What the standard library makes of a document, and the facts the checks
    need about it."""

    __slots__ = ("ok", "utf8", "value", "text", "duplicate_keys", "non_finite", "long_int_part", "depth",
                 "surrogates")

    def __init__(self, data):
        self.ok = False
        self.utf8 = False
        self.value = None
        self.text = None
        self.duplicate_keys = []
        self.non_finite = False
        self.long_int_part = False
        self.depth = 0
        self.surrogates = False
        try:
            self.text = data.decode("utf-8")
        except UnicodeDecodeError:
            return
        self.utf8 = True
        try:
            self.value = json.loads(self.text, object_pairs_hook=self._pairs, parse_float=self._float,
                                    parse_constant=self._constant)
        except (ValueError, RecursionError):
            return
        self.ok = True
        self.depth, self.surrogates = text_facts(self.text)

    def _pairs(self, pairs):
        keys = [k for k, _ in pairs]
        if len(set(keys)) != len(keys):
            self.duplicate_keys.extend(k for k in keys if keys.count(k) > 1)
        return dict(pairs)

    def _float(self, text):
        integer_part = text.lstrip("-").split(".")[0].split("e")[0].split("E")[0]
        if len(integer_part) > MAX_INT_DIGITS:
            self.long_int_part = True
        return float(text)

    def _constant(self, word):
        self.non_finite = True
        return float(word)

    def in_mode(self, float_mode):
        """The value with the floats of `float_mode`."""
        if float_mode == "float":
            return self.value
        make = decimal.Decimal if float_mode == "decimal" else LosslessText
        return json.loads(self.text, parse_float=make, parse_constant=make)


class LosslessText(str):
    """Stands for the LosslessFloat that should hold this text."""


def text_facts(text):
    """(deepest enclosure of any value, whether a \\u escape is an unpaired
    surrogate) of a document json accepts. Read from the text, since a
    repeated key hides the earlier value from the result."""
    deepest = open_containers = 0
    units = []  # (start, end, code) of each \\u escape
    in_string = False
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if in_string:
            if c == "\\":
                if text[i + 1] == "u":
                    units.append((i, i + 6, int(text[i + 2:i + 6], 16)))
                    i += 6
                else:
                    i += 2
                continue
            in_string = c != '"'
        elif c in "[{":
            deepest = max(deepest, open_containers)
            open_containers += 1
        elif c in "]}":
            open_containers -= 1
        elif c not in " \t\n\r,:":
            deepest = max(deepest, open_containers)
            in_string = c == '"'
        i += 1
    lone = False
    k = 0
    while k < len(units):
        start, end, code = units[k]
        if 0xD800 <= code < 0xDC00:
            following = units[k + 1] if k + 1 < len(units) else None
            if following is None or following[0] != end or not 0xDC00 <= following[2] < 0xE000:
                lone = True
                break
            k += 2
            continue
        if 0xDC00 <= code < 0xE000:
            lone = True
            break
        k += 1
    return deepest, lone


def same_float(a, b):
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def decimal_text(make):
    """str() of the Decimal that make() returns, or the name of what it raised:
    Decimal refuses exponents beyond its context's range."""
    try:
        return str(make())
    except ArithmeticError as exc:
        return type(exc).__name__


def same(got, want):
    """Equal values of the same types, floats compared bit-exactly (NaN equal to
    NaN), dicts in the same key order, Decimals by their text."""
    if isinstance(want, LosslessText):
        if type(got) is not taldo.LosslessFloat or bytes(got) != want.encode():
            return False
        return same_float(float(got), float(want)) and str(got) == want and decimal_text(
            got.as_decimal) == decimal_text(lambda: decimal.Decimal(want))
    if type(got) is not type(want):
        return False
    if isinstance(want, float):
        return same_float(got, want)
    if isinstance(want, decimal.Decimal):
        return str(got) == str(want)
    if isinstance(want, list):
        return len(got) == len(want) and all(same(g, w) for g, w in zip(got, want))
    if isinstance(want, dict):
        return list(got) == list(want) and all(same(got[k], want[k]) for k in want)
    return got == want


def partial_of(got, want, trailing):
    """Whether `got` is what a cut-off copy of the document of `want` may give:
    the complete members equal, the last one itself cut."""
    if isinstance(want, list):
        if type(got) is not list or len(got) > len(want):
            return False
        if not all(same(g, w) for g, w in zip(got[:-1], want)):
            return False
        return not got or partial_member(got[-1], want[len(got) - 1], trailing)
    if isinstance(want, dict):
        keys = list(got) if type(got) is dict else None
        if keys is None or keys != list(want)[:len(keys)]:
            return False
        if not all(same(got[k], want[k]) for k in keys[:-1]):
            return False
        return not keys or partial_member(got[keys[-1]], want[keys[-1]], trailing)
    return same(got, want)


def partial_member(got, want, trailing):
    if same(got, want):
        return True
    if isinstance(want, (list, dict)):
        return partial_of(got, want, trailing)
    if isinstance(want, str):
        return trailing and type(got) is str and want.startswith(got)
    if type(want) in (int, float):
        # Digits that stop at the end of the input make a complete number.
        return type(got) in (int, float)
    return False


# --- the checks -------------------------------------------------------------------


def check_message(exc, data):
    text = str(exc)
    match = MESSAGE.fullmatch(text)
    if match is None:
        fail("error message without a position", data, message=text)
    kind, line, column = match.group(1), int(match.group(2)), int(match.group(3))
    if not any(kind.startswith(k) for k in KIND_TEXTS):
        fail("unknown error text", data, message=text)
    lines = data.split(b"\n")
    if not 1 <= line <= len(lines) or column > len(lines[line - 1]):
        fail("error position outside the input", data, message=text)
    return kind


def parse(data, **options):
    """from_json's value, or the ValueError's text (checked). Any other
    exception is a finding."""
    try:
        return True, taldo.from_json(data, **options)
    except ValueError as exc:
        return False, check_message(exc, data)


def check_default(data, ref):
    ok, got = parse(data)
    if not ref.ok:
        if ok:
            fail("accepted what json rejects" if ref.utf8 else "accepted invalid UTF-8", data, got=got)
        return
    if ref.depth > MAX_DEPTH or ref.surrogates or ref.long_int_part:
        if ok:
            fail("accepted a document that must fail", data, got=got)
        if ref.depth > MAX_DEPTH and not ref.surrogates and not ref.long_int_part and got != KIND_TEXTS[22]:
            fail("nesting too deep but another error", data, got=got)
        return
    if not ok:
        fail("rejected what json accepts", data, error=got, want=ref.value)
    if not same(got, ref.value):
        fail("value differs from json", data, got=got, want=ref.value)


REFUSED = object()  # Decimal refuses an exponent beyond its context's range


def check_options(data, ref, options):
    ok, got = parse(data, **options)
    partial = options.get("partial_mode") not in (None, "off", False)
    if not ref.ok:
        if ok and not partial:
            fail("accepted what json rejects", data, options=options, got=got)
        return
    must_fail = ref.depth > MAX_DEPTH or ref.surrogates or ref.long_int_part
    if must_fail or (ref.non_finite and not options.get("allow_inf_nan", True)):
        if ok:
            fail("accepted a document that must fail", data, options=options, got=got)
        return
    try:
        want = ref.in_mode(options.get("float_mode", "float"))
    except ArithmeticError:
        want = REFUSED
    decimal_error = 'Internal error: "InvalidOperation'
    if ref.duplicate_keys and options.get("catch_duplicate_keys"):
        if ok:
            fail("missed a duplicate key", data, options=options, got=got)
        if want is REFUSED and got.startswith(decimal_error):
            return
        if not got.startswith(KIND_TEXTS[1]):
            fail("duplicate key, but another error", data, options=options, got=got)
        named = got[len(KIND_TEXTS[1]):]
        if hooks is not None and named not in {hooks.debug_quote(k) for k in ref.duplicate_keys}:
            fail("the error names a key that is not repeated", data, options=options, got=got)
        return
    if want is REFUSED:
        if ok or not got.startswith(decimal_error):
            fail("Decimal refuses a number, but not as an internal error", data, options=options, got=got)
        return
    if not ok:
        fail("rejected what json accepts", data, options=options, error=got)
    if not same(got, want):
        fail("value differs from json", data, options=options, got=got, want=want)


def check_cut(data, ref, cut, options):
    """A valid document cut anywhere: the containers that were open close with
    what they hold; only a cut top-level scalar may fail."""
    prefix = data[:cut]
    ok, got = parse(prefix, **options)
    body = prefix.lstrip(WHITESPACE)
    if not body or body[:1] not in b"[{":
        return  # nothing, or a top-level scalar: may fail, may be a shorter value
    if not ok:
        fail("a cut document failed in partial mode", prefix, options=options, error=got, whole=data)
    if ref.duplicate_keys:
        return  # an earlier value of a repeated key may stand in the cut copy
    if not partial_of(got, ref.value, options["partial_mode"] == "trailing-strings"):
        fail("a cut document gave a value that is no part of the whole", prefix, options=options, got=got,
             whole=ref.value)


def check_trailing_bytes(data, ref, extra, options):
    """In partial mode nothing after the top-level value is looked at."""
    body = data.lstrip(WHITESPACE)
    if body[:1] not in b'[{"tfn':
        return  # a number could go on into the extra bytes
    ok, got = parse(data + extra, **options)
    if not ok or not same(got, ref.value):
        fail("bytes after the value changed the result in partial mode", data + extra, options=options, got=got,
             want=ref.value)


def check_lossless(data):
    match = JSON_NUMBER.match(data)
    try:
        number = taldo.LosslessFloat(data)
    except ValueError as exc:
        check_message(exc, data)
        if match is not None:
            fail("LosslessFloat refused a number", data, error=str(exc))
        return
    if match is None:
        fail("LosslessFloat took what is not one number", data)
    text = match.group(1).decode()
    if bytes(number) != data or not same_float(float(number), float(text)):
        fail("LosslessFloat value differs from float()", data, got=float(number))
    if str(number) != data.decode() or repr(number) != f"LosslessFloat({data.decode()})":
        fail("LosslessFloat text differs", data)
    if decimal_text(number.as_decimal) != decimal_text(lambda: decimal.Decimal(text)):
        fail("LosslessFloat.as_decimal differs from Decimal", data, got=number.as_decimal())


def check_lossless_sequence(items):
    try:
        number = taldo.LosslessFloat(items)
    except (ValueError, TypeError, OverflowError):
        return
    if not all(isinstance(i, int) and 0 <= i <= 255 for i in items):
        fail("LosslessFloat took a sequence that is no bytes", bytes(0), items=items)
    if bytes(number) != bytes(items):
        fail("LosslessFloat from a sequence holds other bytes", bytes(items))


def escapes_in(raw):
    """(whether the string body has a backslash escape, whether one is \\u)."""
    backslash = unicode = False
    i = 0
    while i < len(raw):
        if raw[i] == "\\":
            backslash = True
            unicode = unicode or raw[i + 1:i + 2] == "u"
            i += 2
        else:
            i += 1
    return backslash, unicode


def check_string_hooks(data, allow_partial):
    """decode_string against json's own string scanner."""
    if not data.startswith(b'"'):
        data = b'"' + data
    try:
        ok, got = True, hooks.decode_string(data, allow_partial)
    except ValueError as exc:
        ok, got = False, exc.args
    text = data.decode("utf-8", "surrogateescape")
    try:
        value, end = scanstring(text, 1, True)
    except ValueError:
        value = None
    if value is None:
        if ok and not allow_partial:
            fail("decode_string accepted what json rejects", data, got=got)
        return
    raw = text[1:end - 1]
    bad_bytes = any("\udc80" <= c <= "\udcff" for c in raw)
    end_byte = len(text[:end].encode("utf-8", "surrogateescape"))
    if bad_bytes or any("\ud800" <= c <= "\udfff" for c in value):
        if ok:
            fail("decode_string accepted invalid UTF-8 or a lone surrogate", data, got=got)
        if got[0] not in (INVALID_CODE_POINT, LONE_SURROGATE, EOF_IN_HEX) or got[1] >= end_byte:
            fail("decode_string: wrong fault for a bad string", data, got=got)
        if not bad_bytes and got[0] == INVALID_CODE_POINT:
            fail("decode_string: UTF-8 fault in valid UTF-8", data, got=got)
        return
    backslash, unicode = escapes_in(raw)
    want = (value.encode(), "scratch" if backslash else "input", not unicode and raw.isascii(), end_byte)
    if not ok or got != want:
        fail("decode_string differs from json", data, got=got, want=want)
    try:
        key = hooks.decode_key(data[:end_byte] + b" :")
    except ValueError as exc:
        fail("decode_key refused a key", data, error=exc.args)
    if key != want[:3] + (end_byte + 2,):
        fail("decode_key differs from decode_string", data, got=key)


def line_position_reference(data, index):
    m = min(index, len(data))
    line, line_start = 1, 0
    for i, byte in enumerate(data):
        if byte == 0x0A:
            line, line_start = line + 1, i + 1
        if i == index:
            return line, m + 1 - line_start
    return line, m - line_start if m >= line_start else 0


QUOTED = re.compile(r'\\(0|t|n|r|"|\\|u\{([0-9a-f]+)\})')


def check_debug_quote(text):
    try:
        text.encode()
    except UnicodeEncodeError:
        return
    quoted = hooks.debug_quote(text)
    if not (quoted.startswith('"') and quoted.endswith('"')) or len(quoted) < 2:
        fail("debug_quote without quotes", text.encode(), got=quoted)
    body = quoted[1:-1]
    simple = {"0": "\0", "t": "\t", "n": "\n", "r": "\r", '"': '"', "\\": "\\"}

    def unquote(m):
        return chr(int(m.group(2), 16)) if m.group(2) else simple[m.group(1)]

    plain = QUOTED.sub("", body)
    if QUOTED.sub(unquote, body) != text or any(c < " " or "\x7f" <= c <= "\x9f" or c in '"\\' for c in plain):
        fail("debug_quote is not a faithful quoting", text.encode(), got=quoted)


def check_hooks(data, selector):
    if hooks is None:
        return
    check_string_hooks(data, bool(selector & 1))
    index = (selector * 7919) % (len(data) + 3)
    if hooks.line_position(data, index) != line_position_reference(data, index):
        fail("line_position differs from its definition", data, index=index)
    check_debug_quote(data.decode("utf-8", "replace"))


def options_from(byte):
    return {
        "allow_inf_nan": bool(byte & 1),
        "catch_duplicate_keys": bool(byte & 2),
        "cache_mode": CACHE_MODES[(byte >> 2) % 5],
        "partial_mode": PARTIAL_MODES[(byte >> 2) // 5 % 5] if byte & 0x80 else "off",
        "float_mode": FLOAT_MODES[(byte >> 4) % 3],
    }


def check_input(blob):
    """One fuzz input: two selector bytes, then the document."""
    if len(blob) < 2:
        return
    select, extra_select, data = blob[0], blob[1], blob[2:]
    if select & 0x40:
        data = Bytes(data)
    ref = Reference(data)
    check_default(data, ref)
    check_options(data, ref, options_from(select))
    if ref.ok and not (ref.depth > MAX_DEPTH or ref.surrogates or ref.long_int_part) and data:
        options = {"partial_mode": "trailing-strings" if extra_select & 1 else "on",
                   "float_mode": "float", "cache_mode": CACHE_MODES[extra_select % 5]}
        check_cut(data, ref, extra_select * 131 % len(data), options)
        check_cut(data, ref, len(data) - 1 - extra_select % min(len(data), 8), options)
        check_trailing_bytes(data, ref, bytes([extra_select]) + data[:extra_select % 7], options)
    if len(data) < 256:
        check_lossless(bytes(data))
        if extra_select & 0x10:
            check_lossless_sequence(list(data))
    check_hooks(bytes(data), extra_select)
    if extra_select == 0xFF:
        taldo.cache_clear()
    if taldo.cache_usage() > 8 * 16384:
        fail("cache_usage above its bound", data)


# --- seed documents and mutations --------------------------------------------------

SIMPLE_ESCAPES = ['\\"', "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t"]
TOKENS = [b"[", b"]", b"{", b"}", b",", b":", b'"', b"\\", b"\\u", b"\\ud83d", b"\\ude00", b"\\u00e9", b"true",
          b"false", b"null", b"NaN", b"Infinity", b"-Infinity", b"-", b"0", b"1", b".", b"e", b"E+", b"e-",
          b"\xc3", b"\xc3\xa9", b"\xe4\xb8\xad", b"\xf0\x9f\x98\x80", b"\xed\xa0\x80", b"\xff", b"\x00", b"\x1f",
          b" ", b"\t", b"\n", b"\r", b"\x0c", b"\xef\xbb\xbf", b"9" * 19, b"9223372036854775808", b"1e400",
          b"2.2250738585072011e-308", b"4.9e-324", b"0.1", b'"ab"', b'"a"', b'{"a":1}']


def random_string(rng):
    out = []
    for _ in range(rng.choice([0, 1, 2, 5, 15, 16, 17, 40, 63, 64, 100])):
        pick = rng.random()
        if pick < 0.55:
            out.append(chr(rng.randrange(0x20, 0x7F)).replace("\\", "\\\\").replace('"', '\\"'))
        elif pick < 0.65:
            out.append(rng.choice(SIMPLE_ESCAPES))
        elif pick < 0.75:
            out.append("\\u%04x" % rng.choice([rng.randrange(0, 0xD800), rng.randrange(0xE000, 0x10000), 0]))
        elif pick < 0.8:
            code = rng.randrange(0x10000, 0x110000) - 0x10000
            out.append("\\u%04X\\u%04x" % (0xD800 + (code >> 10), 0xDC00 + (code & 0x3FF)))
        elif pick < 0.95:
            out.append(chr(rng.choice([rng.randrange(0x80, 0x800), rng.randrange(0x800, 0xD800),
                                       rng.randrange(0xE000, 0x10000), rng.randrange(0x10000, 0x110000)])))
        else:
            out.append("\\u%04x" % rng.randrange(0xD800, 0xE000))  # a lone surrogate, mostly
    return '"' + "".join(out) + '"'


def random_number(rng):
    pick = rng.random()
    if pick < 0.3:
        return str(rng.choice([0, 1, -1, 2**63 - 1, -2**63, 2**63, -2**63 - 1, 2**64, rng.randrange(-10**6, 10**6),
                               rng.randrange(-10**30, 10**30)]))
    if pick < 0.6:
        return repr(rng.choice([0.1, -0.0, 5e-324, 1.7976931348623157e308, 2.2250738585072014e-308,
                                rng.uniform(-1e6, 1e6), rng.random() * 10.0 ** rng.randrange(-330, 308)]))
    if pick < 0.9:
        sign = rng.choice(["", "-"])
        whole = rng.choice(["0", str(rng.randrange(1, 10)) + "".join(rng.choices("0123456789",
                                                                                 k=rng.choice([0, 3, 15, 18, 19,
                                                                                               25, 40])))])
        frac = rng.choice(["", "." + "".join(rng.choices("0123456789", k=rng.choice([1, 2, 17, 30, 400])))])
        exp = rng.choice(["", "e" + str(rng.randrange(-400, 400)), "E+" + str(rng.randrange(0, 30)),
                          "e-0" + str(rng.randrange(0, 9))])
        return sign + whole + frac + exp
    return rng.choice(["NaN", "Infinity", "-Infinity", "1" * 4300, "9" * 4301, "-" + "7" * 4300, "1" * 4301 + ".5"])


def random_value(rng, depth=0):
    pick = rng.random()
    if depth > 4 or pick < 0.45:
        return rng.choice([random_string, random_number, random_number,
                           lambda r: r.choice(["true", "false", "null"])])(rng)
    ws = lambda: rng.choice(["", "", " ", "\n", "\t", "\r\n", " " * 20])  # noqa: E731
    count = rng.choice([0, 1, 2, 3, 8, 9, 17] if depth < 2 else [0, 1, 2])
    if pick < 0.75:
        return "[" + ws() + ("," + ws()).join(random_value(rng, depth + 1) for _ in range(count)) + ws() + "]"
    keys = [random_string(rng) if rng.random() < 0.5 else rng.choice(['"a"', '"b"', '"\\u0061"', '""'])
            for _ in range(count)]
    return "{" + ws() + ("," + ws()).join(k + ws() + ":" + ws() + random_value(rng, depth + 1)
                                          for k in keys) + ws() + "}"


def seed_documents(rng, count):
    docs = [b"", b" ", b"[]", b"{}", b"[1,]", b'{"a":1,"a":2}', b'"\\ud800"', b"[" * 200 + b"]" * 200,
            b"[" * 201 + b"]" * 201, b"[" * 202 + b"]" * 202, b"[" * 200 + b"1" + b"]" * 200,
            b"[" * 201 + b"1" + b"]" * 201, b'{"a": [1, 2.5, "xy"]}', b"[1, 2]]]", b'[{"a": [1}, 2]']
    while len(docs) < count:
        docs.append(random_value(rng).encode("utf-8", "surrogatepass"))
    return docs


def mutate(rng, data, corpus):
    data = bytearray(data)
    for _ in range(rng.choice([0, 1, 1, 2, 3, 8])):
        pick = rng.random()
        pos = rng.randrange(len(data) + 1)
        if pick < 0.2 and data:
            data[min(pos, len(data) - 1)] = rng.randrange(256)
        elif pick < 0.45:
            data[pos:pos] = rng.choice(TOKENS)
        elif pick < 0.6 and data:
            del data[pos:pos + rng.choice([1, 1, 2, 4, 16])]
        elif pick < 0.7 and data:
            start = rng.randrange(len(data))
            data[pos:pos] = data[start:start + rng.randrange(1, 64)]
        elif pick < 0.8:
            other = rng.choice(corpus)
            start = rng.randrange(len(other) + 1)
            data[pos:pos] = other[start:start + rng.randrange(1, 200)]
        elif pick < 0.9:
            data = data[:pos]
        else:
            data[pos:pos] = random_number(rng).encode()
    return bytes(data)


_WELL_FORMED = {}


def well_formed(doc):
    """Whether taldo must accept the document with the default options."""
    if doc not in _WELL_FORMED:
        ref = Reference(doc)
        _WELL_FORMED[doc] = ref.ok and not (ref.depth > MAX_DEPTH or ref.surrogates or ref.long_int_part)
    return _WELL_FORMED[doc]


def loop_input(seed, i, corpus):
    rng = random.Random(seed * 1_000_003 + i)
    head = bytes([rng.randrange(256), rng.randrange(256)])
    if rng.random() < 0.02:
        return head + bytes(rng.randrange(256) for _ in range(rng.randrange(64)))
    if rng.random() < 0.01:
        # A large document: long escaped strings (past the scratch buffer's
        # first reservation), long whitespace runs, many members.
        parts = [d for d in rng.sample(corpus, 60) if well_formed(d)][:30] + ['"' + random_string(rng)[1:-1] * 200 + '"', b" " * 5000 + b"1", b'"' + b"\\n\xc3\xa9" * 3000 + b'"']
        rng.shuffle(parts)
        big = b"[" + b",".join(p if isinstance(p, bytes) else p.encode("utf-8", "surrogatepass") for p in parts) + b"]"
        return head + (big if rng.random() < 0.5 else mutate(rng, big, corpus))
    base = rng.choice(corpus)
    return head + (base if rng.random() < 0.3 else mutate(rng, base, corpus))


def run_loop(seed, seconds, only, progress_file):
    corpus = seed_documents(random.Random(seed), 400)
    if only is not None:
        blob = loop_input(seed, only, corpus)
        print(repr(blob))
        check_input(blob)
        return
    fd = os.open(progress_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC) if progress_file else None
    deadline = time.monotonic() + seconds
    i = failures = 0
    while time.monotonic() < deadline:
        if fd is not None:
            os.pwrite(fd, b"%d          \n" % i, 0)
        blob = loop_input(seed, i, corpus)
        try:
            check_input(blob)
        except AssertionError as exc:
            failures += 1
            print(f"iteration {i} (seed {seed}): {exc}", flush=True)
        except Exception as exc:  # noqa: BLE001 - any other exception is a finding too
            failures += 1
            print(f"iteration {i} (seed {seed}): {type(exc).__name__}: {exc}\n  input = {blob!r}", flush=True)
        i += 1
    print(f"seed {seed}: {i} inputs, {failures} failed checks", flush=True)
    if failures:
        sys.exit(1)


def make_corpus(directory, count, seed):
    os.makedirs(directory, exist_ok=True)
    rng = random.Random(seed)
    for n, doc in enumerate(seed_documents(rng, count)):
        with open(os.path.join(directory, f"seed-{n:04d}"), "wb") as f:
            f.write(bytes([rng.randrange(256), rng.randrange(256)]) + doc)


def main():
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--loop", action="store_true")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--only", type=int)
    parser.add_argument("--progress-file")
    parser.add_argument("--make-corpus")
    parser.add_argument("--count", type=int, default=400)
    args, rest = parser.parse_known_args()
    if args.make_corpus:
        make_corpus(args.make_corpus, args.count, args.seed)
    elif args.loop or atheris is None:
        run_loop(args.seed, args.seconds, args.only, args.progress_file)
    else:
        atheris.Setup([sys.argv[0]] + rest, check_input)
        atheris.Fuzz()


if __name__ == "__main__":
    main()
