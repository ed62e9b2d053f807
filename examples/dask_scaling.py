"""Scaling out with Dask: a path batch chunked by rows, estimated with quarnel.dask.

Paths are independent, so a batch splits by rows (whole paths) into chunks that the
workers simulate on their own: nothing here ever holds the whole batch. The
estimators of `quarnel.dask` form each chunk's per-path samples where the chunk is
and continue the running sums from chunk to chunk in path order, so the estimate
equals one call over the gathered batch bit for bit (checked here in --quick mode).

Each worker is one process with one thread and runs the serial kernels; inside a
single big process, `bel_weights_tangent_flow_parallel` uses the cores instead.

    python examples/dask_scaling.py [--quick] [--paths N] [--steps M] [--chunk ROWS]
                                    [--workers W] [--scheduler ADDRESS]
"""

from __future__ import annotations

import argparse
import math

import dask
import dask.array as da
import numpy as np

import quarnel
import quarnel.dask as qd

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


def path_batch(n_paths: int, n_steps: int, chunk: int, seed: int) -> tuple[da.Array, ...]:
    """The batch as lazy dask arrays chunked by rows, generated chunk by chunk on the
    workers: states, dws and the coefficient fields sigma, mu' and sigma'."""
    rng = da.random.default_rng(seed)
    dws = rng.standard_normal((n_paths, n_steps), chunks=(chunk, n_steps)) * math.sqrt(T / n_steps)
    states = dws.map_blocks(simulate, chunks=(dws.chunks[0], (n_steps + 1,)), dtype=np.float64)
    # Constant fields as zero-stride chunks: they cost no memory.
    def constant(c: float) -> da.Array:
        return da.broadcast_to(np.float64(c), dws.shape, chunks=dws.chunks)
    return states, dws, S * states[:, :-1], constant(-KAPPA), constant(S)


def main() -> None:
    from distributed import Client, LocalCluster

    ap = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small batch, for smoke tests")
    ap.add_argument("--paths", type=int, default=None)
    ap.add_argument("--steps", type=int, default=None)
    ap.add_argument("--chunk", type=int, default=None, help="paths per chunk")
    ap.add_argument("--workers", type=int, default=2, help="local worker processes")
    ap.add_argument("--scheduler", default=None, help="address of a running scheduler")
    ap.add_argument("--seed", type=int, default=5)
    args = ap.parse_args()
    n_paths = args.paths or (20_001 if args.quick else 1_000_000)
    n_steps = args.steps or (16 if args.quick else 100)
    chunk = args.chunk or max(1, n_paths // 8)

    if args.scheduler:
        client, cluster = Client(args.scheduler), None
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=":0")
        client = Client(cluster)
    with client:
        batch = path_batch(n_paths, n_steps, chunk, args.seed)
        print(f"{n_paths} paths x {n_steps} steps in {batch[0].numblocks[0]} chunks "
              f"on {len(client.scheduler_info()['workers'])} workers")
        # Any payoff of your own: the weights as a lazy array, composed with dask.array.
        w = qd.bel_weights_tangent_flow(*batch, T)
        x_t = batch[0][:, -1]
        spread = (da.maximum(x_t - 0.9, 0.0) - da.maximum(x_t - 1.1, 0.0)) * w
        print(f"call spread 0.9/1.1 delta from the weights: {spread.mean().compute():.5f}")
        # Each estimate is one graph: the lazy batch is generated once per call, chunk
        # by chunk. (A batch that fits in the cluster's memory can be persisted first.)
        for payoff in ("call", "digital_call"):
            price, delta, price_se, delta_se = qd.price_and_delta_tangent_flow(
                *batch, T, payoff, 1.0)
            print(f"{payoff:<13} price {price:.5f} ± {price_se:.5f}   "
                  f"delta {delta:.5f} ± {delta_se:.5f}")
            if args.quick:
                whole = dask.compute(*batch)
                single = quarnel.price_and_delta_tangent_flow(*whole, T, payoff, 1.0)
                assert (price, delta, price_se, delta_se) == single
                print("              equal to one call on the gathered batch, bit for bit")
    if cluster is not None:
        cluster.close()


if __name__ == "__main__":
    main()
