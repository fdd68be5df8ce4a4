"""Draws bench/run.py's results: for every document a group of bars, one per
peer, each the peer's time divided by taldo's on a log axis (above the line
at 1, taldo is faster), and the floor, marshal.loads of the same objects,
hatched. A peer whose value differs or that raised has no bar but a mark.

    python3 bench/run.py --plot docs/benchmark.png      # at the end of a run
    python3 bench/run.py --json results.json && python3 bench/plot.py results.json docs/benchmark.png
"""
from __future__ import annotations

import argparse
import json
import math
import pathlib

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.patches import Patch  # noqa: E402
from matplotlib.ticker import FixedLocator, NullFormatter, NullLocator  # noqa: E402
from units import format_size, format_time  # noqa: E402

WIDTH_INCHES = 9.0
DPI = 100  # 900 pixels wide: the width of a README
DOCUMENTS_PER_PANEL = 8
FLOOR = "marshal"
MARKS = {"differs": "differs", "n/a": "n/a"}
# tab10 without its grey, which is the floor's
PALETTE = ("#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2", "#bcbd22", "#17becf",
           "#393b79")


def _slots(row, columns):
    """(name, ratio or None, mark or None) for every bar of one document:
    the peers that were timed or marked, then the floor."""
    slots = []
    taldo = row["seconds"]["taldo"]
    for name in columns + [FLOOR]:
        status = row["status"].get(name)
        if status == "-":
            continue
        if status in MARKS:
            slots.append((name, None, MARKS[status]))
        elif name in row["seconds"]:
            slots.append((name, row["seconds"][name] / taldo, None))
    return slots


def _wrap(name, width=15):
    """A long document name broken after a hyphen, so that labels do not meet."""
    lines, line = [], ""
    for part in name.replace("-", "-\0").replace("_", "_\0").split("\0"):
        if line and len(line) + len(part) > width:
            lines.append(line)
            line = ""
        line += part
    return "\n".join(lines + [line])


def _label(row):
    size = format_size(row["size"], megabytes=".3g")
    if row.get("kind") == "stream":
        size = f"{size} in {row.get('prefixes', '?')} cuts"
    return f"{_wrap(row['name'])}\n{size}\ntaldo {format_time(row['seconds']['taldo'], micro='µs')}"


def _ticks(low, high):
    ticks = []
    for exponent in range(math.floor(math.log10(low)), math.ceil(math.log10(high)) + 1):
        for mantissa in (1, 2, 5):
            value = mantissa * 10.0 ** exponent
            if low <= value <= high:
                ticks.append(value)
    return ticks


def _tick_text(value):
    return f"{value:g}×"


def draw(results, path):
    """Writes the PNG for `results` (bench/run.py's --json structure) to `path`."""
    rows = results["rows"]
    columns = list(results["columns"])
    names = columns + [FLOOR]
    colours = {name: PALETTE[index % len(PALETTE)] for index, name in enumerate(columns)}
    colours[FLOOR] = "0.6"

    ratios = [ratio for row in rows for _, ratio, _ in _slots(row, columns) if ratio]
    low = min(ratios + [1.0]) / 1.6
    high = max(ratios + [1.0]) * 1.6

    per_panel = math.ceil(len(rows) / max(1, math.ceil(len(rows) / DOCUMENTS_PER_PANEL))) or 1
    panels = [rows[start:start + per_panel] for start in range(0, len(rows), per_panel)] or [[]]
    widest = max(sum(len(_slots(row, columns)) + 1.2 for row in panel) for panel in panels)
    legend_rows = math.ceil((len(columns) + 1) / 5)
    top = 0.45 + 0.17 * legend_rows  # inches above the panels: title and legend
    panel_height = 2.85  # inches, with its labels
    height = top + panel_height * len(panels) + 0.1
    figure, axes = plt.subplots(len(panels), 1, figsize=(WIDTH_INCHES, height), dpi=DPI, squeeze=False)
    figure.subplots_adjust(left=0.075, right=0.99, top=1 - top / height, bottom=0.62 / height,
                           hspace=0.7 / (panel_height - 0.7))
    for axis, panel in zip(axes[:, 0], panels):
        position = 0.0
        centres, labels = [], []
        for row in panel:
            slots = _slots(row, columns)
            first = position
            for name, ratio, mark in slots:
                if ratio is not None:
                    # From the line at 1: up where taldo is faster, down where it is not.
                    axis.bar(position, abs(ratio - 1.0), bottom=min(ratio, 1.0), width=0.85, color=colours[name],
                             hatch="///" if name == FLOOR else None, edgecolor="white" if name == FLOOR else None,
                             linewidth=0)
                    # a cap at the ratio, so that a bar of about 1 is still seen
                    axis.plot([position - 0.42, position + 0.42], [ratio, ratio], color=colours[name],
                              linewidth=1.6, solid_capstyle="butt")
                else:
                    axis.text(position, 1.1, mark, rotation=90, ha="center", va="bottom", fontsize=6.5,
                              color=colours[name], fontweight="bold")
                position += 1
            centres.append((first + position - 1) / 2)
            labels.append(_label(row))
            position += 1.2  # a gap between documents
        axis.set_yscale("log")
        axis.set_ylim(low, high)
        axis.set_xlim(-1, widest - 1.2)
        axis.axhline(1.0, color="black", linewidth=1.0)
        axis.yaxis.set_major_locator(FixedLocator(_ticks(low, high)))
        axis.yaxis.set_major_formatter(plt.FuncFormatter(lambda value, _: _tick_text(value)))
        axis.yaxis.set_minor_locator(NullLocator())
        axis.yaxis.set_minor_formatter(NullFormatter())
        axis.grid(axis="y", color="0.88", linewidth=0.6)
        axis.set_axisbelow(True)
        axis.set_ylabel("time / taldo's time", fontsize=7.5)
        axis.set_xticks(centres)
        axis.set_xticklabels(labels, fontsize=7)
        axis.tick_params(axis="x", length=0)
        axis.tick_params(axis="y", labelsize=7.5)
        for side in ("top", "right"):
            axis.spines[side].set_visible(False)

    handles = [Patch(color=colours[name], label=name) for name in columns]
    handles.append(Patch(facecolor=colours[FLOOR], hatch="///", edgecolor="white",
                         label="floor: marshal.loads of the same objects"))
    figure.legend(handles=handles, loc="upper center", ncol=5, fontsize=7.5, frameon=False,
                  bbox_to_anchor=(0.5, 1 - 0.42 / height), handlelength=1.5, columnspacing=1.2)
    figure.suptitle(
        f"taldo {results.get('taldo', '')} against other parsers: a parser's time over taldo's, "
        f"log scale (above 1×, taldo is faster)\n"
        f"Python {results['python']}, {results['machine']}; cyclic collector {results['gc']}; "
        f"{results.get('clock', 'wall')} time, minimum of {results['rounds']} interleaved rounds"
        + (f"; taldo options {results['options']}" if results.get("options") else ""),
        fontsize=8.5, y=1 - 0.06 / height, va="top")
    figure.savefig(path, dpi=DPI)
    plt.close(figure)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("results", type=pathlib.Path, help="the file written by bench/run.py --json")
    parser.add_argument("png", type=pathlib.Path)
    args = parser.parse_args(argv)
    draw(json.loads(args.results.read_text()), args.png)


if __name__ == "__main__":
    main()
