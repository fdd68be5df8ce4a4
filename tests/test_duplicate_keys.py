"""catch_duplicate_keys: the first repeated key of any object is an error."""
import json
import random

import pytest

import taldo


@pytest.mark.parametrize("document, message", [
    (b'{"a":1,"a":2}', 'Detected duplicate key "a" at line 1 column 12'),
    (b'{"a": 1, "a": 2}', 'Detected duplicate key "a" at line 1 column 14'),
    (b'{"a":1,"\\u0061":2}', 'Detected duplicate key "a" at line 1 column 17'),
    ('{"é":1,"\\u00e9":2}'.encode(), 'Detected duplicate key "é" at line 1 column 18'),
    (b'{"":1,"":2}', 'Detected duplicate key "" at line 1 column 10'),
    (b'{"a":1,"a":x}', 'Detected duplicate key "a" at line 1 column 12'),  # the value is never read
    (b'{"x\\"y":1,"x\\"y":2}', 'Detected duplicate key "x\\"y" at line 1 column 18'),
    (b'{"t\\tz":1,"t\\tz":2}', 'Detected duplicate key "t\\tz" at line 1 column 18'),
    (b'[{"b":{"a":1,"a":2}}]', 'Detected duplicate key "a" at line 1 column 18'),
    (b'{\n"a":1,\n"a":2}', 'Detected duplicate key "a" at line 3 column 5'),
])
def test_duplicates_are_reported(document, message):
    with pytest.raises(ValueError) as info:
        taldo.from_json(document, catch_duplicate_keys=True)
    assert str(info.value) == message
    # Without the check the last value wins (or the document fails elsewhere).
    try:
        value = taldo.from_json(document)
    except ValueError:
        return
    assert value == json.loads(document)


@pytest.mark.parametrize("document", [
    b'{"a": 1, "b": 2}', b'{"a":1,"A":2}', b'{"a":{"a":1},"b":{"a":2}}', b'[{"a":1},{"a":2}]', b"{}",
    b'{"e\\u0301":1,"\\u00e9":2}',  # no normalisation
])
def test_distinct_keys_pass(document):
    assert taldo.from_json(document, catch_duplicate_keys=True) == json.loads(document)


def test_later_value_wins_without_the_check():
    value = taldo.from_json(b'{"a":1,"b":2,"a":3}')
    assert value == {"a": 3, "b": 2} and list(value) == ["a", "b"]


@pytest.mark.parametrize("document, expected", [
    (b'{"a": 1, "a"', {"a": 1}),  # the cut key ends the object first
])
def test_partial_mode_and_duplicates(document, expected):
    assert taldo.from_json(document, partial_mode=True, catch_duplicate_keys=True) == expected
    with pytest.raises(ValueError, match="Detected duplicate key"):
        taldo.from_json(b'{"a": 1, "a":', partial_mode=True, catch_duplicate_keys=True)


def test_many_keys_against_a_reference():
    rng = random.Random(11)
    for _ in range(200):
        keys = [rng.choice(["k%d" % rng.randrange(300), "é%d" % rng.randrange(50)]) for _ in range(rng.randrange(1, 80))]
        document = ("{" + ",".join(f'"{k}":{i}' for i, k in enumerate(keys)) + "}").encode()
        duplicate = len(set(keys)) < len(keys)
        if duplicate:
            first_repeat = next(k for i, k in enumerate(keys) if k in keys[:i])
            with pytest.raises(ValueError, match=f'Detected duplicate key "{first_repeat}"'):
                taldo.from_json(document, catch_duplicate_keys=True)
        else:
            assert taldo.from_json(document, catch_duplicate_keys=True) == json.loads(document)
