"""Generated benchmark documents: shapes the real corpus lacks or has little of.

Each generator is seeded, so every run times the same bytes.
"""
from __future__ import annotations

import json
import random


def dumps(value, ensure_ascii=False) -> bytes:
    return json.dumps(value, ensure_ascii=ensure_ascii, separators=(",", ":")).encode()


def literals(rng):
    return dumps([rng.choice([True, False, None]) for _ in range(200_000)])


def nested_literal_arrays(rng):
    return dumps([[rng.choice([True, False, None]) for _ in range(rng.randrange(0, 12))] for _ in range(50_000)])


def deep_nesting(rng):
    depth = 199
    return b"[" * depth + b"true" + b"]" * depth


def tiny_document(rng):
    return b'{"id":1,"ok":true}'


# Documents so small that the cost of one call (binding, options, set-up and
# release) is most of what is timed.
def empty_object(rng):
    return b"{}"


def message_200(rng):
    return (b'{"id":48213,"event":"order.updated","user":{"name":"Ada Lovelace","verified":true},'
            b'"items":[{"sku":"A-1","qty":2,"price":19.99},{"sku":"B-22","qty":1,"price":5.5}],'
            b'"total":45.48,"tags":["priority","gift"],"note":null}')


def scalar_integer(rng):
    return b"12345"


def scalar_string(rng):
    return b'"hello"'


def long_ascii_strings(rng):
    alphabet = "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.,;-_/"
    return dumps(["".join(rng.choices(alphabet, k=rng.randrange(200, 2000))) for _ in range(2_000)])


def long_non_ascii_strings(rng):
    alphabet = "aébçdéfgñöüßàèìòù中文字符テキスト한국어Ελληνικά😀🎉"
    return dumps(["".join(rng.choices(alphabet, k=rng.randrange(200, 2000))) for _ in range(2_000)])


def escaped_strings(rng):
    alphabet = 'ab"\\/\n\t\r\b\f\u0001é中😀'
    return dumps(["".join(rng.choices(alphabet, k=rng.randrange(20, 400))) for _ in range(5_000)], ensure_ascii=True)


def short_strings(rng):
    words = ["id", "name", "value", "type", "created_at", "a", "", "url", "description", "x" * 70]
    return dumps([rng.choice(words) for _ in range(200_000)])


def repeated_key_objects(rng):
    return dumps([{"id": i, "name": f"user{i}", "active": i % 3 == 0, "tags": ["a", "b"], "score": None}
                  for i in range(50_000)])


def doubles(rng):
    return dumps([rng.uniform(-1e6, 1e6) * 10 ** rng.randrange(-20, 20) for _ in range(1_000_000)])


def integers(rng):
    return dumps([rng.randrange(-(2 ** 63), 2 ** 63) >> rng.randrange(0, 63) for _ in range(1_000_000)])


def big_integers(rng):
    return dumps([rng.randrange(10 ** 30, 10 ** 60) for _ in range(50_000)])


GENERATORS = {
    "literals": literals,
    "nested-literal-arrays": nested_literal_arrays,
    "deep-nesting": deep_nesting,
    "tiny-document": tiny_document,
    "empty-object": empty_object,
    "message-200": message_200,
    "scalar-integer": scalar_integer,
    "scalar-string": scalar_string,
    "long-ascii-strings": long_ascii_strings,
    "long-non-ascii-strings": long_non_ascii_strings,
    "escaped-strings": escaped_strings,
    "short-strings": short_strings,
    "repeated-key-objects": repeated_key_objects,
    "doubles": doubles,
    "integers": integers,
    "big-integers": big_integers,
}


def generated():
    """(name, bytes) for every generated document."""
    for name, generator in GENERATORS.items():
        yield name, generator(random.Random(name))
