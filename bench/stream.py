"""What streaming costs: TangentFlowAccumulator fed one step at a time against one
batch call on the same stored arrays, and a NumPy CEV simulation streaming into it
against the same simulation storing its batch.

    python bench/stream.py [--quick] [--paths N] [--steps M] [--repeats R]

Rows:
- quarnel only, the step arrays already in memory (time-major, so a step is a
  contiguous row): `price_and_greeks_tangent_flow` on the stacked batch, then the
  accumulator stepped through the same rows and asked the same; their difference per
  step is the cost of streaming. The two must give the same bits (checked).
- the fixed cost of one `step()` call on one path: the Python and binding overhead.
- the whole job with a NumPy simulation (examples' CEV): storing the batch and one call,
  against streaming, with the peak of NumPy's allocations (tracemalloc) for each; the
  accumulator's own state (8 doubles a path) is added to the streamed figure.
Times are the best of the repeats (a neighbour's load only adds to a time).
"""

from __future__ import annotations

import argparse
import math
import time
import timeit
import tracemalloc
from collections.abc import Callable
from typing import Any

import numpy as np

import quarnel

BETA, S, MU, X0, T, STRIKE = 0.7, 0.3, 0.05, 1.0, 1.0, 1.0


def fields(x: np.ndarray) -> tuple[np.ndarray, ...]:
    """sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2 of the CEV model at x > 0."""
    xb = x ** (BETA - 2)
    sigma = S * (x * x) * xb
    d_sigma = (S * BETA) * x * xb
    d2_sigma = (S * BETA * (BETA - 1)) * xb
    return sigma, np.full_like(x, MU), d_sigma, np.zeros_like(x), d2_sigma


def simulate_stored(rng: np.random.Generator, n: int, m: int) -> dict[str, Any]:
    """The batch, time-major (a step is a contiguous row), passed transposed."""
    dt = T / m
    dws = rng.standard_normal((m, n)) * math.sqrt(dt)
    states = np.empty((m + 1, n))
    states[0] = X0
    f = [np.empty((m, n)) for _ in range(5)]
    for j in range(m):
        x = np.maximum(states[j], 1e-8)
        for out, v in zip(f, fields(x)):
            out[j] = v
        states[j + 1] = states[j] + (MU * dt) * states[j] + f[0][j] * dws[j]
    return {"states": states.T, "dws": dws.T, "sigma": f[0].T, "d_mu_dx": f[1].T,
            "d_sigma_dx": f[2].T, "d2_mu_dx2": f[3].T, "d2_sigma_dx2": f[4].T, "horizon": T}


def batch_call(b: dict[str, Any]) -> quarnel.Greeks:
    return quarnel.price_and_greeks_tangent_flow(
        b["states"], b["dws"], b["sigma"], b["d_mu_dx"], b["d_sigma_dx"], b["d2_mu_dx2"],
        b["d2_sigma_dx2"], T, "call", STRIKE)


def streamed_call(b: dict[str, Any]) -> quarnel.Greeks:
    n, m = b["dws"].shape
    acc = quarnel.TangentFlowAccumulator(n, m, T)
    cols = [b[k].T for k in ("dws", "sigma", "d_mu_dx", "d_sigma_dx", "d2_mu_dx2",
                             "d2_sigma_dx2")]
    for j in range(m):
        acc.step(*(c[j] for c in cols))
    return acc.price_and_greeks(b["states"][:, -1], "call", STRIKE)


def simulate_streaming(rng: np.random.Generator, n: int, m: int) -> quarnel.Greeks:
    """The same simulation holding one step: nothing of a path's history is kept."""
    dt = T / m
    acc = quarnel.TangentFlowAccumulator(n, m, T)
    x = np.full(n, X0)
    for _ in range(m):
        dw = rng.standard_normal(n) * math.sqrt(dt)
        f = fields(np.maximum(x, 1e-8))
        acc.step(dw, *f)
        x = x + (MU * dt) * x + f[0] * dw
    return acc.price_and_greeks(x, "call", STRIKE)


def best(fn: Callable[[], object], repeats: int) -> float:
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def peak_bytes(fn: Callable[[], object]) -> int:
    tracemalloc.start()
    try:
        fn()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a small run that proves it works")
    parser.add_argument("--paths", type=int, default=100_000)
    parser.add_argument("--steps", type=int, default=256)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    n, m, repeats = (2_000, 16, 2) if args.quick else (args.paths, args.steps, args.repeats)

    stored = simulate_stored(np.random.default_rng(1), n, m)
    want, got = batch_call(stored), streamed_call(stored)
    if np.array(want).tobytes() != np.array(got).tobytes():
        raise SystemExit(f"streamed {got} differs from the batch {want}")
    t_batch = best(lambda: batch_call(stored), repeats)
    t_stream = best(lambda: streamed_call(stored), repeats)
    print(f"{n} paths x {m} steps, quarnel only (arrays in memory):")
    print(f"  batch call            {t_batch * 1e3:9.2f} ms")
    print(f"  streamed, {m} steps   {t_stream * 1e3:9.2f} ms  ({t_stream / t_batch:.2f} x the "
          f"batch, {(t_stream - t_batch) / m * 1e6:.1f} us a step more)")

    one = quarnel.TangentFlowAccumulator(1, 10**9, T)
    a1 = np.ones(1)
    calls = 2_000 if args.quick else 50_000
    per_call = min(timeit.repeat(lambda: one.step(a1, a1, a1, a1, a1, a1), number=calls,
                                 repeat=3)) / calls
    print(f"  step() on one path    {per_call * 1e9:9.0f} ns (the fixed cost of a step)")

    t_sim_stored = best(lambda: batch_call(simulate_stored(np.random.default_rng(2), n, m)),
                        max(1, repeats // 2))
    t_sim_stream = best(lambda: simulate_streaming(np.random.default_rng(2), n, m),
                        max(1, repeats // 2))
    mem_stored = peak_bytes(lambda: batch_call(simulate_stored(np.random.default_rng(3), n, m)))
    mem_stream = peak_bytes(lambda: simulate_streaming(np.random.default_rng(3), n, m)) + 8 * 8 * n
    print("with the NumPy CEV simulation:")
    mib = 2**20
    print(f"  stored batch + call   {t_sim_stored * 1e3:9.1f} ms, peak {mem_stored / mib:8.1f} MiB")
    print(f"  streamed              {t_sim_stream * 1e3:9.1f} ms, peak {mem_stream / mib:8.1f} MiB"
          f"  ({mem_stored / mem_stream:.0f} x less)")


if __name__ == "__main__":
    main()
