"""quarnel.dask.price_and_greeks_fused on a local cluster: seeds only, nothing but kernel
rows and sums leaves a worker's chunk.

    python -m bench.dask_fused [--path-steps 1e9] [--steps 256] [--chunk 65536]

The CEV job of the fused benchmark at 10^9 path-steps: one fused call in a process
whose pool has one thread, then quarnel.dask with 1 and 2 workers of one thread each
(RAYON_NUM_THREADS=1 on both sides, so a worker is the one-thread call). Reported: the
throughput in million path-steps per second, the ratio of 2 workers to 1 and of
1 worker to the call in one process, each worker's peak resident set above idle, and
whether the estimate equals the single call's bit for bit.
"""

from __future__ import annotations

import os

os.environ["RAYON_NUM_THREADS"] = "1"  # before quarnel starts its pool

import argparse
import time

from distributed import Client, LocalCluster

import quarnel
import quarnel.dask as qd
from bench.dask_throughput import RssSampler
from quarnel.models import CEV

MODEL = CEV(x0=1.0, vol=0.3, beta=0.7, mu=0.02)
T, SEED, STRIKE = 1.0, 2026, 1.0


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--path-steps", type=float, default=1e9)
    ap.add_argument("--steps", type=int, default=256)
    ap.add_argument("--chunk", type=int, default=65536)
    args = ap.parse_args()
    n_paths = int(args.path_steps) // args.steps
    steps = n_paths * args.steps
    t0 = time.perf_counter()
    one = quarnel.price_and_greeks_fused(MODEL, n_paths, args.steps, T, SEED, "call", STRIKE)
    single = time.perf_counter() - t0
    print(f"CEV call, {n_paths} paths x {args.steps} steps ({steps:.2e} path-steps), "
          f"chunks of {args.chunk} paths, one thread per process")
    print(f"  one call in this process:  {steps / single / 1e6:6.0f} Mstep/s ({single:.1f} s)")
    rates = {}
    for n_workers in (1, 2):
        with LocalCluster(n_workers=n_workers, threads_per_worker=1, processes=True,
                          dashboard_address=":0", memory_limit=0,
                          env={"RAYON_NUM_THREADS": "1"}) as c, Client(c) as client:
            client.run(lambda: __import__("quarnel.dask"))  # imports outside the timing
            pids = list(client.run(os.getpid).values())
            import psutil

            idle = [psutil.Process(p).memory_info().rss for p in pids]
            with RssSampler(pids) as rss:
                t0 = time.perf_counter()
                got = qd.price_and_greeks_fused(MODEL, n_paths, args.steps, T, SEED, "call",
                                                STRIKE, chunks=args.chunk, timeout=3600)
                elapsed = time.perf_counter() - t0
            rates[n_workers] = steps / elapsed / 1e6
            growth = ", ".join(f"{(p - i) / 1e6:.0f}" for i, p in zip(idle, rss.peaks))
            print(f"  quarnel.dask, {n_workers} worker{'s' if n_workers > 1 else ' '}:   "
                  f"{rates[n_workers]:6.0f} Mstep/s ({elapsed:.1f} s); peak RSS above idle "
                  f"{growth} MB; the single call's bits: {repr(got) == repr(one)}")
            assert repr(got) == repr(one)
    print(f"  2 workers / 1 worker: {rates[2] / rates[1]:.2f} (target 1.6); 1 worker / one "
          f"call: {rates[1] / (steps / single / 1e6):.2f} (target 0.8)")


if __name__ == "__main__":
    main()
