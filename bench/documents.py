"""Generated benchmark documents: shapes the real corpus lacks or has little of.

Each generator is seeded, so every run times the same bytes.
"""
from __future__ import annotations

import decimal
import json
import math
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


def generated(wanted=None):
    """(name, bytes) for every generated document, or for those whose name
    `wanted(name)` accepts."""
    for name, generator in GENERATORS.items():
        if wanted is None or wanted(name):
            yield name, generator(random.Random(name))


# --- numbers that test what a peer returns ----------------------------------------
#
# The benchmark compares every peer's value with taldo's before timing it: these
# documents put correct rounding and NaN in front of that comparison.

def hard_doubles(rng):
    """Numbers that are hard to round: 17 to 25 significant digits over the
    whole range down to subnormals, 30 digits a hair from the midpoint between
    two neighbouring doubles, and some exact midpoints (up to ~120 digits)."""
    def number():
        draw = rng.random()
        if draw < 0.45:
            digits = "".join(rng.choices("0123456789", k=rng.randrange(16, 25)))
            return f"{rng.randrange(1, 10)}.{digits}e{rng.randrange(-320, 300)}"
        exponent = rng.randrange(-320, 300) if draw < 0.9 else rng.randrange(-20, 20)
        low = rng.uniform(1, 10) * 10.0 ** exponent or 5e-324
        middle = (decimal.Decimal(low) + decimal.Decimal(math.nextafter(low, math.inf))) / 2
        return format(middle, ".30e") if draw < 0.9 else format(middle.normalize(), "e")
    with decimal.localcontext() as context:
        context.prec = 800
        return ("[" + ",".join(number() for _ in range(100_000)) + "]").encode()


def non_finite_floats(rng):
    """Floats with NaN, Infinity and -Infinity among them, which taldo accepts
    by default."""
    choices = ["NaN", "Infinity", "-Infinity"]
    return ("[" + ",".join(rng.choice(choices) if rng.random() < 0.05 else repr(rng.uniform(-1e3, 1e3))
                           for _ in range(100_000)) + "]").encode()


GENERATORS.update({
    "hard-doubles": hard_doubles,
    "non-finite-floats": non_finite_floats,
})


# --- streamed documents -------------------------------------------------------
#
# A language model's structured output arrives a few characters at a time, and a
# client that shows it as it comes parses every growing prefix again. The
# generator makes such an output; `token_prefixes` cuts it as the tokens arrive.

_WORDS = ("the", "model", "answer", "because", "value", "of", "in", "data", "result", "first", "then",
          "user", "request", "and", "is", "not", "a", "to", "with", "for")
_NON_ASCII_WORDS = ("café", "naïve", "Straße", "résumé", "日本語", "中文", "데이터", "Ελληνικά", "😀", "→", "✓")
_ESCAPED = ('"quoted"', "back\\slash", "line\nbreak", "tab\there", "C:\\path\\to", "\u0007bell", "a/b")


def _sentence(rng, words):
    parts = []
    for _ in range(words):
        draw = rng.random()
        if draw < 0.08:
            parts.append(rng.choice(_NON_ASCII_WORDS))
        elif draw < 0.12:
            parts.append(rng.choice(_ESCAPED))
        else:
            parts.append(rng.choice(_WORDS))
    text = " ".join(parts)
    return text[0].upper() + text[1:] + "."


def _model_entity(rng, index):
    return {
        "id": index,
        "name": _sentence(rng, rng.randrange(1, 4)),
        "type": rng.choice(["person", "place", "organisation", "date", "quantity"]),
        "score": round(rng.random(), rng.randrange(2, 6)),
        "span": [rng.randrange(0, 5000), rng.randrange(0, 5000)],
        "confirmed": rng.choice([True, False, None]),
        "weight": rng.uniform(-1e3, 1e3),
    }


def model_output(rng, size=20_000):
    """A model's structured answer of about `size` bytes: nested objects and
    arrays, prose with escapes and non-ASCII text, integers and floats."""
    document = {"id": f"resp-{rng.getrandbits(48):012x}", "model": "example-model", "created": 1_765_000_000,
                "answer": "", "steps": [], "entities": [], "usage": {}}
    while len(json.dumps(document, ensure_ascii=False, indent=2).encode()) < size - 150:
        step = len(document["steps"])
        document["steps"].append({"step": step + 1, "thought": _sentence(rng, rng.randrange(5, 30)),
                                  "tools": [rng.choice(["search", "calculator", "code"]) for _ in range(rng.randrange(0, 3))]})
        document["entities"].append(_model_entity(rng, len(document["entities"])))
        document["answer"] += _sentence(rng, rng.randrange(8, 20)) + ("\n\n" if step % 4 == 3 else " ")
    document["usage"] = {"prompt_tokens": 1234, "completion_tokens": rng.randrange(4000, 6000), "cost": 0.0421}
    return json.dumps(document, ensure_ascii=False, indent=2)


def token_prefixes(text, rng, shortest=1, longest=6):
    """Every prefix of `text` as it grows by tokens of `shortest` to `longest`
    characters; the last prefix is the whole text."""
    prefixes = []
    end = 0
    while end < len(text):
        end = min(len(text), end + rng.randint(shortest, longest))
        prefixes.append(text[:end])
    return prefixes


STREAMS = {
    "stream-model-20k": model_output,
}


def streams(wanted=None):
    """(name, prefixes) for every streamed document (or for those whose name
    `wanted(name)` accepts): str prefixes, growing by model-sized tokens, the
    last one complete."""
    for name, generator in STREAMS.items():
        if wanted is not None and not wanted(name):
            continue
        rng = random.Random(name)
        yield name, token_prefixes(generator(rng), rng)
