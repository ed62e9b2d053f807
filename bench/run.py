#!/usr/bin/env python3
"""Runs the benchmark package: `python bench/run.py [--quick] [--no-numba] [--no-chart]
[--json PATH] [--chart PATH]`, the same as `python -m bench` from the repository root."""

import os
import sys
from pathlib import Path

# Run as a script, this file's directory heads sys.path; the package needs its parent.
ROOT = str(Path(__file__).resolve().parents[1])
if sys.path and Path(sys.path[0]).resolve() == Path(__file__).resolve().parent:
    sys.path[0] = ROOT
elif ROOT not in sys.path:
    sys.path.insert(0, ROOT)


def run() -> int:
    # Numba's OpenMP threads spin for a while after each parallel loop, on the cores that
    # the next implementation timed (ours, in the interleaved repetitions) needs. Sleeping
    # idle threads cost a parallel loop nothing measurable and keep the peers independent.
    # Set before anything can load Numba's threading layer.
    os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")
    os.environ.setdefault("KMP_BLOCKTIME", "0")
    try:
        import quarnel  # noqa: F401
    except ImportError as exc:  # pragma: no cover - depends on the environment
        sys.exit(f"cannot import quarnel ({exc}).\nInstall the package with its bench extra "
                 "(pip install '.[bench]') or put a build directory on PYTHONPATH.")
    from bench.cli import main

    return main()


if __name__ == "__main__":
    sys.exit(run())
