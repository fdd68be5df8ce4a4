"""Streams: a document fed in small pieces, as a language model writes it.

Three ways to have the value after every piece:

- taldo.StreamDecoder: one feed() per piece (then close());
- re-parsing everything so far with taldo.from_json(partial_mode=...) after
  every piece, as applications do today;
- the same with partial-json-parser (`pip install partial-json-parser`).

The pieces are 1 to 6 bytes long (seeded). Runs are interleaved (A B C A B C
...), each sample preceded by an untimed call, and every figure is the minimum
over the rounds. The re-parses cost the square of the document's size; above
--full-limit bytes they are timed on every k-th piece only and scaled by k,
which estimates the whole (each re-parse costs in proportion to its prefix,
and the sample is spread evenly over them).

    python bench/stream.py [--rounds R] [--sizes 1024,20480,...] [--mode on|trailing-strings]
"""
from __future__ import annotations

import argparse
import json
import random
import sys
import time

import taldo

try:
    from partial_json_parser import loads as pjp_loads
except ImportError:  # the peer is optional
    pjp_loads = None

WORDS = ["alpha", "beta", "gamma", "naïve café", "日本語テキスト", "emoji 🎉", 'a "quoted" word', "line\nbreak",
         "tab\there", "back\\slash", "Ελληνικά", "0.5 mm", "https://example.com/a/b?c=d"]


def model_like(size: int, seed: int = 1) -> bytes:
    """An indented document of objects, arrays, strings with escapes and
    non-ASCII text, integers, floats and literals, about `size` bytes."""
    rng = random.Random(seed)
    ascii_only = rng.random() < 0.3
    items, estimate = [], 40
    while estimate < size:
        item = {
            "id": rng.randrange(10 ** 6),
            "title": rng.choice(WORDS) + " " + str(rng.randrange(1000)),
            "score": round(rng.uniform(-1000, 1000), rng.randrange(1, 8)),
            "ratio": rng.random() * 10 ** rng.randrange(-5, 5),
            "tags": [rng.choice(WORDS) for _ in range(rng.randrange(0, 4))],
            "flags": {"ok": rng.choice([True, False]), "note": rng.choice([None, "n/a", "—"])},
            "text": " ".join(rng.choice(WORDS) for _ in range(rng.randrange(3, 30))),
        }
        items.append(item)
        estimate += len(json.dumps(item, indent=4, ensure_ascii=ascii_only).encode()) + 2
    return json.dumps({"model": "m-1", "results": items}, indent=2, ensure_ascii=ascii_only).encode()


def pieces(doc: bytes, seed: int = 2) -> list[bytes]:
    rng = random.Random(seed)
    out, i = [], 0
    while i < len(doc):
        n = rng.randrange(1, 7)
        out.append(doc[i:i + n])
        i += n
    return out


def run_decoder(chunks, mode, close=True):
    decoder = taldo.StreamDecoder(partial_mode=mode)
    feed = decoder.feed
    for chunk in chunks:
        feed(chunk)
    if close:
        decoder.close()


def reparse_ends(chunks, step):
    ends, total = [], 0
    for k, chunk in enumerate(chunks):
        total += len(chunk)
        if k % step == 0:
            ends.append(total)
    return ends


def run_reparse(doc, ends, mode):
    from_json = taldo.from_json
    for end in ends:
        try:
            from_json(doc[:end], partial_mode=mode)
        except ValueError:
            pass  # nothing yet but whitespace, or a cut top-level token


def run_pjp(text, ends):
    for end in ends:
        try:
            pjp_loads(text[:end])
        except Exception:  # noqa: BLE001 - the peer raises its own types on cut input
            pass


def timed(function, *args):
    start = time.perf_counter()
    function(*args)
    return time.perf_counter() - start


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--sizes", default="1024,16384,20480,262144,1048576")
    parser.add_argument("--mode", default="trailing-strings", choices=["on", "trailing-strings"])
    parser.add_argument("--full-limit", type=int, default=32768,
                        help="above this size the re-parses are sampled (default %(default)s bytes)")
    parser.add_argument("--samples", type=int, default=400, help="re-parses timed per sampled run")
    args = parser.parse_args(argv)

    print(f"python {sys.version.split()[0]}, taldo {taldo.__version__}, mode {args.mode!r}, "
          f"minimum of {args.rounds} interleaved rounds; pieces of 1-6 bytes")
    print("size | pieces | from_json once | decoder | decoder - from_json per piece | decoder per byte "
          "| re-parse from_json | re-parse partial-json-parser | from_json re-parse / decoder "
          "| pjp re-parse / decoder")
    print("--- | " * 9 + "---")
    for size in (int(s) for s in args.sizes.split(",")):
        doc = model_like(size)
        text = doc.decode()
        chunks = pieces(doc)
        step = 1 if len(doc) <= args.full_limit else max(1, len(chunks) // args.samples)
        ends = reparse_ends(chunks, step)
        text_ends = [len(doc[:e].decode(errors="ignore")) for e in ends]
        best = {}
        work = {
            "once": lambda: timed(taldo.from_json, doc),
            "decoder": lambda: timed(run_decoder, chunks, args.mode),
            "reparse": lambda: timed(run_reparse, doc, ends, args.mode) * step,
        }
        if pjp_loads is not None:
            work["pjp"] = lambda: timed(run_pjp, text, text_ends) * step
        for _ in range(args.rounds):
            for name, sample in work.items():
                if name == "once":
                    taldo.from_json(doc)
                    value = min(sample() for _ in range(20))
                else:
                    run_decoder(chunks[:200], args.mode, close=False)  # untimed call first
                    value = sample()
                best[name] = min(best.get(name, value), value)
        per_piece = (best["decoder"] - best["once"]) / len(chunks)
        pjp = best.get("pjp")
        decoder = best["decoder"]
        note = "" if step == 1 else f" (every {step}th, scaled)"
        pjp_time = "-" if pjp is None else f"{pjp * 1e3:,.1f} ms{note}"
        pjp_ratio = "-" if pjp is None else f"{pjp / decoder:,.0f}x"
        print(f"{len(doc):,} | {len(chunks):,} | {best['once'] * 1e6:,.0f} µs | {decoder * 1e6:,.0f} µs "
              f"| {per_piece * 1e6:.3f} µs | {decoder / len(doc) * 1e9:.1f} ns "
              f"| {best['reparse'] * 1e3:,.1f} ms{note} | {pjp_time} "
              f"| {best['reparse'] / decoder:,.0f}x | {pjp_ratio}")


if __name__ == "__main__":
    main()
