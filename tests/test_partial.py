"""Cut-off documents: partial_mode keeps what was complete."""
import pytest

import taldo

ON, STRINGS = True, "trailing-strings"


@pytest.mark.parametrize("document, on, trailing", [
    (b"[", [], []),
    (b"[1", [1], [1]),
    (b"[1,", [1], [1]),
    (b"[1, 2", [1, 2], [1, 2]),
    (b"[1, -", [1], [1]),
    (b"[1, 1.", [1], [1]),
    (b"[1, 1.5E+", [1], [1]),
    (b"[1, Inf", [1], [1]),
    (b"[tr", [], []),
    (b'["ab', [], ["ab"]),
    (b'["ab", "c', ["ab"], ["ab", "c"]),
    (b'[["ab', [[]], [["ab"]]),
    (b"[[tr", [[]], [[]]),
    (b"[[1, 2], [3", [[1, 2], [3]], [[1, 2], [3]]),
    (b"{", {}, {}),
    (b'{"a', {}, {}),
    (b'{"a"', {}, {}),
    (b'{"a":', {}, {}),
    (b'{"a": 1', {"a": 1}, {"a": 1}),
    (b'{"a": 1,', {"a": 1}, {"a": 1}),
    (b'{"a": 1, "b', {"a": 1}, {"a": 1}),
    (b'{"a": 1, "b": tr', {"a": 1}, {"a": 1}),
    (b'{"a": "xy', {}, {"a": "xy"}),
    (b'{"a": {"b": "xy', {"a": {}}, {"a": {"b": "xy"}}),
    (b'{"a": {"b": 1}, "c": [', {"a": {"b": 1}, "c": []}, {"a": {"b": 1}, "c": []}),
    (b"[1 2]", [1], [1]),
    (b"[1] x", [1], [1]),
    (b"[1, 2]]]]", [1, 2], [1, 2]),
    (b'[{"a": [1}, 2]', [{"a": [1]}, 2], [{"a": [1]}, 2]),
    (b'{"a": {"b": 1], "c": 2}', {"a": {"b": 1}}, {"a": {"b": 1}}),
    (b"[12", [12], [12]),
    (b'"ab', None, "ab"),
])
def test_cut_documents(document, on, trailing):
    if on is not None:
        assert taldo.from_json(document, partial_mode=ON) == on
    assert taldo.from_json(document, partial_mode=STRINGS) == trailing


@pytest.mark.parametrize("document, options, message", [
    (b"[1,]", {}, "trailing comma at line 1 column 4"),
    (b"[tx", {}, "expected ident at line 1 column 3"),
    (b'{"a" x', {}, "expected `:` at line 1 column 6"),
    (b"{1", {}, "key must be a string at line 1 column 2"),
    (b"[1, 1.x", {}, "invalid number at line 1 column 7"),
    (b"[1, Inf", {"allow_inf_nan": False}, "expected value at line 1 column 5"),
    (b"tru", {}, "EOF while parsing a value at line 1 column 3"),
    (b"-", {}, "EOF while parsing a value at line 1 column 1"),
    (b"", {}, "EOF while parsing a value at line 1 column 0"),
])
@pytest.mark.parametrize("mode", [ON, STRINGS])
def test_faults_that_stay_errors(document, options, message, mode):
    with pytest.raises(ValueError) as info:
        taldo.from_json(document, partial_mode=mode, **options)
    assert str(info.value) == message


@pytest.mark.parametrize("document, column", [
    (b'["\\u"]', 5),
    (b'["ab\\u0"]', 8),
    (b'{"k": "\\ub"}', 11),
    (b'"\\u00g', 6),
    (b'["\\ud83d\\ude"]', 13),
    (b'["\\ud83d\\u"', 11),
])
@pytest.mark.parametrize("mode", [False, ON, STRINGS])
def test_short_unicode_escapes_in_complete_documents(document, column, mode):
    # A byte among the four after \u that is there and is no hex digit is a
    # malformed escape, not a cut one: no partial mode may end the document.
    with pytest.raises(ValueError) as info:
        taldo.from_json(document, partial_mode=mode)
    assert str(info.value) == f"invalid escape at line 1 column {column}"


def test_cut_top_level_string_without_trailing_strings():
    with pytest.raises(ValueError) as info:
        taldo.from_json(b'"ab', partial_mode=ON)
    assert str(info.value) == "EOF while parsing a string at line 1 column 3"


def test_every_prefix_of_a_document_parses():
    document = b'{"id": 12, "tags": ["x", "y\\u00e9z"], "n": {"f": -1.5e3, "t": true, "z": null}}'
    for cut in range(1, len(document) + 1):
        value = taldo.from_json(document[:cut], partial_mode=STRINGS)
        assert isinstance(value, dict)
    assert taldo.from_json(document, partial_mode=STRINGS) == taldo.from_json(document)
