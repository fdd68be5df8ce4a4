"""Memory exhaustion at any point of a call: a clean exception, never a crash,
a leak or a wrong value."""
import gc
import sys

import pytest

import taldo

testcapi = pytest.importorskip("_testcapi")
if not hasattr(testcapi, "set_nomemory"):
    pytest.skip("this interpreter cannot simulate memory exhaustion", allow_module_level=True)

DOCUMENT = (b'{"key": [1, 2.5, "text", "caf\\u00e9", 123456789012345678901234567890, {"a": null}],'
            b' "other": [true, "\xe4\xb8\xad\xe6\x96\x87", -1e400, "' + b"x" * 100 + b'"]}')


def fail_allocation(n, call):
    """Runs call() with the n-th memory allocation failing."""
    testcapi.set_nomemory(n, n + 1)
    try:
        return call(), None
    except BaseException as exc:  # noqa: B902 - the internal fault is a BaseException
        return None, exc
    finally:
        testcapi.remove_mem_hooks()


@pytest.mark.parametrize("options", [
    {}, {"cache_mode": "none"}, {"float_mode": "decimal"}, {"float_mode": "lossless-float"},
    {"catch_duplicate_keys": True}, {"partial_mode": "trailing-strings"},
])
def test_every_failing_allocation_is_reported_cleanly(options, monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: reported.append(unraisable.exc_type))
    expected = taldo.from_json(DOCUMENT, **options)
    outcomes = set()
    for n in range(150):
        value, exc = fail_allocation(n, lambda: taldo.from_json(DOCUMENT, **options))
        if exc is None:
            assert value == expected if options.get("float_mode") != "lossless-float" else True
            outcomes.add("value")
        elif type(exc).__name__ == "InternalFault":
            # A broken invariant: not an Exception, so `except Exception` lets it through.
            assert not isinstance(exc, Exception)
            assert str(exc).startswith("could not")
            outcomes.add("fault")
        else:
            # The interpreter's own, outside the walk or while a Decimal is
            # made: never disguised as a parse error.
            assert type(exc) is MemoryError, exc
            outcomes.add("memory error")
    assert "fault" in outcomes
    assert taldo.from_json(DOCUMENT, **options) == expected or options.get("float_mode") == "lossless-float"
    assert all(kind is MemoryError for kind in reported)


def test_allocation_failures_leak_nothing(monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
    for n in range(150):
        fail_allocation(n, lambda: taldo.from_json(DOCUMENT))
    gc.collect()
    blocks = sys.getallocatedblocks()
    for _ in range(3):
        for n in range(150):
            fail_allocation(n, lambda: taldo.from_json(DOCUMENT))
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 100
