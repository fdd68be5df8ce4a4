"""How much faster two interpreters with their own GIL parse than one.

Each worker is a sub-interpreter with its own GIL, on a thread of its own,
that parses one document CALLS times. The figure is the work of two workers
running at once against one worker alone, in the same wall time:

    speed-up = 2 * time(one worker) / time(two workers at once)

so 2.0 is perfect scaling on two free cores and 1.0 is none. Two threads of
one interpreter (which share one GIL) are timed the same way for comparison.
Every time is the minimum over the rounds; run it on a quiet machine.

    python bench/interpreters.py [--calls N] [--rounds R] [--float-mode M] DOC...

Needs Python 3.12 or newer (3.13's _interpreters, or 3.12's
_xxsubinterpreters).
"""
from __future__ import annotations

import argparse
import sys
import threading
import time

if sys.version_info >= (3, 13):
    import _interpreters as api

    def new_interpreter():
        return api.create(api.new_config("isolated"))

    def run(interpreter, code):
        failure = api.exec(interpreter, code)
        if failure is not None:
            raise RuntimeError(failure.formatted)
elif sys.version_info >= (3, 12):
    import _xxsubinterpreters as api

    def new_interpreter():
        return api.create(isolated=True)

    def run(interpreter, code):
        api.run_string(interpreter, code)
else:
    raise SystemExit("needs Python 3.12 or newer")

import taldo  # noqa: E402

SETUP = """
import taldo
data = open({path!r}, "rb").read()
for _ in range(3):
    taldo.from_json(data, float_mode={mode!r})
"""
WORK = """
for _ in range({calls}):
    taldo.from_json(data, float_mode={mode!r})
"""


def wall(targets):
    threads = [threading.Thread(target=t) for t in targets]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def measure(path, calls, rounds, mode):
    interpreters = [new_interpreter() for _ in range(2)]
    try:
        for interpreter in interpreters:
            run(interpreter, SETUP.format(path=path, mode=mode))
        work = WORK.format(calls=calls, mode=mode)
        data = open(path, "rb").read()

        def in_main():
            for _ in range(calls):
                taldo.from_json(data, float_mode=mode)

        one = two = main_one = main_two = float("inf")
        for _ in range(rounds):
            one = min(one, wall([lambda: run(interpreters[0], work)]))
            two = min(two, wall([lambda i=i: run(i, work) for i in interpreters]))
            main_one = min(main_one, wall([in_main]))
            main_two = min(main_two, wall([in_main, in_main]))
        return 2 * one / two, 2 * main_one / main_two, one / calls
    finally:
        for interpreter in interpreters:
            api.destroy(interpreter)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("docs", nargs="+")
    parser.add_argument("--calls", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--float-mode", default="float")
    args = parser.parse_args()
    print(f"Python {sys.version.split()[0]}, float_mode={args.float_mode!r}, {args.calls} calls per worker")
    print("document | ms per call | two own-GIL interpreters | two threads, one interpreter")
    print("--- | --- | --- | ---")
    for path in args.docs:
        interpreters, threads, per_call = measure(path, args.calls, args.rounds, args.float_mode)
        print(f"{path.rsplit('/', 1)[-1]} | {per_call * 1e3:.3f} | {interpreters:.2f}x | {threads:.2f}x")


if __name__ == "__main__":
    main()
