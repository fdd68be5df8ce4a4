"""Memory running out in the middle of a call, in the process (an address-space
limit) and in taldo's own allocations (the n-th one made to fail): the call
ends with a value, MemoryError or the internal fault, and the process lives on.
"""
import gc
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import taldo

from testing_hooks import canonical, hooks as internals

OPTION_SETS = [
    {}, {"cache_mode": "none"}, {"float_mode": "decimal"}, {"float_mode": "lossless-float"},
    {"catch_duplicate_keys": True}, {"partial_mode": "trailing-strings"},
]

# Runs in a child process: documents of 10 to 40 MB, each in a few modes,
# under address-space limits a little above what the child already uses.
CHILD = textwrap.dedent("""
    import resource, sys, taldo
    sys.unraisablehook = lambda unraisable: None
    strings = b"[" + b'"text",' * 2_000_000 + b'"x\\\\ny", 1.25]'
    escaped = b'["' + b"ab\\\\n" * 5_000_000 + b'"]'
    numbers = b"[" + b"1.5e3, 12345678901234567890123, -7," * 500_000 + b"0]"
    objects = b"[" + b'{"k": [true, null], "v": "value", "n": 2.5},' * 300_000 + b"{}]"
    long_key = b"k" * 10_000_000
    repeated = b'{"' + long_key + b'": 1, "' + long_key + b'": 2}'
    runs = [
        (strings, {}), (strings, {"cache_mode": "none"}), (escaped, {"partial_mode": "trailing-strings"}),
        (numbers, {"float_mode": "decimal"}), (numbers, {"float_mode": "lossless-float"}),
        (objects, {"catch_duplicate_keys": True}), (objects, {"partial_mode": "on"}),
        (repeated, {"catch_duplicate_keys": True}),
    ]
    page = resource.getpagesize()
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    outcomes = set()
    for document, options in runs:
        for margin in (2, 16):
            with open("/proc/self/statm") as statm:
                used = int(statm.read().split()[0]) * page
            resource.setrlimit(resource.RLIMIT_AS, (used + (margin << 20), hard))
            try:
                taldo.from_json(document, **options)
                outcome = "value"
            except MemoryError:
                outcome = "MemoryError"
            except ValueError as error:
                outcome = "ValueError" if "MemoryError" in str(error) or "duplicate" in str(error) else repr(error)
            except BaseException as error:
                outcome = type(error).__name__
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            outcomes.add(outcome)
    print(sorted(outcomes))
""")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs an enforced address-space limit")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer reserves far more address space than any limit leaves")
def test_exhausted_address_space_never_ends_the_process():
    pytest.importorskip("resource")
    child = subprocess.run([sys.executable, "-c", CHILD],
                           capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stderr == ""
    outcomes = eval(child.stdout)
    assert set(outcomes) <= {"value", "MemoryError", "ValueError", "InternalFault"}, outcomes
    assert "InternalFault" in outcomes or "MemoryError" in outcomes


CODES = {
    "cache_mode": {"all": 0, "keys": 1, "none": 2},
    "float_mode": {"float": 0, "decimal": 1, "lossless-float": 2},
    "partial_mode": {"off": 0, "on": 1, "trailing-strings": 2},
}

# Between them these reach every native allocation of a call: the scratch
# buffer (escapes, non-ASCII escapes), the element stack (more than 64
# elements), the string cache, the key check's table and copied keys, a long
# integer's limbs, LosslessFloat texts, and the error's text and message.
LONG_KEY = b"x" * 300 + b"\\n"
DOCUMENTS = [
    b'{"k\\u00e9y": [' + b",".join(b"%d" % i for i in range(100)) + b'], "s": "line\\nbreak \\u4e2d",'
    b' "big": -' + b"9" * 400 + b', "f": [1.5, -2e-3, -Infinity, 3.25], "o": {'
    + b",".join(b'"k%d\\t": [%d]' % (i, i) for i in range(12)) + b', "plain": "text"}}',
    b'{"a": 1, "' + LONG_KEY + b'": 2, "b\\"": [3], "' + LONG_KEY + b'": 4}',
    b'[1, 2, "ab\\n", {"k": [' + b"7," * 80 + b"x]}]",
]


def parse_failing(document, fail_at, keep_failing, options):
    return internals.parse_failing(
        document, fail_at, keep_failing,
        CODES["cache_mode"][options.get("cache_mode", "all")], options.get("catch_duplicate_keys", False),
        CODES["float_mode"][options.get("float_mode", "float")],
        CODES["partial_mode"][options.get("partial_mode", "off")])


def public_outcome(document, options):
    try:
        return "value", canonical(taldo.from_json(document, **options))
    except ValueError as error:
        return "error", str(error)


@pytest.mark.parametrize("keep_failing", [False, True], ids=["one-fails", "all-fail"])
@pytest.mark.parametrize("options", OPTION_SETS, ids=repr)
@pytest.mark.parametrize("document", DOCUMENTS, ids=["values", "duplicate-key", "malformed"])
def test_every_failing_native_allocation_ends_the_call_cleanly(document, options, keep_failing):
    expected = public_outcome(document, options)
    outcome, payload, failed = parse_failing(document, -1, False, options)
    assert not failed and (outcome, canonical(payload)) == expected
    del payload
    gc.collect()
    live = internals.live_native_blocks()
    fail_each_allocation(document, options, keep_failing, expected, live)  # makes what is made once
    gc.collect()
    python_blocks = sys.getallocatedblocks()
    fail_each_allocation(document, options, keep_failing, expected, live)
    gc.collect()
    assert internals.live_native_blocks() == live
    assert sys.getallocatedblocks() - python_blocks < 10


def fail_each_allocation(document, options, keep_failing, expected, live):
    failures = set()
    for fail_at in range(1000):
        outcome, payload, failed = parse_failing(document, fail_at, keep_failing, options)
        if not failed:
            # Every allocation of the call came before this one.
            assert (outcome, canonical(payload)) == expected
            break
        if outcome == "fault":
            assert payload.startswith("out of memory"), payload
        elif outcome == "error" and payload is None:
            assert expected[0] == "error"  # its message could not be composed
        else:
            # An allocation the call can do without (the string cache's table).
            assert (outcome, canonical(payload)) == expected
        failures.add(outcome)
        del payload
        assert internals.live_native_blocks() == live, fail_at
    else:
        pytest.fail("the call never ran out of allocations to fail")
    assert fail_at > 0 and "fault" in failures


# What a throw, a catch or operator new (whose nothrow form throws and catches
# inside) needs from the C++ runtime.
THROWING_IMPORTS = ("__cxa_throw", "__cxa_allocate_exception", "__cxa_begin_catch", "_Znwm", "_Znam",
                    "__throw_bad_alloc", "__throw_length_error", "__throw_bad_array_new_length")


@pytest.mark.skipif(not sys.platform.startswith("linux") or shutil.which("nm") is None,
                    reason="needs nm and an ELF module")
def test_module_takes_nothing_that_throws_from_the_runtime():
    extension = taldo.from_json.__self__.__file__
    listed = subprocess.run(["nm", "-D", "--undefined-only", extension], capture_output=True, text=True,
                            check=True).stdout
    imported = [line.split()[-1] for line in listed.splitlines() if line.strip()]
    assert [name for name in imported if any(part in name for part in THROWING_IMPORTS)] == []
