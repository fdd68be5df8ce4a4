"""JSON Lines parsed in parallel with a process pool, against one process.

Makes LINES JSON Lines (API-like records with prices, tags and nested
objects), then times, for every float mode:

- a plain loop over the lines in this process;
- concurrent.futures.ProcessPoolExecutor with 1 and 2 workers, each task a
  chunk of CHUNK lines, the parsed values pickled back to this process;
- the same pools with tasks that keep the values and send back only a
  summary (here the number of records with a price), as a job that filters
  or aggregates does.

Each figure is lines per second, the best of ROUNDS runs; the pools are
started (and warmed with one task per worker) before they are timed.

    python bench/processes.py [--lines N] [--chunk N] [--rounds R]
"""
from __future__ import annotations

import argparse
import concurrent.futures
import json
import random
import time

import taldo

FLOAT_MODES = ["float", "decimal", "lossless-float"]


def make_lines(count: int) -> list[bytes]:
    rng = random.Random(1)
    lines = []
    for i in range(count):
        record = {
            "id": i,
            "user": {"name": f"user{rng.randrange(10_000)}", "score": round(rng.uniform(0, 100), 3)},
            "price": round(rng.uniform(0, 1000), 2),
            "tags": rng.sample(["red", "green", "blue", "sale", "new", "used"], 3),
            "ratios": [round(rng.random(), 6) for _ in range(4)],
            "active": rng.random() < 0.5,
        }
        lines.append(json.dumps(record).encode())
    return lines


def parse_chunk(lines: list[bytes], float_mode: str) -> list:
    return [taldo.from_json(line, float_mode=float_mode) for line in lines]


def count_priced(lines: list[bytes], float_mode: str) -> int:
    return sum("price" in value for value in parse_chunk(lines, float_mode))


def best(rounds: int, run) -> float:
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--lines", type=int, default=200_000)
    parser.add_argument("--chunk", type=int, default=2_000)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    lines = make_lines(args.lines)
    chunks = [lines[i:i + args.chunk] for i in range(0, len(lines), args.chunk)]
    print(f"{len(lines):,} lines, {sum(map(len, lines)) / len(lines):.0f} bytes each, chunks of {args.chunk}")
    print("float_mode | one process | values back: 1 worker | 2 workers | summary back: 1 worker | 2 workers")
    print("--- | --- | --- | --- | --- | ---")
    for mode in FLOAT_MODES:
        row = [f"{len(lines) / best(args.rounds, lambda: parse_chunk(lines, mode)):,.0f}"]
        for task in (parse_chunk, count_priced):
            for workers in (1, 2):
                with concurrent.futures.ProcessPoolExecutor(workers) as pool:
                    list(pool.map(task, chunks[:workers], [mode] * workers))  # start and warm the workers
                    seconds = best(args.rounds, lambda: list(pool.map(task, chunks, [mode] * len(chunks))))
                row.append(f"{len(lines) / seconds:,.0f}")
        print(f"{mode} | " + " | ".join(row))


if __name__ == "__main__":
    main()
