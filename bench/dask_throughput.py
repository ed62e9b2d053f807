"""quarnel.dask on a local cluster: throughput with 1 and 2 workers, and the peak memory
of each worker when the batch is twice the size of a worker's memory limit.

    python bench/dask_throughput.py [--quick] [--paths N] [--steps M] [--chunk ROWS]

Throughput: the batch is simulated and persisted on the workers first, so the timings
are those of `quarnel.dask.price_and_delta_tangent_flow` alone (per-chunk samples, the
chain of sums, one compute), in million path-steps per second; beside them, one
`quarnel.price_and_delta_tangent_flow` call in this process on the gathered batch.

Memory: two workers of `memory_limit` 200 MB each get a batch of about 400 MB
(states, increments and sigma, 8 bytes a value) that exists only as a lazy graph:
each chunk is simulated on a worker, reduced to its samples, and dropped. The resident
set of every worker process is sampled every 10 ms. The estimate is checked against
one call on the batch gathered here, bit for bit.
"""

from __future__ import annotations

import argparse
import math
import os
import statistics
import threading
import time

import dask
import dask.array as da
import numpy as np
import psutil
from distributed import Client, LocalCluster, wait

import quarnel
import quarnel.dask as qd

X0, KAPPA, THETA, S, T = 1.0, 1.2, 0.9, 0.25, 1.0  # dX = kappa (theta - X) dt + s X dW


def simulate(dws: np.ndarray) -> np.ndarray:
    dt = T / dws.shape[1]
    states = np.empty((dws.shape[0], dws.shape[1] + 1))
    states[:, 0] = X0
    for j in range(dws.shape[1]):
        x = states[:, j]
        states[:, j + 1] = x + KAPPA * (THETA - x) * dt + S * x * dws[:, j]
    return states


def lazy_batch(n_paths: int, n_steps: int, chunk: int, seed: int = 7) -> tuple[da.Array, ...]:
    rng = da.random.default_rng(seed)
    dws = rng.standard_normal((n_paths, n_steps), chunks=(chunk, n_steps)) * math.sqrt(T / n_steps)
    states = dws.map_blocks(simulate, chunks=(dws.chunks[0], (n_steps + 1,)), dtype=np.float64)
    return (states, dws, S * states[:, :-1],
            da.broadcast_to(np.float64(-KAPPA), dws.shape, chunks=dws.chunks),
            da.broadcast_to(np.float64(S), dws.shape, chunks=dws.chunks))


def cluster(n_workers: int, memory_limit: str | int = 0) -> LocalCluster:
    return LocalCluster(n_workers=n_workers, threads_per_worker=1, processes=True,
                        memory_limit=memory_limit, dashboard_address=":0")


def throughput(n_paths: int, n_steps: int, chunk: int, repeats: int) -> None:
    batch = lazy_batch(n_paths, n_steps, chunk)
    whole = dask.compute(*batch, scheduler="threads")
    steps = n_paths * n_steps
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        quarnel.price_and_delta_tangent_flow(*whole, T, "call", 1.0)
        times.append(time.perf_counter() - t0)
    print(f"{n_paths} x {n_steps} in {batch[0].numblocks[0]} chunks of {chunk} rows; "
          f"median of {repeats}")
    print(f"  one call in this process: {steps / statistics.median(times) / 1e6:7.0f} Mstep/s")
    for n_workers in (1, 2):
        with cluster(n_workers) as c, Client(c) as client:
            persisted = client.persist(list(batch))
            wait(persisted)
            times = []
            for i in range(repeats):
                # A new strike each time: a graph equal to the last one could be served
                # from results the scheduler still holds.
                strike = 1.0 + i * 2.0**-40
                t0 = time.perf_counter()
                got = qd.price_and_delta_tangent_flow(*persisted, T, "call", strike)
                times.append(time.perf_counter() - t0)
            assert got == quarnel.price_and_delta_tangent_flow(*whole, T, "call", strike)
            print(f"  quarnel.dask, {n_workers} worker{'s' if n_workers > 1 else ' '}:    "
                  f"{steps / statistics.median(times) / 1e6:7.0f} Mstep/s")


class RssSampler:
    """Peak resident set of some processes, sampled on a thread of this one."""

    def __init__(self, pids: list[int], every: float = 0.01) -> None:
        self.procs = [psutil.Process(p) for p in pids]
        self.peaks = [p.memory_info().rss for p in self.procs]
        self.every = every
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self) -> None:
        while not self.done.wait(self.every):
            for i, p in enumerate(self.procs):
                self.peaks[i] = max(self.peaks[i], p.memory_info().rss)

    def __enter__(self) -> RssSampler:
        self.thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.done.set()
        self.thread.join()


def memory(n_steps: int, chunk: int, limit_mb: int, batch_mb: int) -> None:
    n_paths = (batch_mb * 10**6) // (3 * 8 * n_steps)  # states, dws and sigma
    batch = lazy_batch(n_paths, n_steps, chunk, seed=11)
    batch_mb = sum(batch[i].nbytes for i in range(3)) / 1e6
    with cluster(2, f"{limit_mb}MB") as c, Client(c) as client:
        pids = list(client.run(os.getpid).values())
        idle = [psutil.Process(p).memory_info().rss for p in pids]
        with RssSampler(pids) as rss:
            t0 = time.perf_counter()
            got = qd.price_and_delta_tangent_flow(*batch, T, "digital_call", 1.0)
            elapsed = time.perf_counter() - t0
        workers = len(client.scheduler_info()["workers"])
    whole = dask.compute(*batch, scheduler="threads")
    single = quarnel.price_and_delta_tangent_flow(*whole, T, "digital_call", 1.0)
    print(f"{n_paths} x {n_steps}, {batch_mb:.0f} MB generated lazily in "
          f"{batch[0].numblocks[0]} chunks of {chunk} rows ({chunk * n_steps * 24 / 1e6:.0f} MB); "
          f"2 workers of memory_limit {limit_mb} MB; {elapsed:.1f} s")
    for i, (before, peak) in enumerate(zip(idle, rss.peaks)):
        print(f"  worker {i}: RSS {before / 1e6:.0f} MB idle, peak {peak / 1e6:.0f} MB "
              f"({(peak - before) / 1e6:.0f} MB above idle)")
    print(f"  workers at the end: {workers} (none lost); equal to one call on the gathered "
          f"batch bit for bit: {got == single}")
    assert got == single, (got, single)


def main() -> None:
    ap = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small sizes, for smoke tests")
    ap.add_argument("--paths", type=int, default=None)
    ap.add_argument("--steps", type=int, default=100)
    ap.add_argument("--chunk", type=int, default=None, help="paths per chunk")
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--limit-mb", type=int, default=200, help="worker memory limit, MB")
    args = ap.parse_args()
    n_paths = args.paths or (20_000 if args.quick else 200_000)
    chunk = args.chunk or max(1, n_paths // 16)
    throughput(n_paths, args.steps, chunk, 2 if args.quick else args.repeats)
    batch_mb = args.limit_mb // 5 if args.quick else 2 * args.limit_mb
    memory(args.steps, 5_000, args.limit_mb, batch_mb)


if __name__ == "__main__":
    main()
