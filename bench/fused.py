"""The fused estimators against the NumPy recipes of examples/end_to_end.py, in one run.

The job is the example's: the tangent-flow delta of E[X_T] under CEV (s = 0.3,
beta = 0.7, x0 = 1, T = 1), simulation included. Timed, best of --repeat with the
repetitions interleaved so that a busy machine slows every contender alike:

- fast recipe: the example's `fast` (time-major NumPy, two threads, SFC64 normals);
- fused delta: `price_and_delta_fused` (the same first-order weight, one pass);
- fused Greeks: `price_and_greeks_fused` (price, delta, gamma and vega, exact for the
  Euler scheme: four divisions a step instead of one);
- compute limit: the fused simulation without tangents (the normals, x^beta and the
  Euler step, the same lanes and threads), which no fused call can beat.

Then the peak RSS growth of one fused call at 10^6 x 256 in a fresh process.

    python -m bench.fused [--quick] [--paths N] [--steps M] [--repeat R] [--no-memory]
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import subprocess
import sys
import time
from pathlib import Path
from types import ModuleType
from typing import Any

import numpy as np

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "end_to_end.py"
S, BETA, X0, T, SEED = 0.3, 0.7, 1.0, 1.0, 11

RSS_CHILD = """
import resource, sys
import quarnel
from quarnel.models import CEV
n, m = int(sys.argv[1]), int(sys.argv[2])
m0 = CEV(x0=1.0, vol=0.3, beta=0.7)
quarnel.price_and_greeks_fused(m0, 1000, 8, 1.0, 1, "identity")  # pool and modules loaded
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
quarnel.price_and_greeks_fused(m0, n, m, 1.0, 1, "call", 1.0)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print((after - before) / 1024.0)
"""


def load_example() -> ModuleType:
    spec = importlib.util.spec_from_file_location("quarnel_example_end_to_end", EXAMPLE)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def contenders(n_paths: int, n_steps: int) -> dict[str, Any]:
    import quarnel
    from quarnel import _fused
    from quarnel.models import CEV

    example = load_example()
    model = CEV(x0=X0, vol=S, beta=BETA)
    scale = np.sqrt(T / n_steps)

    def fast_recipe() -> None:
        rng = np.random.Generator(np.random.SFC64(SEED))
        dws_t = rng.standard_normal((n_steps, n_paths))
        np.multiply(dws_t, scale, out=dws_t)
        quarnel.price_from_samples(example.fast(dws_t))

    return {
        "fast recipe": fast_recipe,
        "fused delta": lambda: quarnel.price_and_delta_fused(model, n_paths, n_steps, T, SEED,
                                                             "identity"),
        "fused Greeks": lambda: quarnel.price_and_greeks_fused(model, n_paths, n_steps, T, SEED,
                                                               "identity"),
        "compute limit": lambda: _fused.state_sum(*model._native(), n_paths, n_steps, T, SEED,
                                                  0),
    }


def peak_rss_growth_mb(n_paths: int, n_steps: int) -> float:
    out = subprocess.run([sys.executable, "-c", RSS_CHILD, str(n_paths), str(n_steps)],
                         capture_output=True, text=True, check=True)
    return float(out.stdout.strip())


def main(argv: list[str] | None = None) -> dict[str, Any]:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--paths", type=int, default=100_000)
    parser.add_argument("--steps", type=int, default=256)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="a small job, no memory run")
    parser.add_argument("--no-memory", action="store_true")
    parser.add_argument("--json", type=Path, help="write the record here")
    args = parser.parse_args(argv)
    n_paths, n_steps = (4_000, 32) if args.quick else (args.paths, args.steps)
    jobs = contenders(n_paths, n_steps)
    best = {name: float("inf") for name in jobs}
    for _ in range(args.repeat):
        for name, job in jobs.items():
            start = time.perf_counter()
            job()
            best[name] = min(best[name], time.perf_counter() - start)
    steps = n_paths * n_steps
    print(f"{n_paths} paths x {n_steps} steps, best of {args.repeat}")
    for name, t in best.items():
        print(f"{name:>14}: {t * 1e3:8.1f} ms  {steps / t / 1e6:7.1f} Mstep/s")
    record: dict[str, Any] = {"paths": n_paths, "steps": n_steps, "seconds": best}
    record["fast / fused delta"] = best["fast recipe"] / best["fused delta"]
    record["fast / fused Greeks"] = best["fast recipe"] / best["fused Greeks"]
    record["fused delta / limit"] = best["fused delta"] / best["compute limit"]
    record["fused Greeks / limit"] = best["fused Greeks"] / best["compute limit"]
    print(f"{'speed-up':>14}: {record['fast / fused delta']:.1f}x (delta, target >= 8), "
          f"{record['fast / fused Greeks']:.1f}x (all Greeks)")
    print(f"{'vs the limit':>14}: {record['fused delta / limit']:.2f}x (delta, target <= 1.5), "
          f"{record['fused Greeks / limit']:.2f}x (all Greeks)")
    if not (args.quick or args.no_memory):
        growth = peak_rss_growth_mb(1_000_000, 256)
        record["peak RSS growth MB at 1e6 x 256"] = growth
        print(f"{'memory':>14}: peak RSS growth {growth:.1f} MB at 10^6 x 256 (target < 64)")
    if args.json:
        args.json.write_text(json.dumps(record, indent=2))
    return record


if __name__ == "__main__":
    main()
