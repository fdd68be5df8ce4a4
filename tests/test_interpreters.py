"""Sub-interpreters, threads and fork: each interpreter keeps its own string
cache and classes, and no first-use lookup can hang.

Every case runs in a fresh process: what it checks happens once per process
(or per interpreter), and a fault here is a crash or a hang."""
import subprocess
import sys
import textwrap

import pytest

# Runs `code` in a new interpreter of one kind and destroys it; raises if the
# code raised. Legacy interpreters share the main one's allocator and GIL,
# isolated ones have their own allocator, and own-GIL ones run in parallel
# with the others.
INTERPRETERS = '''
import sys
KINDS = []
if sys.version_info >= (3, 13):
    import _interpreters as api
    CONFIGS = {
        "legacy": api.new_config("legacy"),
        "isolated": api.new_config("isolated", gil="shared"),
        "own-gil": api.new_config("isolated"),
    }
    KINDS = list(CONFIGS)

    def run_in(kind, code):
        interpreter = api.create(CONFIGS[kind])
        try:
            failure = api.exec(interpreter, code)
        finally:
            api.destroy(interpreter)
        assert failure is None, failure.formatted
elif sys.version_info >= (3, 12):
    import _testcapi
    # The decimal module of Python 3.12.1 itself crashes in isolated
    # interpreters unless the main interpreter imported it first.
    import decimal
    ISOLATED = dict(use_main_obmalloc=False, allow_fork=False, allow_exec=False, allow_threads=True,
                    allow_daemon_threads=False, check_multi_interp_extensions=True)
    CONFIGS = {
        "legacy": dict(use_main_obmalloc=True, allow_fork=True, allow_exec=True, allow_threads=True,
                       allow_daemon_threads=True, check_multi_interp_extensions=False, gil=1),
        "isolated": dict(ISOLATED, gil=1),
        "own-gil": dict(ISOLATED, gil=2),
    }
    KINDS = list(CONFIGS)

    def run_in(kind, code):
        # The traceback, if any, goes to stderr.
        assert _testcapi.run_in_subinterp_with_config(code, **CONFIGS[kind]) == 0, kind
else:
    try:
        import _xxsubinterpreters as api
    except ImportError:
        api = None
    if api is not None:
        KINDS = ["legacy"]

        def run_in(kind, code):
            interpreter = api.create()
            try:
                api.run_string(interpreter, code)
            finally:
                api.destroy(interpreter)
'''


def run_python(code, timeout=120):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            timeout=timeout)
    if result.stdout.startswith("skip:"):
        pytest.skip(result.stdout[5:].strip())
    assert result.returncode == 0, result.stderr
    return result.stdout


def run_with_interpreters(kind, body):
    """Runs `body` in a fresh process where run_in(kind, code) works; skips
    where this Python lacks that kind of interpreter."""
    check = f"if {kind!r} not in KINDS:\n    print('skip: no {kind} interpreters here')\n    raise SystemExit\n"
    return run_python(INTERPRETERS + check + textwrap.dedent(body))


ALL_KINDS = ["legacy", "isolated", "own-gil"]


@pytest.mark.parametrize("kind", ALL_KINDS)
def test_strings_of_an_ended_interpreter_are_not_released_by_another(kind):
    out = run_with_interpreters(kind, f'''
        import taldo
        taldo.from_json(b"[]")
        run_in({kind!r}, "import taldo; taldo.from_json(b'[\\"hello\\"]')")
        taldo.cache_clear()
        print("ok")
    ''')
    assert out.split() == ["ok"]


# What each interpreter does: the cache in every mode, the exact float modes,
# and a second module object, which shares the first one's class and cache.
WORK = '''
import decimal, sys, taldo
document = b'{"key": ["value", 1.5, "value", "%d"], "other": 2.25}'
usage = taldo.cache_usage()
for mode in ("float", "decimal", "lossless-float"):
    for cache_mode in ("all", "keys", "none"):
        value = taldo.from_json(document, float_mode=mode, cache_mode=cache_mode)
        strings = value["key"][0], value["key"][2]
        assert (strings[0] is strings[1]) == (cache_mode == "all"), (mode, cache_mode)
d = taldo.from_json(document, float_mode="decimal")
assert type(d["key"][1]) is decimal.Decimal and d["other"] == decimal.Decimal("2.25")
exact = taldo.from_json(document, float_mode="lossless-float")["key"][1]
assert type(exact) is taldo.LosslessFloat and exact.as_decimal() == decimal.Decimal("1.5")
assert taldo.cache_usage() > usage
first = taldo
del sys.modules["taldo"]
import taldo
assert taldo is not first and taldo.LosslessFloat is first.LosslessFloat
assert taldo.cache_usage() == first.cache_usage() > 0
'''


@pytest.mark.parametrize("kind", ALL_KINDS)
def test_interpreters_each_keep_their_own_cache_and_classes(kind):
    out = run_with_interpreters(kind, f'''
        import taldo
        WORK = {WORK!r}
        main_strings = taldo.from_json(b'["main one", "main two"]')
        main_class = taldo.LosslessFloat
        usage = taldo.cache_usage()
        for round in range(2):
            # A fresh interpreter starts with an empty cache of its own.
            run_in({kind!r}, "import taldo; assert taldo.cache_usage() == 0")
            run_in({kind!r}, WORK % round)
            # The interpreter is gone with everything it made; the main one's
            # cache and class are as they were.
            assert taldo.cache_usage() == usage
            assert taldo.LosslessFloat is main_class
            exec(WORK % round)
            taldo.cache_clear()
            assert taldo.cache_usage() == 0
            assert taldo.from_json(b'["main one", "main two"]') == main_strings
            usage = taldo.cache_usage()
        print("ok")
    ''')
    assert out.split() == ["ok"]


def test_own_gil_interpreters_parse_at_once():
    out = run_with_interpreters("own-gil", '''
import threading, taldo
CODE = """
import sys, taldo
keys = ["key%d" % (i % 300) for i in range(3000)]
document = ("[" + ",".join('{"%s": [%d.5, "v%d"]}' % (k, i, i % 50) for i, k in enumerate(keys)) + "]").encode()
# The decimal module of Python 3.12.1 itself crashes when two interpreters with
# their own GIL use it at once.
modes = ("float", "lossless-float") + (("decimal",) if sys.version_info >= (3, 13) else ())
for round in range(30):
    for mode in modes:
        value = taldo.from_json(document, float_mode=mode)
        assert [next(iter(item)) for item in value] == keys
        assert str(value[7][keys[7]][0]) == "7.5"
    if round % 10 == 0:
        taldo.cache_clear()
"""
failures = []
def work():
    try:
        run_in("own-gil", CODE)
    except BaseException as e:
        failures.append(e)
threads = [threading.Thread(target=work) for _ in range(2)]
for t in threads: t.start()
for t in threads: t.join()
assert not failures, failures
taldo.from_json(b'["main", 1.5]', float_mode="decimal")
taldo.cache_clear()
print("ok")
''')
    assert out.split() == ["ok"]


def test_fork_during_decimal_lookup():
    # The child is forked while another thread of the parent is inside the
    # first lookup of decimal.Decimal; the child must look it up itself.
    out = run_python('''
import os, signal, sys, threading, time, types
import decimal as real_decimal
import taldo
if not hasattr(os, "fork"):
    print("skip: no fork")
    raise SystemExit
parent = os.getpid()
inside = threading.Event()
def __getattr__(name):
    if name != "Decimal":
        raise AttributeError(name)
    if os.getpid() == parent:
        inside.set()
        time.sleep(1)
    return real_decimal.Decimal
slow = types.ModuleType("decimal")
slow.__getattr__ = __getattr__
sys.modules["decimal"] = slow
thread = threading.Thread(target=taldo.from_json, args=(b"1.5",), kwargs={"float_mode": "decimal"})
thread.start()
inside.wait()
import warnings
warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads
pid = os.fork()
if pid == 0:
    signal.alarm(20)  # a hung child ends here
    value = taldo.from_json(b"[2.5]", float_mode="decimal")
    os._exit(0 if value == [real_decimal.Decimal("2.5")] else 1)
_, status = os.waitpid(pid, 0)
thread.join()
print(os.waitstatus_to_exitcode(status))
''')
    assert out.split() == ["0"]


def test_decimal_lookup_that_parses():
    # decimal.Decimal is looked up once; a lookup that itself parses in
    # decimal mode finishes first, and its result is the one kept.
    out = run_python('''
import sys, types
import decimal as real_decimal
import taldo
inner = []
def __getattr__(name):
    if name != "Decimal":
        raise AttributeError(name)
    if not inner:
        inner.append(None)  # the inner lookup returns at once
        inner[0] = taldo.from_json(b"[2.5]", float_mode="decimal")
    return real_decimal.Decimal
fake = types.ModuleType("decimal")
fake.__getattr__ = __getattr__
sys.modules["decimal"] = fake
outer = taldo.from_json(b"[1.5]", float_mode="decimal")
print(outer, inner, type(taldo.LosslessFloat(b"3.5").as_decimal()) is real_decimal.Decimal)
''', timeout=60)
    assert out.strip() == "[Decimal('1.5')] [[Decimal('2.5')]] True"
