"""Every example runs with one command; here in its quick mode."""

from __future__ import annotations

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

from markers import not_sanitized

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


def run_example(name: str, *args: str, cwd: Path | None = None) -> str:
    result = subprocess.run([sys.executable, EXAMPLES / name, "--quick", *args], cwd=cwd,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def test_black_scholes():
    out = run_example("black_scholes.py")
    assert "digital_call" in out and "Ornstein-Uhlenbeck" in out


def test_custom_payoff():
    # The example asserts that its NumPy compositions agree with the built-in routines.
    out = run_example("custom_payoff.py")
    assert "Call spread" in out and "digital put" in out


@pytest.mark.parametrize(("name", "args", "expected"), [
    ("step_size.py", (), "price(n)-price(2n)"),
    # Asserts its fast recipe gives the straightforward code's samples bit for bit.
    ("end_to_end.py", ("--check",), "bit for bit: True"),
])
def test_example_runs(name, args, expected):
    assert expected in run_example(name, *args)


def test_heston_delta_against_its_closed_form():
    # The example asserts that the weights' delta is within 5 standard errors.
    out = run_example("heston.py")
    assert "closed form:     0.67562" in out


def test_convergence_study_writes_its_plot(tmp_path):
    png = tmp_path / "convergence.png"
    out = run_example("convergence.py", "--output", str(png))
    assert "variance of FD / variance of BEL" in out
    if importlib.util.find_spec("matplotlib") is None:
        assert "no plot written" in out and not png.exists()
    else:
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.skipif(importlib.util.find_spec("distributed") is None
                    or importlib.util.find_spec("dask") is None,
                    reason="dask and distributed come with the dask extra")
@not_sanitized  # worker processes would start under the sanitizer preload too
def test_dask_scaling(tmp_path):
    out = run_example("dask_scaling.py", cwd=tmp_path)
    assert "on 2 workers" in out and "digital_call" in out


@pytest.mark.parametrize(("name", "expected"), [
    # Each asserts its exact-GBM estimates against the closed forms.
    ("barrier.py", "terminal weight on the discretely knocked payoff"),
    ("asian.py", "geometric Asian call vs closed form"),
])
def test_path_products_against_closed_forms(name, expected):
    assert expected in run_example(name)
def test_basket_against_differences_and_margrabe():
    # The example asserts every estimate is within 5 standard errors of its reference.
    assert "all within" in run_example("basket.py")
