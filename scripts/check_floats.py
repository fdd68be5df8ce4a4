#!/usr/bin/env python3
"""Checks taldo's float conversion against Python's float(), bit for bit, on
many random number texts (10 million by default). Not part of the test suite:
run it by hand after touching the float conversion.

    python3 scripts/check_floats.py [--count N] [--seed S]

Texts are parsed in batches, as one JSON array per batch. Exits with status 1
and prints the first mismatches if any text converts differently.
"""

import argparse
import math
import pathlib
import random
import struct
import sys
import time

import taldo

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from number_texts import exact_midpoint, short_tie  # noqa: E402

BATCH = 100_000


def bits(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def digits(rng: random.Random, n: int) -> str:
    return rng.choice("123456789") + "".join(rng.choices("0123456789", k=n - 1))


def near_double(rng: random.Random) -> str:
    """A random double printed with a random number of digits (shortest repr,
    or %.Ne for N up to 25), which lands close to rounding boundaries."""
    x = struct.unpack("<d", struct.pack("<Q", rng.getrandbits(63)))[0]
    if not math.isfinite(x):
        x = 1.5
    return repr(x) if rng.random() < 0.5 else "%.*e" % (rng.randint(0, 25), x)


def special_range(rng: random.Random) -> str:
    x = rng.choice([rng.uniform(0, 2.3e-308), rng.uniform(1.79e308, 1.7976931348623157e308),
                    5e-324 * rng.randint(1, 10_000), rng.uniform(0, 1e-320)])
    return repr(x) if rng.random() < 0.5 else "%.*e" % (rng.randint(0, 25), x)


def random_shape(rng: random.Random) -> str:
    d = digits(rng, rng.randint(1, 40))
    point = rng.randint(1, len(d))
    text = d[:point] + ("." + d[point:] if point < len(d) else "")
    if rng.random() < 0.15:
        text = "0." + "0" * rng.randint(0, 30) + d
    if "." not in text or rng.random() < 0.7:
        text += rng.choice("eE") + rng.choice(["", "+", "-"]) + str(rng.randint(0, 350))
    return text


def random_text(rng: random.Random) -> str:
    r = rng.random()
    if r < 0.01:
        text = exact_midpoint(rng)
    elif r < 0.08:
        text = short_tie(rng, -25, 12)
    elif r < 0.30:
        text = near_double(rng)
    elif r < 0.38:
        text = special_range(rng)
    else:
        text = random_shape(rng)
    return rng.choice(["", "", "-"]) + text


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=10_000_000)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    checked = 0
    mismatches = []
    started = time.monotonic()
    while checked < args.count:
        texts = [random_text(rng) for _ in range(min(BATCH, args.count - checked))]
        values = taldo.from_json(("[" + ",".join(texts) + "]").encode())
        for text, value in zip(texts, values):
            if type(value) is not float or bits(value) != bits(float(text)):
                mismatches.append((text, value, float(text)))
        checked += len(texts)
        print(f"\r{checked:,} checked, {len(mismatches)} mismatches, {time.monotonic() - started:.0f} s",
              end="", file=sys.stderr, flush=True)
    print(file=sys.stderr)
    for text, got, expected in mismatches[:20]:
        print(f"{text[:120]}: taldo {got!r}, float() {expected!r}")
    print(f"{checked} texts, {len(mismatches)} mismatches")
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
