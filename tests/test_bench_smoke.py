"""The benchmark harness runs end to end and its peer checks would catch a wrong result.

Timings are not judged here; a quick run only proves that the harness still works
against the current module (the peers agree with our kernels, the figures are written)
so that the benchmark is not found broken on the day someone needs it.
"""

import importlib.util
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from markers import SANITIZED, tooling

ROOT = Path(__file__).resolve().parents[1]
RUN = ROOT / "bench" / "run.py"
HAVE_NUMBA = importlib.util.find_spec("numba") is not None


def bench_module(monkeypatch, name):
    monkeypatch.syspath_prepend(str(ROOT))
    return importlib.import_module(f"bench.{name}")


def quick_run(tmp_path, *extra):
    out = tmp_path / "results.json"
    env = {k: v for k, v in os.environ.items()
           if k not in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")}
    proc = subprocess.run(
        [sys.executable, str(RUN), "--quick", "--no-chart", "--json", str(out), *extra],
        capture_output=True, text=True, timeout=300, env=env, cwd=tmp_path, check=False)
    assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-4000:]
    return json.loads(out.read_text())


def results_of(record, impl):
    return [r for r in record["results"] if r["implementation"] == impl]


def test_quick_run_without_numba(tmp_path, monkeypatch):
    record = quick_run(tmp_path, "--no-numba")
    assert record["quick"] is True
    assert record["mismatches"] == []
    assert record["path_products"] and all(r["agrees"] for r in record["path_products"])
    assert record["chart"] is None
    assert record["machine"]["numpy"] == np.__version__
    assert record["machine"]["numba"] is None
    assert record["bandwidth"]["gb_s_one_thread"] > 0
    # With a compiler at hand the native probe must build: the NumPy fallback is no bound.
    if not SANITIZED and bench_module(monkeypatch, "probe").compiler() is not None:
        assert record["bandwidth"]["native"], record["bandwidth"]["built_with"]

    functions = {r["function"] for r in results_of(record, "quarnel")}
    assert functions == {
        "bel_weights_tangent_flow", "bel_weights_tangent_flow_parallel",
        "price_and_delta_tangent_flow", "price_from_samples", "bel_weights_constant_flow",
        "price_and_delta_constant_flow", "greek_weights_tangent_flow",
        "greek_weights_tangent_flow_parallel", "price_and_greeks_tangent_flow",
        "greek_weights_constant_flow", "price_and_greeks_constant_flow (weights)",
        "price_and_greeks_constant_flow (lowest_variance)"}
    # The stages come from the example's timing hook: one that no longer reaches the
    # bench would leave every stage at zero and the whole job in "other".
    for version in record["end_to_end"]["versions"].values():
        assert all(v > 0 for k, v in version["stages_s"].items() if k != "other"), version
    for r in record["results"]:
        assert r["median_s"] > 0 and len(r["times_s"]) == 2
    assert not results_of(record, "numba njit")

    # The NumPy tangent-flow loop runs the same operations per path: equal bits.
    numpy_tf = [r for r in results_of(record, "numpy")
                if r["function"] == "bel_weights_tangent_flow"]
    assert numpy_tf and all(r["check"] == "bit-identical" for r in numpy_tf)
    parallel = [r for r in results_of(record, "quarnel")
                if r["function"] == "bel_weights_tangent_flow_parallel"]
    assert all(r["check"] == "bit-identical" for r in parallel)

    statuses = {t["target"]: t["status"] for t in record["targets"]}
    assert statuses[">= 1.8 x Numba serial"] == "SKIP"
    assert all(s in ("PASS", "FAIL", "SKIP", "INFO") for s in statuses.values())
    probed = {m["function"] for m in record["memory"]}
    assert "bel_weights_tangent_flow" in probed


# Numba's JIT is a tool of its own: checked once, in the main pass.
@tooling
@pytest.mark.skipif(not HAVE_NUMBA, reason="numba is not installed (bench extra)")
def test_quick_run_with_numba_peers_bit_identical(tmp_path):
    record = quick_run(tmp_path)
    assert record["mismatches"] == []
    assert record["machine"]["numba"]["version"]
    for impl in ("numba njit", "numba prange"):
        rows = results_of(record, impl)
        assert rows and all(r["check"] == "bit-identical" for r in rows), rows


def test_a_differing_peer_is_reported(capsys, monkeypatch):
    # The checks must flag one flipped last bit.
    run = bench_module(monkeypatch, "harness")
    del run.MISMATCHES[:]
    ours = np.array([0.528, 0.7363636363636364])
    peer = ours.copy()
    peer[1] = np.nextafter(peer[1], 1.0)
    assert run.check_bits("same", ours, ours.copy()) == "bit-identical"
    assert run.check_bits("flipped", ours, peer) == "MISMATCH"
    assert run.check_bits("signed zero", np.array([0.0]), np.array([-0.0])) == "MISMATCH"
    assert run.check_close("sum order", (1.0, 2.0), (1.0, 2.0 + 4e-16)).startswith("close")
    assert run.check_close("wrong", (1.0, 2.0), (1.0, 2.001)) == "MISMATCH"
    assert len(run.MISMATCHES) == 3
    assert "MISMATCH" in capsys.readouterr().err


def test_path_products_bench_agrees_with_numpy(monkeypatch):
    # bench.paths times the barrier and Asian kernels against NumPy versions of the same
    # estimators; a kernel or peer that drifted apart would fail its agreement check.
    paths = bench_module(monkeypatch, "paths")
    rows = paths.measure(2_000, 16, reps=1)
    assert rows and all(r["agrees"] for r in rows)


@tooling
def test_heston_bench_quick():
    # The bench checks its NumPy recursions against the kernel (v and its tangents bit
    # for bit, the Greeks to 1e-9) before it times anything.
    proc = subprocess.run([sys.executable, str(ROOT / "bench" / "heston.py"), "--quick"],
                          capture_output=True, text=True, timeout=300, check=False)
    assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-4000:]
    assert "bump-and-reprice" in proc.stdout and "of bumps / of quarnel" in proc.stdout


def test_stream_bench_quick_run():
    # The script itself refuses to time a streamed result that differs from the batch.
    proc = subprocess.run([sys.executable, str(ROOT / "bench" / "stream.py"), "--quick"],
                          capture_output=True, text=True, timeout=300, check=False)
    assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-4000:]
    assert "a step more" in proc.stdout


def test_fused_benchmark_quick_run(monkeypatch, capsys):
    record = bench_module(monkeypatch, "fused").main(["--quick", "--repeat", "1"])
    assert set(record["seconds"]) == {"fast recipe", "fused delta", "fused Greeks",
                                      "compute limit"}
