"""The benchmark's own helpers: the value comparison that decides "differs" and
"n/a", the streamed document, the progress line and the plot. Nothing here is
timed."""
import decimal
import importlib.util
import io
import json
import math
import pathlib
import re
import struct
import sys

import pytest

import taldo

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench"


def load(name):
    sys.path.insert(0, str(BENCH))
    try:
        found = importlib.util.spec_from_file_location(f"bench_{name}", BENCH / f"{name}.py")
        module = importlib.util.module_from_spec(found)
        found.loader.exec_module(module)
        return module
    finally:
        sys.path.remove(str(BENCH))


run = load("run")
documents = load("documents")

D = decimal.Decimal
NAN = float("nan")


@pytest.mark.parametrize("expected, actual", [
    ([1, 2.5, "x", None, True], [1, 2.5, "x", None, True]),
    ({"a": 1, "b": [NAN]}, {"b": [float("nan")], "a": 1}),  # key order and NaN
    ([-0.0, 0.0], [-0.0, 0.0]),
    ([D("1.10"), D("NaN")], [D("1.10"), D("NaN")]),
    ([12345678901234567890], [12345678901234567890]),
])
def test_same_values(expected, actual):
    assert run.first_difference(expected, actual) is None


@pytest.mark.parametrize("expected, actual, message", [
    ({"numbers": [0, 1, 2, 12345678901234567890]}, {"numbers": [0, 1, 2, 1.2345678901234567e+19]},
     "$.numbers[3]: 12345678901234567890 != 1.2345678901234567e+19"),
    ([1], [1.0], "$[0]: 1 != 1.0"),
    ([True], [1], "$[0]: True != 1"),
    ([1], [True], "$[0]: 1 != True"),
    ([0.0], [-0.0], "$[0]: 0.0 != -0.0"),
    ([NAN], [0.0], "$[0]: nan != 0.0"),
    ([0.1], [0.10000000000000002], "$[0]: 0.1 != 0.10000000000000002"),
    ([D("1.10")], [D("1.1")], "$[0]: Decimal('1.10') != Decimal('1.1')"),
    ([D("1.5")], [1.5], "$[0]: Decimal('1.5') != 1.5"),
    ({"a": [1, 2]}, {"a": [1]}, "$.a[1]: 2 != (missing)"),
    ({"a": [1]}, {"a": [1, 2]}, "$.a[1]: (missing) != 2"),
    ({"a": 1, "b": 2}, {"a": 1}, "$.b: 2 != (missing)"),
    ({"a": 1}, {"a": 1, "z z": 2}, '$["z z"]: (missing) != 2'),
    ({"x": {"a b": [{"é": "s"}]}}, {"x": {"a b": [{"é": "t"}]}}, "$.x[\"a b\"][0][\"é\"]: 's' != 't'"),
    ([[]], [{}], "$[0]: [] != {}"),
    ("a" * 100, "b", "$: '" + "a" * 56 + "... != 'b'"),
])
def test_first_difference(expected, actual, message):
    assert run.first_difference(expected, actual) == message


@pytest.mark.parametrize("text, other, same", [
    (b"1.10", D("1.10"), True),
    (b"1.10", D("1.1"), False),
    (b"-0.0", D("-0.0"), True),
    (b"1e400", D("1E+400"), True),
    (b"1.10", 1.1, False),
])
def test_lossless_float_against_decimal(text, other, same):
    assert (run.first_difference([taldo.LosslessFloat(text)], [other]) is None) is same


def test_check_peer_statuses():
    data = b'{"n":[1,123456789012345678901234567890]}'
    tree = taldo.from_json(data)

    def as_float(raw):  # a peer that turns big integers into floats
        return json.loads(raw, parse_int=lambda text: int(text) if len(text) < 20 else float(text))

    def raises(raw):
        raise ValueError("cannot")

    assert run.check_peer(tree, json.loads, data) == (None, None)
    assert run.check_peer(tree, as_float, data) == (
        "differs", "$.n[1]: 123456789012345678901234567890 != 1.2345678901234568e+29")
    assert run.check_peer(tree, raises, data) == ("n/a", "ValueError: 'cannot'")


def test_check_stream_peer_statuses():
    prefixes = [b'["ab', b'["abc", 1', b'["abc", 12]']
    values = [taldo.from_json(prefix, partial_mode="trailing-strings") for prefix in prefixes]

    def drops_numbers(raw):  # complete document right; a cut number dropped
        return json.loads(raw) if raw.endswith(b"]") else taldo.from_json(raw.rstrip(b"0123456789 ,"),
                                                                          partial_mode="trailing-strings")

    status, note = run.check_stream_peer(values, json.loads, prefixes)
    assert status == "n/a" and note.startswith("prefix 1 of 3")
    status, note = run.check_stream_peer(values, drops_numbers, prefixes)
    assert status is None
    assert "1 of 2 earlier prefixes differ, the first is prefix 2" in note and "$[1]: 1 != (missing)" in note
    values = [["ab"], ["abc", 12]]
    status, note = run.check_stream_peer(values, lambda raw: ["ab"], [b'["ab', b'["abc", 12]'])
    assert status == "differs" and note == "complete document: $[0]: 'abc' != 'ab'"


def test_main_marks_peers_that_differ_or_raise(monkeypatch, capsys):
    def float_big(raw):
        return json.loads(raw, parse_int=float)

    def raises(raw):
        raise RuntimeError("no big integers")

    monkeypatch.setattr(run, "peer_parsers", lambda exact_floats=False: [
        ("json", json.loads), ("floaty", float_big), ("strict", raises)])
    monkeypatch.setattr(run, "calibrate", lambda function, argument, target=0.02: (1, 0.0))
    run.main(["--only", "scalar-integer", "--rounds", "1"])
    out = capsys.readouterr().out
    row = next(line for line in out.splitlines() if line.startswith("scalar-integer |"))
    cells = row.split(" | ")
    assert cells[4:6] == ["differs", "n/a"]
    assert re.fullmatch(r"\d+\.\d\d", cells[3]) and re.fullmatch(r"\d+\.\d\d", cells[6])
    assert "- floaty on scalar-integer: $: 12345 != 12345.0" in out
    assert "- strict on scalar-integer: RuntimeError: 'no big integers'" in out


def test_streamed_document():
    [(name, prefixes)] = list(documents.streams())
    text = prefixes[-1]
    assert [(n, p) for n, p in documents.streams()] == [(name, prefixes)]  # seeded
    assert 19_000 <= len(text.encode()) <= 21_000
    assert all(1 <= len(later) - len(earlier) <= 6 for earlier, later in zip(prefixes, prefixes[1:]))
    assert re.search(r"[^\x00-\x7f]", text) and "\\n" in text and '\\"' in text and "\\u0007" in text
    value = json.loads(text)
    assert value["steps"] and value["entities"] and isinstance(value["entities"][0]["weight"], float)
    assert run.first_difference(value, taldo.from_json(text.encode(), partial_mode="trailing-strings")) is None


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("stream, expected", [
    (io.StringIO(), "document 1/2 a: round 1/3\ndocument 1/2 a: round 2/3\n"),
    (Terminal(), "\rdocument 1/2 a: round 1/3\rdocument 1/2 a: round 2/3\r" + " " * 25 + "\r"),
])
def test_progress(stream, expected):
    progress = run.Progress(stream)
    progress.show("document 1/2 a: round 1/3")
    progress.show("document 1/2 a: round 2/3")
    progress.clear()
    assert stream.getvalue() == expected


def test_plot_is_readme_wide(tmp_path):
    pytest.importorskip("matplotlib")
    plot = load("plot")
    image = tmp_path / "bench.png"
    rows = [{"name": "doc", "kind": "document", "size": 10, "seconds": {"taldo": 1.0, "json": 3.0, "marshal": 0.5},
             "status": {"orjson": "differs", "streamer": "-"}, "notes": {}},
            {"name": "stream", "kind": "stream", "size": 100, "prefixes": 9, "seconds": {"taldo": 1.0, "streamer": 9.0},
             "status": {"json": "n/a", "orjson": "n/a", "marshal": "n/a"}, "notes": {}}]
    plot.draw({"taldo": "0", "python": "3", "machine": "m", "gc": "on", "rounds": 1, "options": {},
               "columns": ["json", "orjson", "streamer"], "rows": rows}, image)
    width, height = struct.unpack(">II", image.read_bytes()[16:24])
    assert width == 900 and 300 < height < 1000


def test_bench_extra_is_imported():
    tomllib = pytest.importorskip("tomllib")
    extra = tomllib.loads((BENCH.parent / "pyproject.toml").read_text())["project"]["optional-dependencies"]["bench"]
    modules = {"pysimdjson": "simdjson", "python-rapidjson": "rapidjson"}
    sources = "\n".join(path.read_text() for path in BENCH.glob("*.py"))
    for requirement in extra:
        name = re.match(r"[A-Za-z0-9_.-]+", requirement).group()
        module = modules.get(name, name.replace("-", "_"))
        assert re.search(rf"(import {module}\b|\"{module}[\".])", sources), f"{name} is listed but not imported"


@pytest.mark.parametrize("value", [math.inf, -math.inf, 5e-324, -0.0, 1.7976931348623157e308])
def test_float_edges_equal_themselves(value):
    assert run.first_difference([value], [float(repr(value))]) is None
