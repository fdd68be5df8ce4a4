"""The process-wide string cache: which strings share one object, and its
usage count."""
import gc
import json
import random
import subprocess
import sys
import textwrap

import pytest

import taldo

TABLE = 16384


@pytest.fixture(autouse=True)
def empty_cache():
    taldo.cache_clear()
    yield
    taldo.cache_clear()


def test_fresh_process_has_an_empty_cache():
    code = "import taldo; print(taldo.cache_usage(), taldo.cache_clear(), taldo.cache_usage())"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split() == ["0", "None", "0"]


@pytest.mark.parametrize("mode, keys_shared, values_shared", [
    ("all", True, True), (True, True, True),
    ("keys", True, False),
    ("none", False, False), (False, False, False),
])
def test_what_each_mode_shares(mode, keys_shared, values_shared):
    first, second = taldo.from_json(b'[{"key": "value"}, {"key": "value"}]', cache_mode=mode)
    [(k1, v1)], [(k2, v2)] = first.items(), second.items()
    assert (k1, v1) == (k2, v2)
    assert (k1 is k2) == keys_shared
    assert (v1 is v2) == values_shared


def test_strings_are_shared_across_calls():
    a = taldo.from_json(b'["across calls"]')[0]
    b = taldo.from_json(b'["across calls"]')[0]
    assert a is b
    assert taldo.cache_usage() >= 1


@pytest.mark.parametrize("text, cached", [
    ("", False), ("a", False), ("ab", True), ("x" * 63, True), ("x" * 64, False),
    ("é", True),  # two bytes of UTF-8
    ("中" * 21, True), ("中" * 22, False),  # 63 and 66 bytes
])
def test_cacheable_lengths_count_utf8_bytes(text, cached):
    document = json.dumps([text, text], ensure_ascii=False).encode()
    a, b = taldo.from_json(document)
    assert a == b == text
    if len(text) > 1:  # the interpreter shares "" and one-character strings itself
        assert (a is b) == cached
    assert taldo.cache_usage() == (1 if cached else 0)


def test_escaped_strings_share_with_plain_ones():
    a, b = taldo.from_json(b'["caf\\u00e9", "caf\xc3\xa9"]')
    assert a == "café" and a is b


def test_clear_empties_and_parsing_goes_on():
    taldo.from_json(b'{"one": "two", "three": ["four"]}')
    assert taldo.cache_usage() == 4
    taldo.cache_clear()
    assert taldo.cache_usage() == 0
    assert taldo.from_json(b'{"one": "two"}') == {"one": "two"}


def test_usage_is_bounded_and_values_stay_right():
    rng = random.Random(3)
    words = ["".join(rng.choices("abcdefghij", k=rng.randrange(2, 12))) for _ in range(60_000)]
    document = json.dumps(words).encode()
    assert taldo.from_json(document) == words
    # Replacements in full probe windows keep the count within one table.
    assert 0 < taldo.cache_usage() <= TABLE
    assert taldo.from_json(document) == words


def test_replaced_strings_stay_alive_while_referenced():
    # Far more distinct strings than entries: most get replaced in the table,
    # yet every returned object is intact.
    words = [f"w{i:05d}" for i in range(5 * TABLE)]
    values = taldo.from_json(json.dumps(words).encode())
    gc.collect()
    assert values == words
    assert all(sys.getrefcount(v) >= 2 for v in values[:100])


def test_cache_does_not_leak_or_free_too_much():
    document = json.dumps([f"s{i}" for i in range(3000)] + ["é" * 10] * 10).encode()
    taldo.from_json(document)
    gc.collect()
    blocks = sys.getallocatedblocks()
    for _ in range(200):
        taldo.from_json(document)
    taldo.cache_clear()
    for _ in range(200):
        taldo.from_json(document)
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 200


def test_failing_call_gives_its_cache_back():
    with pytest.raises(ValueError):
        taldo.from_json(b'["ab", x]')
    assert taldo.cache_usage() >= 1


def test_threads_each_borrow_their_own_instance():
    code = textwrap.dedent("""
        import threading, taldo
        document = ('[' + ','.join('"k%d"' % (i % 500) for i in range(20000)) + ']').encode()
        expected = ['k%d' % (i % 500) for i in range(20000)]
        failures = []
        def work():
            for _ in range(30):
                if taldo.from_json(document) != expected:
                    failures.append(1)
                taldo.cache_usage()
                taldo.cache_clear()
        threads = [threading.Thread(target=work) for _ in range(12)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(len(failures), taldo.cache_usage() <= 8 * 16384)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split() == ["0", "True"]
