#!/usr/bin/env python3
"""Developer entry point; needs nothing but python3 (3.10+) and the package index.

    python3 dev.py demo    # build, install into .venv and run the Black-Scholes demo
    python3 dev.py test    # build, install and run the whole test suite
    python3 dev.py bench   # run the benchmark suite against NumPy and Numba

Everything is installed into ./.venv through the project's own pyproject extras.
"""

from __future__ import annotations

import os
import subprocess
import sys
import venv
from pathlib import Path

ROOT = Path(__file__).resolve().parent
VENV = ROOT / ".venv"
PY = VENV / "bin" / "python"


def run(*cmd: str | os.PathLike, **kw) -> None:
    print("+", " ".join(str(c) for c in cmd), flush=True)
    subprocess.run([str(c) for c in cmd], check=True, cwd=kw.pop("cwd", ROOT), **kw)


def ensure_venv() -> None:
    if not PY.exists():
        venv.EnvBuilder(with_pip=True).create(VENV)
        run(PY, "-m", "pip", "install", "-q", "--upgrade", "pip")


def install(extras: str) -> None:
    ensure_venv()
    run(PY, "-m", "pip", "install", "-q", f".[{extras}]")


def cpp_tests() -> None:
    build = ROOT / "build" / "cpp-tests"
    bindir = VENV / "bin"
    run(bindir / "cmake", "-S", ROOT, "-B", build, "-G", "Ninja",
        f"-DCMAKE_MAKE_PROGRAM={bindir / 'ninja'}", "-DCMAKE_BUILD_TYPE=Release",
        "-DQUARNEL_BUILD_TESTS=ON", stdout=subprocess.DEVNULL)
    run(bindir / "cmake", "--build", build)
    run(bindir / "ctest", "--test-dir", build, "--output-on-failure")


def main(argv: list[str]) -> int:
    task = argv[1] if len(argv) > 1 else "test"
    # The tests import the installed module, not the source tree.
    if task == "demo":
        install("test")
        run(PY, ROOT / "examples" / "black_scholes.py")
    elif task == "test":
        install("test")
        cpp_tests()
        run(PY, "-m", "pytest", "-q", *argv[2:])
    elif task == "bench":
        install("bench")
        run(PY, ROOT / "bench" / "run.py", *argv[2:])
    else:
        print(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except subprocess.CalledProcessError as e:
        sys.exit(e.returncode or 1)
