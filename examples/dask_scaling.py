"""Scaling out with Dask: a path batch chunked by rows, one `_quarnel` call per chunk.

Paths are independent, so a batch splits by rows (whole paths) into chunks that
workers simulate and evaluate on their own: `map_blocks` runs the tangent-flow
weight kernel on each chunk, and a per-chunk `price_and_delta_tangent_flow` returns
(n_i, price_i, delta_i, price_stderr_i, delta_stderr_i). Those combine into the
whole batch's estimate: with the population standard error of the module,

    S1_i = n_i * mean_i,    S2_i = n_i * (n_i * se_i**2 + mean_i**2)

recover each chunk's sum and sum of squares, and the same rule applied to the totals
gives the batch's mean and standard error, equal to one call over the whole batch up
to rounding. (A chunk whose variance was clamped at 0 carries its exact sums only up
to that rounding, too.)

Each worker here is one process with one thread and uses the serial kernel; inside a
single big process, `bel_weights_tangent_flow_parallel` uses the cores instead.

    python examples/dask_scaling.py [--quick] [--paths N] [--steps M] [--chunk ROWS]
                                    [--workers W] [--scheduler ADDRESS]
"""

from __future__ import annotations

import argparse
import math

import dask.array as da
import numpy as np

import _quarnel as q

# Model: dX = kappa (theta - X) dt + s X dW, mean reversion with a proportional
# diffusion, so the tangent process Y is random and the constant-flow form does not apply.
X0, KAPPA, THETA, S, T = 1.0, 1.2, 0.9, 0.25, 1.0


def simulate(dws: np.ndarray) -> np.ndarray:
    """Euler states (rows, n_steps + 1) for one chunk of Brownian increments."""
    dt = T / dws.shape[1]
    states = np.empty((dws.shape[0], dws.shape[1] + 1))
    states[:, 0] = X0
    for j in range(dws.shape[1]):
        x = states[:, j]
        states[:, j + 1] = x + KAPPA * (THETA - x) * dt + S * x * dws[:, j]
    return states


def path_batch(n_paths: int, n_steps: int, chunk: int, seed: int):
    """The batch as dask arrays chunked by rows: states, dws and the coefficient fields."""
    rs = da.random.default_rng(seed)
    dws = rs.standard_normal((n_paths, n_steps), chunks=(chunk, n_steps)) * math.sqrt(T / n_steps)
    states = dws.map_blocks(simulate, chunks=(dws.chunks[0], (n_steps + 1,)), dtype=np.float64)
    x = states[:, :-1]
    return states, dws, S * x, da.full_like(dws, -KAPPA), da.full_like(dws, S)


def weights(states, dws, sigma, d_mu_dx, d_sigma_dx) -> da.Array:
    """Per-path tangent-flow weights, one kernel call per row chunk."""
    return da.map_blocks(q.bel_weights_tangent_flow, states, dws, sigma, d_mu_dx, d_sigma_dx,
                         T, drop_axis=1, dtype=np.float64)


def _chunk_estimate(states, dws, sigma, d_mu_dx, d_sigma_dx, payoff, strike):
    est = q.price_and_delta_tangent_flow(states, dws, sigma, d_mu_dx, d_sigma_dx, T,
                                         payoff, strike)
    return np.array([[states.shape[0], *est]])


def combine(n, mean, se):
    """Whole-batch (mean, stderr) from per-chunk counts, means and population stderrs."""
    n, mean, se = (np.asarray(a, dtype=np.float64) for a in (n, mean, se))
    full = n > 0  # an empty chunk reports NaN and contributes nothing
    s1 = np.sum(n[full] * mean[full])
    s2 = np.sum(n[full] * (n[full] * se[full] ** 2 + mean[full] ** 2))
    total = np.sum(n)
    m = s1 / total
    return float(m), float(math.sqrt(max(s2 / total - m * m, 0.0) / total))


def price_and_delta(batch, payoff: str, strike: float) -> tuple[float, float, float, float]:
    """(price, delta, price_stderr, delta_stderr) over a row-chunked batch."""
    parts = da.map_blocks(_chunk_estimate, *batch, payoff, strike,
                          chunks=((1,) * batch[0].numblocks[0], (5,)), dtype=np.float64)
    rows = parts.compute()
    price, price_se = combine(rows[:, 0], rows[:, 1], rows[:, 3])
    delta, delta_se = combine(rows[:, 0], rows[:, 2], rows[:, 4])
    return price, delta, price_se, delta_se


def main() -> None:
    from distributed import Client, LocalCluster

    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small batch, for smoke tests")
    ap.add_argument("--paths", type=int, default=None)
    ap.add_argument("--steps", type=int, default=None)
    ap.add_argument("--chunk", type=int, default=None, help="paths per chunk")
    ap.add_argument("--workers", type=int, default=2, help="local worker processes")
    ap.add_argument("--scheduler", default=None, help="address of a running scheduler")
    ap.add_argument("--seed", type=int, default=5)
    args = ap.parse_args()
    n_paths = args.paths or (20_000 if args.quick else 1_000_000)
    n_steps = args.steps or (16 if args.quick else 100)
    chunk = args.chunk or max(1, n_paths // 8)

    if args.scheduler:
        client, cluster = Client(args.scheduler), None
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True)
        client = Client(cluster)
    with client:
        batch = path_batch(n_paths, n_steps, chunk, args.seed)
        print(f"{n_paths} paths x {n_steps} steps in {batch[0].numblocks[0]} chunks "
              f"on {len(client.scheduler_info()['workers'])} workers")
        w = weights(*batch)
        x_t = batch[0][:, -1]
        spread = (da.maximum(x_t - 0.9, 0.0) - da.maximum(x_t - 1.1, 0.0)) * w
        print(f"call spread 0.9/1.1 delta from the weights: {spread.mean().compute():.5f}")
        for payoff in ("call", "digital_call"):
            price, delta, price_se, delta_se = price_and_delta(batch, payoff, 1.0)
            print(f"{payoff:<13} price {price:.5f} ± {price_se:.5f}   "
                  f"delta {delta:.5f} ± {delta_se:.5f}")
    if cluster is not None:
        cluster.close()


if __name__ == "__main__":
    main()
