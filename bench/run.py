"""Times taldo.from_json against the standard library and the peer parsers.

Runs are interleaved, in an order that rotates every round, so that a noisy
machine hurts every parser alike. Each sample is one untimed call (so that the
allocator has taken back what the previous parser released) followed by about
20 ms of calls; each figure is the minimum over the rounds. The table gives
taldo's time per document and, for every other parser, how many times slower
it is than taldo (above 1.00 means taldo is faster). The floor, marshal.loads
of the same object tree, builds the same objects without parsing anything:
`taldo/marshal` says how close taldo is to the cost of the objects.

The cyclic collector stays on by default, as in real use: how a parser's
objects meet it is part of its cost. `--gc off` switches it off for every
parser alike.

    python3 bench/run.py                      # generated documents
    python3 bench/run.py --corpus ../shared/corpus
    python3 bench/run.py --only strings --taldo-option cache_mode=none
    python3 bench/run.py --gc off
"""
from __future__ import annotations

import argparse
import collections
import decimal
import functools
import gc
import importlib
import itertools
import json
import marshal
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import documents  # noqa: E402

import taldo  # noqa: E402


def peer_parsers(exact_floats=False):
    """(name, loads) for every peer that is installed. With exact floats the
    standard library's Decimal parsing is the like-for-like peer."""
    found = [("json", json.loads)]
    if exact_floats:
        found.append(("json+Decimal", functools.partial(json.loads, parse_float=decimal.Decimal)))
    candidates = [
        ("orjson", "orjson", "loads"),
        ("msgspec", "msgspec.json", "decode"),
        ("ujson", "ujson", "loads"),
        ("simdjson", "simdjson", "loads"),
        ("rapidjson", "rapidjson", "loads"),
        ("simplejson", "simplejson", "loads"),
    ]
    for name, module, attribute in candidates:
        try:
            found.append((name, getattr(importlib.import_module(module), attribute)))
        except ImportError:
            pass
    return found


def time_calls(function, argument, repeat):
    """Seconds per call over `repeat` calls, each result released at once."""
    calls = itertools.repeat(argument, repeat)
    start = time.perf_counter()
    collections.deque(map(function, calls), maxlen=0)
    return (time.perf_counter() - start) / repeat


def calibrate(function, argument, target=0.02):
    """Calls per sample so that one sample lasts about `target` seconds."""
    repeat = 1
    while True:
        elapsed = time_calls(function, argument, repeat) * repeat
        if elapsed > target / 4 or repeat >= 1_000_000:
            break
        repeat *= 4
    return max(1, int(repeat * target / max(elapsed, 1e-9)))


def measure(parsers, rounds):
    """Interleaved minima, in seconds per call, by parser name."""
    repeat = {name: calibrate(f, arg) for name, (f, arg) in parsers.items()}
    best = {name: float("inf") for name in parsers}
    names = list(parsers)
    for round_number in range(rounds):
        shift = round_number % len(names)
        for name in names[shift:] + names[:shift]:
            function, argument = parsers[name]
            function(argument)  # untimed
            best[name] = min(best[name], time_calls(function, argument, repeat[name]))
    return best


def parse_option(text):
    name, _, value = text.partition("=")
    lowered = value.lower()
    if lowered in ("true", "false"):
        return name, lowered == "true"
    return name, value


def format_time(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--corpus", type=pathlib.Path, help="also time every *.json file in this folder")
    parser.add_argument("--no-generated", action="store_true", help="skip the generated documents")
    parser.add_argument("--only", action="append", default=[], help="only documents whose name contains this")
    parser.add_argument("--rounds", type=int, default=15, help="interleaved rounds per document")
    parser.add_argument("--gc", choices=("on", "off"), default="on",
                        help="the cyclic collector during the runs, for every parser alike (default: on)")
    parser.add_argument("--taldo-option", action="append", default=[], type=parse_option,
                        help="NAME=VALUE passed to taldo.from_json, e.g. cache_mode=none")
    parser.add_argument("--json", type=pathlib.Path, help="write the minima (seconds per call) to this file")
    args = parser.parse_args(argv)

    options = dict(args.taldo_option)
    taldo_loads = (lambda data: taldo.from_json(data, **options)) if options else taldo.from_json
    peers = peer_parsers(exact_floats=options.get("float_mode") in ("decimal", "lossless-float"))

    docs = [] if args.no_generated else list(documents.generated())
    if args.corpus:
        docs += sorted((path.name, path.read_bytes()) for path in args.corpus.glob("*.json"))
    if args.only:
        docs = [(name, data) for name, data in docs if any(word in name for word in args.only)]

    names = [name for name, _ in peers]
    header = ["document", "size", "taldo"] + names + ["taldo/marshal"]
    print(f"taldo {taldo.__version__}, Python {sys.version.split()[0]}, options {options or 'default'}; "
          f"collector {args.gc}; columns after 'taldo': times slower than taldo "
          f"(minimum of {args.rounds} interleaved rounds)")
    print(" | ".join(header))
    print(" | ".join("---" for _ in header))
    results = {}
    for name, data in docs:
        try:
            tree = taldo_loads(data)
        except ValueError as exc:
            print(f"{name} | skipped: taldo cannot parse it yet ({exc})")
            continue
        parsers = {"taldo": (taldo_loads, data)}
        try:
            parsers["marshal"] = (marshal.loads, marshal.dumps(tree))
        except ValueError:
            pass  # Decimal and LosslessFloat trees have no marshal form
        for peer_name, loads in peers:
            try:
                loads(data)
            except Exception:  # noqa: BLE001 - a peer that cannot read this document sits it out
                continue
            parsers[peer_name] = (loads, data)
        if args.gc == "off":
            gc.collect()
            gc.disable()
        try:
            minima = measure(parsers, args.rounds)
        finally:
            gc.enable()
        results[name] = minima
        base = minima["taldo"]
        row = [name, f"{len(data) / 1e6:.2f} MB" if len(data) >= 1e5 else f"{len(data)} B", format_time(base)]
        row += [f"{minima[peer] / base:.2f}" if peer in minima else "n/a" for peer in names]
        row.append(f"{base / minima['marshal']:.2f}" if "marshal" in minima else "n/a")
        print(" | ".join(row), flush=True)
    if args.json:
        args.json.write_text(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
