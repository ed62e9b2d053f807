"""The installed wheel's type information: mypy finds the stubs and they match the module.

`_quarnel` is a top-level extension module, which PEP 561 cannot mark as typed, so the
wheel ships the stub-only package `_quarnel-stubs`. These tests run mypy the way a user
would, from a directory outside the source tree, against the installed package.
"""

from __future__ import annotations

import importlib.metadata
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from markers import tooling

pytest.importorskip("mypy", reason="mypy comes with the test extra")
pytestmark = tooling

GOOD = '''
import numpy as np
from numpy.typing import NDArray
from typing_extensions import assert_type

import _quarnel as q

rng = np.random.default_rng(1)
w_t: NDArray[np.float64] = rng.standard_normal(64)
x_t = np.exp(0.2 * w_t - 0.02)
states = np.asfortranarray(1.0 + 0.01 * rng.standard_normal((64, 5)))
dws = 0.5 * rng.standard_normal((64, 4))
sigma = 0.2 * states[:, :-1]
zeros = np.zeros_like(dws)
slopes = np.full_like(dws, 0.2)
name: str = "put"

assert_type(q.__version__, str)
assert_type(q.price_from_samples(x_t), tuple[float, float])
assert_type(q.price_from_samples(samples=x_t[::-1]), tuple[float, float])
assert_type(q.bel_weights_constant_flow(w_t, 1, np.float32(0.2)), NDArray[np.float64])
assert_type(q.bel_weights_tangent_flow(states, dws, sigma, zeros, slopes, 1.0),
            NDArray[np.float64])
assert_type(q.bel_weights_tangent_flow_parallel(states, dws, sigma, zeros, slopes,
                                                horizon=np.float64(1.0)),
            NDArray[np.float64])
price, delta, price_se, delta_se = q.price_and_delta_constant_flow(
    x_t, w_t, 1.0, 0.2, "call", strike=1.0)
assert_type(delta_se, float)
assert_type(q.price_and_delta_constant_flow(x_t, w_t, 1.0, 0.2, name),
            tuple[float, float, float, float])
assert_type(q.price_and_delta_tangent_flow(states, dws, sigma, zeros, slopes, 1.0,
                                           payoff="digital_call", strike=1.0),
            tuple[float, float, float, float])
assert all(hasattr(q, n) for n in q.__all__)
'''

# Each marked line must be reported with exactly that error code, and nothing else.
BAD = '''
import numpy as np

import _quarnel as q

x = np.ones(8)
m = np.ones((8, 3))
single = np.ones(8, dtype=np.float32)
q.price_from_samples([1.0, 2.0])  # E: arg-type
q.price_from_samples(single)  # E: arg-type
q.price_from_samples(np.arange(8))  # E: arg-type
q.bel_weights_constant_flow(x, "1.0", 0.2)  # E: arg-type
q.bel_weights_tangent_flow(m, m, m, m, m)  # E: call-arg
q.price_from_samples(samples=x, n=8)  # E: call-arg
price, delta = q.price_and_delta_constant_flow(x, x, 1.0, 0.2, "call")  # E: misc
q.price_and_delta_tangent_flow(m, m, m, m, m, 1.0, "call", strike=None)  # E: arg-type
q.price_and_delta_constant_flow(x, x, 1.0, 0.2, payoff=1)  # E: arg-type
weights: float = q.bel_weights_constant_flow(x, 1.0, 0.2)  # E: assignment
version: int = q.__version__  # E: assignment
'''


def run_mypy(tmp_path: Path, source: str) -> subprocess.CompletedProcess[str]:
    script = tmp_path / "script.py"
    script.write_text(textwrap.dedent(source))
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--show-error-codes", "--no-color-output",
         "--cache-dir", str(tmp_path / "cache"), script.name],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)


def test_wheel_ships_the_stub_package():
    files = importlib.metadata.files("quarnel") or []
    assert "_quarnel-stubs/__init__.pyi" in {f.as_posix() for f in files}


def test_correct_use_type_checks_and_runs(tmp_path):
    result = run_mypy(tmp_path, GOOD)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found" in result.stdout
    # What type-checks also runs: the stubs accept nothing the module rejects here.
    run = subprocess.run([sys.executable, tmp_path / "script.py"], capture_output=True,
                         text=True, timeout=120)
    assert run.returncode == 0, run.stderr


def test_type_errors_are_reported_where_they_are(tmp_path):
    result = run_mypy(tmp_path, BAD)
    assert result.returncode == 1, result.stdout + result.stderr
    lines = textwrap.dedent(BAD).splitlines()
    expected = {(n, m.group(1)) for n, text in enumerate(lines, 1)
                if (m := re.search(r"# E: ([\w-]+)$", text))}
    reported = {(int(m.group(1)), m.group(2))
                for m in re.finditer(r"^script\.py:(\d+): error: .*\[([\w-]+)\]$",
                                     result.stdout, re.MULTILINE)}
    assert reported == expected, result.stdout


def test_stubs_match_the_runtime_module(tmp_path):
    # No allowlist: every public name, parameter name, kind and default must agree.
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "_quarnel"],
                            cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
