"""What the tool stages share: where the tree and the development environment are, and
how to find a program that an extra installs into it."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
VENV = ROOT / ".venv"
BUILD = ROOT / "build"

# The C++ of the tree: the module and its kernels, the header-only library with its
# tests and example, and the C++ unit tests.
CPP_DIRS = ["quarnel-py/src", "quarnel-rt", "tests/cpp"]
CPP_SUFFIXES = (".cpp", ".hpp", ".h", ".cc")


def venv_python() -> Path:
    """The interpreter of ./.venv, or this one when the stage runs inside an environment
    of its own (python -m tools.NAME from any venv)."""
    python = VENV / "bin" / "python"
    return python if python.exists() else Path(sys.executable)


def program(name: str) -> str:
    """A program installed beside the environment's interpreter, else one on the PATH."""
    for directory in (VENV / "bin", Path(sys.executable).parent):
        if (directory / name).exists():
            return str(directory / name)
    found = shutil.which(name)
    if found is None:
        raise SystemExit(f"{name} not found: install the tools with "
                         f"`pip install '.[test]'` or run `python3 dev.py test` once")
    return found


def run(*cmd: str | os.PathLike, cwd: Path = ROOT, **kw) -> subprocess.CompletedProcess[str]:
    """Runs cmd and returns it completed, output captured; never raises on failure."""
    return subprocess.run([str(c) for c in cmd], cwd=cwd, capture_output=True, text=True, **kw)


def echo(title: str) -> None:
    print(f"--- {title}", flush=True)


def cpp_sources() -> list[Path]:
    return sorted(p for d in CPP_DIRS for p in (ROOT / d).rglob("*")
                  if p.suffix in CPP_SUFFIXES and p.is_file())


def configure(source: Path, build: Path, *defs: str) -> subprocess.CompletedProcess[str]:
    """cmake configure with the environment's cmake and ninja."""
    return run(program("cmake"), "-S", source, "-B", build, "-G", "Ninja",
               f"-DCMAKE_MAKE_PROGRAM={program('ninja')}", *defs)
