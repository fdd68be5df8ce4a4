"""Runs every kind of document, succeeding and failing, many times over and
reports whether memory grows: Python's live block count, the C heap in use
(glibc's mallinfo2, which sees the C++ allocations too) and the process's
resident size.

    python fuzz/leak_check.py [--rounds 20000]

Use a build without AddressSanitizer: its allocator hides the C heap figures
and its quarantine grows the resident size on purpose.
"""

import argparse
import ctypes
import decimal
import gc
import sys

import taldo

LONG_ESCAPED = b'"' + b"ab\\n\\u00e9" * 3000 + b'"'
DEEP_OK = b"[" * 200 + b"1" + b"]" * 200
MANY = b"[" + b",".join(b'"s%d"' % i for i in range(40)) + b"]"
BIG = b"123456789012345678901234567890123456789012345678901234567890"

# (document, options); every document is run with its options on each round.
CASES = [
    # strings with escapes, long ones (the scratch buffer grows), bad ones
    (b'["a\\"b\\\\c\\/\\b\\f\\n\\r\\t", "\\ud83d\\ude00", "caf\\u00e9", "\xe4\xb8\xad"]', {}),
    (LONG_ESCAPED, {}),
    (LONG_ESCAPED[:-1], {}),
    (LONG_ESCAPED[:-1], {"partial_mode": "trailing-strings"}),
    (b'["ab\\q"]', {}),
    (b'["\\ud800x"]', {}),
    (b'["\\udc00"]', {}),
    (b'["ok", "\xff"]', {}),
    (b'["ok", "a\x01"]', {}),
    # big integers, in every float mode, and failures after them
    (b"[" + BIG + b", -" + BIG + b", " + b"9" * 4300 + b"]", {}),
    (b"[" + BIG + b", " + b"9" * 4301 + b"]", {}),
    (b"[" + BIG + b", x]", {"float_mode": "decimal"}),
    (b"[" + BIG + b", 1.5, x]", {"float_mode": "lossless-float"}),
    # exact float modes
    (b'[1.10, -0.0, 1e2, NaN, -Infinity, {"a": 2.50}]', {"float_mode": "decimal"}),
    (b'[1.10, -0.0, 1e2, NaN, -Infinity, {"a": 2.50}]', {"float_mode": "lossless-float"}),
    (b"[1.5, 2.5, 1e99999999999999999999]", {"float_mode": "decimal"}),  # Decimal refuses: internal error
    (b"[1.5, 2.5, tru]", {"float_mode": "decimal"}),
    # partial documents
    (b'{"a": [1, 2, {"b": "xy', {"partial_mode": "on"}),
    (b'{"a": [1, 2, {"b": "xy', {"partial_mode": "trailing-strings"}),
    (b'[{"a": [1}, 2] trailing', {"partial_mode": True}),
    (b'[1, 2, "abc', {"partial_mode": "on", "float_mode": "lossless-float"}),
    (b"[" * 150 + b'1, "x', {"partial_mode": "trailing-strings"}),
    (b'[1, 1.x', {"partial_mode": "on"}),
    # duplicate keys
    (b'{"a": 1, "b": {"a": 2}, "c": [{"a": 3}]}', {"catch_duplicate_keys": True}),
    (b'{"a": 1, "b": 2, "\\u0061": 3}', {"catch_duplicate_keys": True}),
    (b'{"' + b'k' * 100 + b'": 1, "' + b'k' * 100 + b'": 2}', {"catch_duplicate_keys": True}),
    (b'{"a": 1, "a":', {"catch_duplicate_keys": True, "partial_mode": "on"}),
    (b'{"a": 1, "a": 2}', {}),
    # nesting and containers past the inline buffer
    (DEEP_OK, {}),
    (b"[" * 201 + b"1" + b"]" * 201, {}),
    (b"[" * 100 + b"[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17," * 3 + b"x", {}),
    (b'{"a": {"b": {"c": [1, 2, 3, 4, 5, 6, 7, 8, 9, {"d": x}]}}}', {}),
    (b"[1, 2] 3", {}),
    (b'{"a": [1, 2]} x', {"catch_duplicate_keys": True}),
    # the string cache in each mode
    (MANY, {"cache_mode": "all"}),
    (MANY, {"cache_mode": "keys"}),
    (MANY, {"cache_mode": "none"}),
    (b'{"key1": "value1", "key2": ["value2", x]}', {"cache_mode": "keys"}),
]


def run_case(document, options):
    try:
        taldo.from_json(document, **options)
    except ValueError:
        pass


def run_lossless():
    number = taldo.LosslessFloat(b" 1.25e3 ")
    float(number), str(number), repr(number), bytes(number), number.as_decimal()
    for raw in (b"1.5x", b'"1"', b"", [300], "1.5"):
        try:
            taldo.LosslessFloat(raw)
        except (ValueError, TypeError, OverflowError):
            pass
    try:
        taldo.LosslessFloat(b"1e99999999999999999999").as_decimal()
    except decimal.InvalidOperation:
        pass


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


try:
    _libc = ctypes.CDLL(None)
    _libc.mallinfo2.restype = MallInfo2
except (OSError, AttributeError):
    _libc = None


def c_heap_in_use():
    if _libc is None:
        return 0
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def measure():
    gc.collect()
    return sys.getallocatedblocks(), c_heap_in_use(), rss_kib()


def check(name, work, rounds):
    for _ in range(max(rounds // 10, 50)):  # warm up: caches, once-only values, allocator pools
        work()
    blocks0, heap0, rss0 = measure()
    for _ in range(rounds):
        work()
    blocks1, heap1, rss1 = measure()
    grew = blocks1 - blocks0 > 50 or heap1 - heap0 > 256 * 1024 or rss1 - rss0 > 4096
    print(f"{'GROWS' if grew else 'ok   '} {name:<60} blocks {blocks1 - blocks0:+7d}  C heap {heap1 - heap0:+10d} B"
          f"  RSS {rss1 - rss0:+7d} KiB", flush=True)
    return not grew


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=20000)
    args = parser.parse_args()
    print(f"taldo from {taldo.__file__}")
    ok = True
    for document, options in CASES:
        name = repr(document[:40]) + (" " + repr(options) if options else "")
        ok &= check(name[:60], lambda d=document, o=options: run_case(d, o), args.rounds)
    ok &= check("LosslessFloat methods and refusals", run_lossless, args.rounds)
    ok &= check("every case in turn", lambda: [run_case(d, o) for d, o in CASES], args.rounds // 4)
    print("no growth" if ok else "MEMORY GROWS")
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
