#!/usr/bin/env python3
"""Checks a built wheel as a user gets it.

    python scripts/check_installed.py [--python PY] [--suite] WHEEL

1. The wheel holds the package `taldo/` (the extension, __init__.py,
   __init__.pyi, py.typed, __main__.py) and in its .dist-info the metadata
   (version 2.4, licence expression MIT) and the licence; nothing else: no
   test module, no stray top-level file.
2. It is installed into a fresh virtual environment (made with PY, by default
   this interpreter), with mypy from PyPI, and everything below runs from a
   directory outside the source tree, so that only the installed package can
   be imported:
   - `python -m mypy.stubtest taldo`: the stubs agree with the module;
   - `mypy --strict tests/typing/uses_everything.py`, a program that uses every
     function, option value and LosslessFloat method, and then the program
     itself, whose asserts must hold;
   - `python -m taldo` on a small document, from standard input;
   - with --suite, the test suite against the installed package (the tests
     that need the development-only `_taldo_testing` skip).
Exits non-zero at the first failure.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TYPING_PROGRAM = ROOT / "tests" / "typing" / "uses_everything.py"

PACKAGE_FILES = {"taldo/__init__.py", "taldo/__init__.pyi", "taldo/py.typed", "taldo/__main__.py"}
EXTENSION = re.compile(r"taldo/_taldo\.[^/]*(\.so|\.pyd)")
DIST_INFO_FILES = {"METADATA", "WHEEL", "RECORD", "licenses/LICENSE"}


def fail(message):
    print(f"check_installed: {message}", file=sys.stderr)
    sys.exit(1)


def check_contents(wheel):
    with zipfile.ZipFile(wheel) as archive:
        # auditwheel writes entries for directories too; only files count.
        names = [name for name in archive.namelist() if not name.endswith("/")]
        dist_info = {name.split("/", 1)[0] for name in names if name.split("/", 1)[0].endswith(".dist-info")}
        if len(dist_info) != 1:
            fail(f"expected one .dist-info directory, found {sorted(dist_info)}")
        dist_info = dist_info.pop()
        expected = PACKAGE_FILES | {f"{dist_info}/{name}" for name in DIST_INFO_FILES}
        extensions = [name for name in names if EXTENSION.fullmatch(name)]
        unexpected = sorted(set(names) - expected - set(extensions))
        missing = sorted(expected - set(names))
        if len(extensions) != 1 or unexpected or missing:
            fail(f"the wheel's files are wrong: extension modules {extensions}, unexpected {unexpected}, "
                 f"missing {missing}")
        metadata = archive.read(f"{dist_info}/METADATA").decode()
        licence = archive.read(f"{dist_info}/licenses/LICENSE").decode()
    headers = metadata.split("\n\n", 1)[0].splitlines()
    for header in ("Metadata-Version: 2.4", "License-Expression: MIT", "License-File: LICENSE",
                   "Classifier: Typing :: Typed"):
        if header not in headers:
            fail(f"METADATA lacks {header!r}")
    if "MIT License" not in licence:
        fail("the licence file is not the MIT licence")
    print(f"contents: {len(names)} files, as expected ({extensions[0]})")


def run(command, **kwargs):
    print("$", " ".join(str(part) for part in command), flush=True)
    result = subprocess.run(command, **kwargs)
    if result.returncode != 0:
        fail(f"{Path(command[0]).name} {' '.join(str(part) for part in command[1:3])} ... "
             f"exited with {result.returncode}")
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("wheel", type=Path)
    parser.add_argument("--python", default=sys.executable, help="the interpreter of the fresh environment")
    parser.add_argument("--suite", action="store_true", help="run the test suite against the installed wheel")
    arguments = parser.parse_args()

    check_contents(arguments.wheel)
    with tempfile.TemporaryDirectory(prefix="taldo-installed-") as scratch:
        scratch = Path(scratch)
        run([arguments.python, "-m", "venv", scratch / "venv"])
        bin_dir = scratch / "venv" / ("Scripts" if os.name == "nt" else "bin")
        python = bin_dir / ("python.exe" if os.name == "nt" else "python")
        tools = ["mypy"] + (["pytest"] if arguments.suite else [])
        run([python, "-m", "pip", "install", "--quiet", "--upgrade", "pip"])
        run([python, "-m", "pip", "install", "--quiet", "--no-deps", arguments.wheel.resolve()])
        run([python, "-m", "pip", "install", "--quiet", *tools])

        # Away from the source tree, which must not be what gets imported.
        work = scratch / "work"
        work.mkdir()
        environment = dict(os.environ, MYPY_CACHE_DIR=str(scratch / "mypy-cache"))
        environment.pop("PYTHONPATH", None)
        where = run([python, "-c", "import taldo, sys; sys.stdout.write(taldo.__file__)"], cwd=work,
                    env=environment, capture_output=True, text=True).stdout
        if not Path(where).resolve().is_relative_to((scratch / "venv").resolve()):
            fail(f"taldo was imported from {where}, not from the fresh environment")
        run([python, "-m", "mypy.stubtest", "taldo"], cwd=work, env=environment)
        run([python, "-m", "mypy", "--strict", "--no-incremental", TYPING_PROGRAM], cwd=work, env=environment)
        run([python, TYPING_PROGRAM], cwd=work, env=environment)
        summary = run([python, "-m", "taldo"], cwd=work, env=environment, input=b'{"a": [1, 2.5, null]}',
                      capture_output=True).stdout.decode()
        if not summary.startswith("top level: object; 1 object, 1 array, 0 strings, 2 numbers, 0 booleans, 1 null"):
            fail(f"python -m taldo said {summary!r}")
        print(summary, end="")
        if arguments.suite:
            run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider", ROOT / "tests"], cwd=work,
                env=environment)
    print("check_installed: the installed wheel is as it should be")


if __name__ == "__main__":
    main()
