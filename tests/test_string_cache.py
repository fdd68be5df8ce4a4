"""The string cache: which strings share one object, and its
usage count."""
import gc
import json
import random
import subprocess
import sys
import textwrap

import pytest

import taldo

from testing_hooks import hooks

TABLE = 16384

# Where the overlapping loads of the hash and the byte comparison meet.
BOUNDARY_POSITIONS = (0, 1, 2, 3, 4, 7, 8, 15, 16, 23, 24, 31, 32, 47, 48, 62)


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


@pytest.mark.parametrize("n", range(2, 64))
def test_byte_comparison_sees_every_byte(n):
    base = bytes(range(65, 65 + n))
    assert hooks.same_short_bytes(base, bytes(base))
    for i in range(n):
        for flip in (0x01, 0x80):
            other = bytearray(base)
            other[i] ^= flip
            assert not hooks.same_short_bytes(base, bytes(other)), (n, i, flip)


def near_identical(n, fill="k"):
    """Strings of n bytes that differ from one another in one byte only, at
    the ends and where the word loads meet."""
    base = fill * n
    variants = {base}
    for i in BOUNDARY_POSITIONS + (n - 1, n - 2, n - 8, n - 16):
        if 0 <= i < n:
            variants.add(base[:i] + "#" + base[i + 1:])
    return sorted(variants)


@pytest.mark.parametrize("n", range(2, 64))
def test_near_identical_strings_stay_apart_and_recur_as_one(n):
    words = near_identical(n)
    document = json.dumps([words, {w: i for i, w in enumerate(words)}, words]).encode()
    first, keys, again = taldo.from_json(document)
    assert [first, keys, again] == json.loads(document)
    assert all(a is b for a, b in zip(first, again))
    assert all(k is w for k, w in zip(keys, first))


@pytest.mark.parametrize("text", [
    "é" * 5, "aé", "éa", "a" * 7 + "é", "é" + "a" * 14,  # 2-byte characters around the word edges
    "中" * 3, "中文" * 10 + "字",  # 3-byte characters: 9 and 63 bytes
    "😀" * 15, "a😀" * 12 + "abc",  # 4-byte characters: 60 and 63 bytes
    "\x7f" * 3 + "é",
])
def test_non_ascii_strings_are_shared(text):
    # Plain and escaped spellings of the same string meet in the cache.
    plain = json.dumps(text, ensure_ascii=False)
    escaped = json.dumps(text, ensure_ascii=True)
    document = f"[{plain}, {escaped}, {{{plain}: {escaped}}}]".encode()
    a, b, mapping = taldo.from_json(document)
    [(key, value)] = mapping.items()
    assert a == b == key == value == text
    assert a is b is key is value


def test_non_ascii_and_ascii_lookalikes_stay_apart():
    # The same number of bytes, one spelled in ASCII, one not.
    words = ["ab", "é", "abcd", "éé", "a" * 63, "中" * 21, "aaé" * 9, "a" * 27]
    document = json.dumps(words * 3, ensure_ascii=False).encode()
    values = taldo.from_json(document)
    assert values == words * 3
    n = len(words)
    assert all(values[i] is values[i + n] is values[i + 2 * n] for i in range(n))


def distinct_words(count, seed):
    rng = random.Random(seed)
    alphabet = "abcdefghijklmnopqrstuvwxyz0123456789"
    return [f"{i}-" + "".join(rng.choices(alphabet, k=rng.randrange(6, 38))) for i in range(count)]


def test_a_run_of_new_strings_then_recurring_ones():
    # Far more new strings than the table holds, then a small vocabulary over
    # and over: every value is right, and once the vocabulary recurs, its
    # strings are shared again.
    vocabulary = [f"word{i}" for i in range(20)]
    words = distinct_words(3 * TABLE, seed=5) + vocabulary * 500
    values = taldo.from_json(json.dumps(words).encode())
    assert values == words
    tail = values[-4 * len(vocabulary):]
    shared = sum(a is b for a, b in zip(tail, tail[len(vocabulary):]))
    # Two words with one home entry in a full window take it from each other
    # in turn; a cache that stayed quiet would share hardly any.
    assert shared >= 0.75 * len(tail[len(vocabulary):])
    assert 0 < taldo.cache_usage() <= TABLE


def test_every_call_shares_its_recurring_strings_from_the_start():
    taldo.from_json(json.dumps(distinct_words(3 * TABLE, seed=6)).encode())
    first, second = taldo.from_json(b'["fresh one", "fresh one"]')
    assert first is second


@pytest.mark.parametrize("seed", range(4))
def test_mixed_documents_equal_json_loads(seed):
    # Keys and values that recur at all distances, new ones, non-ASCII ones and
    # ones outside the cached lengths, over more calls than one.
    rng = random.Random(seed)
    pool = distinct_words(200, seed) + ["é" * rng.randrange(1, 40) for _ in range(50)] + ["x" * 64, "y", ""]
    for _ in range(3):
        rows = []
        for _ in range(3000):
            fresh = distinct_words(1, rng.random())[0]
            rows.append({rng.choice(pool): rng.choice(pool), fresh: [fresh, rng.choice(pool)]})
        document = json.dumps(rows, ensure_ascii=rng.random() < 0.5).encode()
        assert taldo.from_json(document) == json.loads(document)
        assert taldo.from_json(document, cache_mode="keys") == json.loads(document)
    assert taldo.cache_usage() <= TABLE


def test_from_json_caches_no_cut_string():
    text = b'["' + b"abcdefghij" * 3 + b'", "' + b"xyz" * 9 + b'"]'
    taldo.cache_clear()
    for i in range(1, len(text)):
        taldo.from_json(text[:i], partial_mode="trailing-strings")
    assert taldo.cache_usage() == 2
    taldo.cache_clear()
    # A complete string at the very end still goes through the cache; one
    # whose last quote is escaped is cut.
    taldo.from_json(b'["' + b"abcdefghij" * 2 + b'"', partial_mode="trailing-strings")
    assert taldo.cache_usage() == 1
    assert taldo.from_json(b'["cut at \\\\\\"', partial_mode="trailing-strings") == ['cut at \\"']
    assert taldo.cache_usage() == 1
    assert taldo.from_json(b'["whole \\\\"', partial_mode="trailing-strings") == ["whole \\"]
    assert taldo.cache_usage() == 2
