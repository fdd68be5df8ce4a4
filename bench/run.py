"""Times taldo.from_json against the standard library and the peer parsers.

Before anything is timed, every peer's value for a document is compared with
taldo's, exactly: the same types (an int is not a float, a bool is not an int),
floats exactly, the sign of zero included (NaN equals NaN), Decimals digit
for digit, dict keys in any order. A peer whose value differs is shown as
"differs" and is not timed: a parser that returns something else has not done
the same work. A peer that raises on the document is shown as "n/a". Below the
table, every difference is listed with the first path where the values part.

Runs are interleaved, in an order that rotates every round, so that a noisy
machine hurts every parser alike. Each sample is one untimed call (so that the
allocator has taken back what the previous parser released; skipped when one
call lasts more than 0.1 s) followed by about 20 ms of calls; each figure is
the minimum over the rounds. Samples are timed in the process's CPU time, so
that the time spent waiting while other programs hold the cores of a busy
machine is not counted (`--clock wall` times wall-clock seconds instead). The table gives taldo's time per document and,
for every other parser, how many times slower it is than taldo (above 1.00
means taldo is faster). The floor, marshal.loads of the same object tree,
builds the same objects without parsing anything: `taldo/marshal` says how
close taldo is to the cost of the objects.

The streamed row parses every growing prefix of a model's ~20 KB output, cut
into tokens of 1 to 6 characters as it would arrive, with
partial_mode="trailing-strings", against partial-json-parser on the same
prefixes (as str, allowing cut strings and containers); its time is that of
the whole stream. partial-json-parser is timed on that row only ("-"
elsewhere), and the row's values are compared on every prefix: the last,
complete one decides "differs", the others are counted below the table.

The cyclic collector stays on by default, as in real use: how a parser's
objects meet it is part of its cost. `--gc off` switches it off for every
parser alike.

    python3 bench/run.py                      # generated documents
    python3 bench/run.py --corpus ../shared/corpus --plot docs/benchmark.png
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
import math
import os
import pathlib
import platform
import re
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import documents  # noqa: E402
from units import format_size, format_time  # noqa: E402

import taldo  # noqa: E402

DIFFERS = "differs"
UNAVAILABLE = "n/a"
NOT_RUN = "-"
STREAM_PEER = "partial-json-parser"


# --- comparing values -----------------------------------------------------------

_IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")


def _key_path(path, key):
    if isinstance(key, str) and _IDENTIFIER.match(key):
        return f"{path}.{key}"
    return f"{path}[{json.dumps(key, ensure_ascii=False)}]"


def _show(value, limit=60):
    text = repr(value)
    return text if len(text) <= limit else text[:limit - 3] + "..."


def _same_float(a, b):
    if a != a:
        return b != b
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def _lossless_text(value):
    return bytes(value).decode("ascii")


def _same_scalar(expected, actual):
    """Whether two non-container values are the same value of the same type."""
    lossless = getattr(taldo, "LosslessFloat", None)
    if lossless is not None and type(expected) is lossless and type(actual) is decimal.Decimal:
        # No peer makes LosslessFloat: the like-for-like value is the Decimal of its text.
        return decimal.Decimal(_lossless_text(expected)).as_tuple() == actual.as_tuple()
    if type(expected) is not type(actual):
        return False
    if type(expected) is float:
        return _same_float(expected, actual)
    if type(expected) is decimal.Decimal:
        return expected.as_tuple() == actual.as_tuple()
    return expected == actual


def first_difference(expected, actual, path="$"):
    """None when `actual` is the same value as `expected`, else the first place
    where they part, as "PATH: EXPECTED != ACTUAL" (e.g.
    "$.numbers[3]: 12345678901234567890 != 1.2345678901234567e+19").

    Types must match exactly (1 is not 1.0, True is not 1), floats exactly,
    the sign of zero included, with NaN equal to NaN, Decimals digit for digit
    (1.10 is not 1.1); dict keys may come in any order, as with ==. A
    LosslessFloat matches the Decimal of its text."""
    if type(expected) is list and type(actual) is list:
        for index, (left, right) in enumerate(zip(expected, actual)):
            found = first_difference(left, right, f"{path}[{index}]")
            if found:
                return found
        if len(expected) != len(actual):
            index = min(len(expected), len(actual))
            left = _show(expected[index]) if index < len(expected) else "(missing)"
            right = _show(actual[index]) if index < len(actual) else "(missing)"
            return f"{path}[{index}]: {left} != {right}"
        return None
    if type(expected) is dict and type(actual) is dict:
        for key, left in expected.items():
            if key not in actual:
                return f"{_key_path(path, key)}: {_show(left)} != (missing)"
            found = first_difference(left, actual[key], _key_path(path, key))
            if found:
                return found
        for key, right in actual.items():
            if key not in expected:
                return f"{_key_path(path, key)}: (missing) != {_show(right)}"
        return None
    if _same_scalar(expected, actual):
        return None
    return f"{path}: {_show(expected)} != {_show(actual)}"


# --- the parsers ----------------------------------------------------------------

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


def stream_peer(exact_floats=False):
    """partial-json-parser's loads with its equivalent of trailing strings (a
    cut string and cut containers are kept; a cut number or literal is not),
    or None when it is not installed."""
    try:
        import partial_json_parser
    except ImportError:
        return None
    allow = partial_json_parser.STR | partial_json_parser.COLLECTION
    parser = functools.partial(json.loads, parse_float=decimal.Decimal) if exact_floats else None
    return functools.partial(partial_json_parser.loads, allow_partial=allow, parser=parser)


def over_stream(loads):
    """A function that parses every prefix of a stream with `loads`."""
    def parse_all(prefixes):
        collections.deque(map(loads, prefixes), maxlen=0)
    return parse_all


def check_peer(taldo_value, loads, data):
    """(status, note) of a peer on one document: (None, None) when its value is
    taldo's, (UNAVAILABLE, why) when it raises, (DIFFERS, where) otherwise."""
    try:
        value = loads(data)
    except Exception as exc:  # noqa: BLE001 - a peer that cannot read this document sits it out
        return UNAVAILABLE, f"{type(exc).__name__}: {_show(str(exc), 80)}"
    found = first_difference(taldo_value, value)
    if found:
        return DIFFERS, found
    return None, None


def check_stream_peer(taldo_values, loads, prefixes):
    """(status, note) of a peer over a stream: UNAVAILABLE when it raises on
    any prefix, DIFFERS when its value on the last, complete prefix is not
    taldo's; differing earlier prefixes are counted in the note."""
    differing = []
    for number, (expected, prefix) in enumerate(zip(taldo_values, prefixes)):
        try:
            value = loads(prefix)
        except Exception as exc:  # noqa: BLE001 - a peer that cannot read a prefix sits the stream out
            return UNAVAILABLE, (f"prefix {number + 1} of {len(prefixes)} ({_show(prefix, 20)}): "
                                 f"{type(exc).__name__}: {_show(str(exc), 60)}")
        found = first_difference(expected, value)
        if found:
            differing.append((number, found))
    if differing and differing[-1][0] == len(prefixes) - 1:
        return DIFFERS, f"complete document: {differing[-1][1]}"
    if not differing:
        return None, None
    number, found = differing[0]
    return None, (f"equal on the complete document; {len(differing)} of {len(prefixes) - 1} earlier prefixes "
                  f"differ, the first is prefix {number + 1} ({len(prefixes[number])} chars): {found}")


# --- timing ---------------------------------------------------------------------

CLOCKS = {
    "wall": time.perf_counter,
    # the process's own CPU time: time spent waiting for a busy machine's cores
    # is not counted
    "cpu": time.process_time,
}
clock = CLOCKS["cpu"]


def time_calls(function, argument, repeat):
    """Seconds per call over `repeat` calls, each result released at once."""
    calls = itertools.repeat(argument, repeat)
    start = clock()
    collections.deque(map(function, calls), maxlen=0)
    return (clock() - start) / repeat


def calibrate(function, argument, target=0.02):
    """(calls per sample so that one sample lasts about `target` seconds,
    seconds of one call)."""
    repeat = 1
    while True:
        elapsed = time_calls(function, argument, repeat) * repeat
        if elapsed > target / 4 or repeat >= 1_000_000:
            break
        repeat *= 4
    return max(1, int(repeat * target / max(elapsed, 1e-9))), elapsed / repeat


def measure(parsers, rounds, progress=None):
    """Interleaved minima, in seconds per call, by parser name. `progress` is
    told the round (0 while calls per sample are chosen) and the rounds."""
    if progress:
        progress(0, rounds)
    calibrated = {name: calibrate(f, arg) for name, (f, arg) in parsers.items()}
    best = {name: float("inf") for name in parsers}
    names = list(parsers)
    for round_number in range(rounds):
        if progress:
            progress(round_number + 1, rounds)
        shift = round_number % len(names)
        for name in names[shift:] + names[:shift]:
            function, argument = parsers[name]
            repeat, one_call = calibrated[name]
            if one_call < 0.1:
                function(argument)  # untimed
            best[name] = min(best[name], time_calls(function, argument, repeat))
    return best


# --- output ---------------------------------------------------------------------

class Progress:
    """One line on stderr: rewritten in place on a terminal, plain lines
    otherwise."""

    def __init__(self, stream=None):
        self.stream = stream if stream is not None else sys.stderr
        self.in_place = self.stream.isatty()
        self.width = 0

    def show(self, text):
        if self.in_place:
            self.stream.write("\r" + text.ljust(self.width))
            self.width = len(text)
        else:
            self.stream.write(text + "\n")
        self.stream.flush()

    def clear(self):
        if self.in_place and self.width:
            self.stream.write("\r" + " " * self.width + "\r")
            self.stream.flush()
            self.width = 0


def parse_option(text):
    name, _, value = text.partition("=")
    lowered = value.lower()
    if lowered in ("true", "false"):
        return name, lowered == "true"
    return name, value


def machine_name():
    model = ""
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    model = model or platform.processor() or platform.machine()
    return f"{model}, {os.cpu_count()} cores, {platform.system()}"


def cell(row, peer):
    if peer in row["status"]:
        return row["status"][peer]
    if peer == "marshal":
        return f"{row['seconds']['taldo'] / row['seconds']['marshal']:.2f}"
    return f"{row['seconds'][peer] / row['seconds']['taldo']:.2f}"


def print_notes(rows):
    """What the table's "differs" and "n/a" stand for, document by document;
    peers with the same note on a document share a line."""
    sections = {DIFFERS: {}, UNAVAILABLE: {}, None: {}}
    for row in rows:
        for peer, note in row["notes"].items():
            status = row["status"].get(peer)
            if status == UNAVAILABLE and row["kind"] == "stream" and note.startswith("prefix 1 of"):
                note = "raise on the first prefix (complete documents only)"
            sections[status].setdefault((row["name"], note), []).append(peer)
    for status, heading in (
            (DIFFERS, "Values not taldo's, not timed (first differing path: taldo's value != the peer's):"),
            (UNAVAILABLE, "Raised, not timed (n/a):"),
            (None, "Timed, but with other values on some prefixes:")):
        if sections[status]:
            print()
            print(heading)
            for (name, note), peers in sections[status].items():
                print(f"- {', '.join(peers)} on {name}: {note}")


# --- the run --------------------------------------------------------------------

def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--corpus", type=pathlib.Path, help="also time every *.json file in this folder")
    parser.add_argument("--no-generated", action="store_true", help="skip the generated documents and the stream")
    parser.add_argument("--only", action="append", default=[], help="only documents whose name contains this")
    parser.add_argument("--rounds", type=int, default=15, help="interleaved rounds per document")
    parser.add_argument("--gc", choices=("on", "off"), default="on",
                        help="the cyclic collector during the runs, for every parser alike (default: on)")
    parser.add_argument("--clock", choices=tuple(CLOCKS), default="cpu",
                        help="the process's CPU time, which a busy machine disturbs less, or wall time "
                             "(default: cpu)")
    parser.add_argument("--taldo-option", action="append", default=[], type=parse_option,
                        help="NAME=VALUE passed to taldo.from_json, e.g. cache_mode=none")
    parser.add_argument("--json", type=pathlib.Path, help="write the results (seconds per call, statuses) to this file")
    parser.add_argument("--plot", type=pathlib.Path, help="draw the ratios to this PNG file (needs matplotlib)")
    args = parser.parse_args(argv)
    if args.plot:
        try:
            import plot  # noqa: F401 - fail now rather than after the run
        except ImportError as exc:
            parser.error(f"--plot needs matplotlib ({exc}): pip install '.[bench]'")

    global clock
    clock = CLOCKS[args.clock]
    options = dict(args.taldo_option)
    exact_floats = options.get("float_mode") in ("decimal", "lossless-float")
    taldo_loads = (lambda data: taldo.from_json(data, **options)) if options else taldo.from_json
    stream_options = dict(options, partial_mode="trailing-strings")
    taldo_stream_loads = functools.partial(taldo.from_json, **stream_options)
    peers = peer_parsers(exact_floats)
    partial_peer = stream_peer(exact_floats)

    def wanted(name):
        return not args.only or any(word in name for word in args.only)

    docs = [] if args.no_generated else [("document", name, data) for name, data in documents.generated(wanted)]
    if args.corpus:
        docs += [("document", path.name, path.read_bytes()) for path in sorted(args.corpus.glob("*.json"))
                 if wanted(path.name)]
    if not args.no_generated:
        docs += [("stream", name, prefixes) for name, prefixes in documents.streams(wanted)]

    names = [name for name, _ in peers]
    if partial_peer and any(kind == "stream" for kind, _, _ in docs):
        names.append(STREAM_PEER)
    header = ["document", "size", "taldo"] + names + ["taldo/marshal"]
    title = (f"taldo {taldo.__version__}, Python {sys.version.split()[0]}, {machine_name()}; "
             f"options {options or 'default'}; collector {args.gc}; {args.clock} clock")
    print(f"{title}; columns after 'taldo': times slower than taldo "
          f"(minimum of {args.rounds} interleaved rounds); {DIFFERS}: value not taldo's, not timed; "
          f"{UNAVAILABLE}: raised; {NOT_RUN}: not run on this row")
    print(" | ".join(header))
    print(" | ".join("---" for _ in header))

    progress = Progress()
    rows = []
    for number, (kind, name, data) in enumerate(docs, 1):
        where = f"document {number}/{len(docs)} {name}"
        progress.show(f"{where}: comparing values")
        status, notes = {}, {}
        if kind == "stream":
            size = len(data[-1].encode())
            byte_prefixes = [prefix.encode() for prefix in data]
            try:
                taldo_values = [taldo_stream_loads(prefix) for prefix in byte_prefixes]
            except ValueError as exc:
                progress.clear()
                print(f"{name} | skipped: taldo cannot parse a prefix ({exc})", flush=True)
                continue
            parsers = {"taldo": (over_stream(taldo_stream_loads), byte_prefixes)}
            try:
                parsers["marshal"] = (over_stream(marshal.loads), [marshal.dumps(value) for value in taldo_values])
            except ValueError:
                status["marshal"] = UNAVAILABLE  # Decimal and LosslessFloat trees have no marshal form
            candidates = [(peer, loads, byte_prefixes) for peer, loads in peers]
            if partial_peer:
                candidates.append((STREAM_PEER, partial_peer, data))
            for peer, loads, inputs in candidates:
                peer_status, note = check_stream_peer(taldo_values, loads, inputs)
                if peer_status:
                    status[peer] = peer_status
                else:
                    parsers[peer] = (over_stream(loads), inputs)
                if note:
                    notes[peer] = note
            del taldo_values
        else:
            size = len(data)
            try:
                tree = taldo_loads(data)
            except ValueError as exc:
                progress.clear()
                print(f"{name} | skipped: taldo cannot parse it ({exc})", flush=True)
                continue
            parsers = {"taldo": (taldo_loads, data)}
            try:
                parsers["marshal"] = (marshal.loads, marshal.dumps(tree))
            except ValueError:
                status["marshal"] = UNAVAILABLE  # Decimal and LosslessFloat trees have no marshal form
            for peer, loads in peers:
                peer_status, note = check_peer(tree, loads, data)
                if peer_status:
                    status[peer] = peer_status
                    notes[peer] = note
                else:
                    parsers[peer] = (loads, data)
            if partial_peer and STREAM_PEER in names:
                status[STREAM_PEER] = NOT_RUN
            del tree

        def show_round(round_number, rounds, where=where):
            progress.show(f"{where}: round {round_number}/{rounds}" if round_number else f"{where}: calibrating")

        if args.gc == "off":
            gc.collect()
            gc.disable()
        try:
            seconds = measure(parsers, args.rounds, show_round)
        finally:
            gc.enable()
        del parsers
        row = {"name": name, "kind": kind, "size": size, "seconds": seconds, "status": status, "notes": notes}
        if kind == "stream":
            row["prefixes"] = len(data)
        rows.append(row)
        progress.clear()
        line = [name, format_size(size), format_time(seconds["taldo"])]
        line += [cell(row, peer) for peer in names + ["marshal"]]
        print(" | ".join(line), flush=True)
    progress.clear()

    print_notes(rows)

    results = {"title": title, "taldo": taldo.__version__, "python": sys.version.split()[0],
               "machine": machine_name(), "gc": args.gc, "clock": args.clock, "rounds": args.rounds,
               "options": options,
               "columns": names, "rows": rows}
    if args.json:
        args.json.write_text(json.dumps(results, indent=2, default=str))
    if args.plot:
        import plot
        plot.draw(results, args.plot)
        print(f"\nplot written to {args.plot}")


if __name__ == "__main__":
    main()
