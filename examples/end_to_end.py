"""A whole delta job, simulation included, written two ways: straightforward, and fast.

The model is CEV, dX = s X^beta dW (reflected at 0), and the job is the delta of
E[X_T] (exactly 1: X is a martingale) by tangent-flow BEL weights. quarnel's own call
is a few percent of such a job; the rest is NumPy simulating the paths and evaluating
the coefficient fields. The fast recipe changes only how NumPy is used:

1. Time-major arrays, (n_steps, n_paths), passed to quarnel as `.T`: every step is a
   contiguous row, so each ufunc streams through memory. quarnel reads any layout in
   place, so nothing is copied or transposed.
2. In-place ufuncs (`out=`) into preallocated arrays: no temporary per step.
3. sigma kept from the loop (the Euler step needs it anyway), and its derivative from
   the same power; the drift derivative, a constant 0, as a zero-stride array.
4. Blocks of about 2 048 paths on two Python threads: a block's arrays stay in cache
   while the loop walks its steps, and NumPy releases the interpreter lock inside each
   ufunc, so the threads overlap. The weights of a path do not depend on the other
   paths, so the blocks' weights, put side by side, are exactly one call's.
5. A faster bit generator (SFC64) for the normals.

Each step's arithmetic is the same in both versions, so on the same increments they
give the same weights bit for bit (`--check` shows it on a small batch).

The third way stores nothing: `quarnel.price_and_delta_fused` simulates the same model
(quarnel.models.CEV, its increments from a counter-based generator keyed by the seed)
and accumulates the same weight in one pass, vectorised across paths. Its numbers
differ from the NumPy versions' only by the random numbers, so the three deltas agree
within their standard errors; and `quarnel.simulate` hands back the very batch the
fused call used, on which the stored-batch estimator gives its result bit for bit
(`--check` shows that too).

    python examples/end_to_end.py [--quick] [--paths N] [--steps M] [--check]
"""

from __future__ import annotations

import argparse
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import quarnel
from quarnel.models import CEV

S, BETA, X0, T = 0.3, 0.7, 1.0, 1.0
MODEL = CEV(x0=X0, vol=S, beta=BETA)


def lap(stage: str | None) -> None:
    """Timing hook, a no-op: each stage of a job calls it as it ends, with None where a
    thread starts its first stage, so that a profiler put in its place (the benchmark's)
    can share the time out among the stages."""


def straightforward(dws: np.ndarray) -> np.ndarray:
    """Path-major arrays and a temporary per operation: the obvious NumPy code."""
    n_paths, n_steps = dws.shape
    states = np.empty((n_paths, n_steps + 1))
    states[:, 0] = X0
    for j in range(n_steps):
        x = states[:, j]
        states[:, j + 1] = np.abs(x + S * x**BETA * dws[:, j])
    lap("Euler loop")
    x = states[:, :-1]
    sigma = S * x**BETA
    d_sigma_dx = S * BETA * x ** (BETA - 1.0)
    d_mu_dx = np.broadcast_to(0.0, dws.shape)
    lap("coefficient fields")
    w = quarnel.bel_weights_tangent_flow_parallel(states, dws, sigma, d_mu_dx, d_sigma_dx, T)
    lap("quarnel call")
    return states[:, -1] * w


def fast_block(dws_t: np.ndarray) -> np.ndarray:
    """One block of paths, time-major: dws_t has shape (n_steps, n_paths)."""
    lap(None)
    n_steps, n_paths = dws_t.shape
    states_t = np.empty((n_steps + 1, n_paths))
    sigma_t = np.empty((n_steps, n_paths))
    d_sigma_t = np.empty((n_steps, n_paths))
    states_t[0] = X0
    for j in range(n_steps):
        x, s, ds, nxt = states_t[j], sigma_t[j], d_sigma_t[j], states_t[j + 1]
        np.power(x, BETA, out=s)
        np.multiply(S, s, out=s)  # S * x**BETA, as above
        np.multiply(s, dws_t[j], out=nxt)
        np.add(x, nxt, out=nxt)
        np.abs(nxt, out=nxt)
        lap("Euler loop")
        np.power(x, BETA - 1.0, out=ds)
        np.multiply(S * BETA, ds, out=ds)  # S * BETA * x**(BETA - 1), as above
        lap("coefficient fields")
    d_mu_dx = np.broadcast_to(0.0, (n_paths, n_steps))
    w = quarnel.bel_weights_tangent_flow_parallel(states_t.T, dws_t.T, sigma_t.T, d_mu_dx,
                                                  d_sigma_t.T, T)
    lap("quarnel call")
    return states_t[-1] * w


def fast(dws_t: np.ndarray, block: int = 2048, threads: int = 2) -> np.ndarray:
    n_paths = dws_t.shape[1]
    starts = range(0, n_paths, block)
    with ThreadPoolExecutor(threads) as pool:
        parts = pool.map(lambda a: fast_block(dws_t[:, a:a + block]), starts)
        return np.concatenate(list(parts))


def fused(n_paths: int, n_steps: int, seed: int = 11) -> tuple[float, float]:
    """The whole job in one call: (delta, its standard error)."""
    _, delta, _, se = quarnel.price_and_delta_fused(MODEL, n_paths, n_steps, T, seed, "identity")
    return delta, se


def timed(label: str, job, *args) -> tuple[float, float, float]:
    start = time.perf_counter()
    out = job(*args)
    elapsed = time.perf_counter() - start
    delta, se = out if isinstance(out, tuple) else quarnel.price_from_samples(out)
    print(f"{label:>16}: delta of E[X_T] = {delta:.4f} +- {se:.4f} (exact 1)  {elapsed:6.3f} s")
    assert abs(delta - 1.0) < 5 * se
    return delta, se, elapsed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--paths", type=int, default=100_000)
    parser.add_argument("--steps", type=int, default=256)
    parser.add_argument("--quick", action="store_true", help="a small batch")
    parser.add_argument("--check", action="store_true",
                        help="show both versions agree bit for bit on the same increments")
    args = parser.parse_args()
    n_paths, n_steps = (4_000, 32) if args.quick else (args.paths, args.steps)
    scale = np.sqrt(T / n_steps)

    if args.check:
        dws_t = scale * np.random.default_rng(1).standard_normal((n_steps, 3_000))
        same = np.array_equal(straightforward(np.ascontiguousarray(dws_t.T)), fast(dws_t))
        print("same increments, same samples bit for bit:", same)
        assert same
        batch = quarnel.simulate(MODEL, 3_000, n_steps, T, 5)
        stored = quarnel.price_and_delta_tangent_flow(batch, "identity")
        one_pass = quarnel.price_and_delta_fused(MODEL, 3_000, n_steps, T, 5, "identity")
        print("fused call and its simulated batch, bit for bit:", stored == one_pass)
        assert stored == one_pass

    def simulate_straightforward() -> np.ndarray:
        rng = np.random.default_rng(11)
        return straightforward(scale * rng.standard_normal((n_paths, n_steps)))

    def simulate_fast() -> np.ndarray:
        rng = np.random.Generator(np.random.SFC64(11))
        dws_t = rng.standard_normal((n_steps, n_paths))
        np.multiply(dws_t, scale, out=dws_t)
        return fast(dws_t)

    print(f"{n_paths} paths x {n_steps} steps, simulation included")
    results = [timed("straightforward", simulate_straightforward),
               timed("fast recipe", simulate_fast),
               timed("fused", fused, n_paths, n_steps)]
    (d1, e1, slow_time), (d2, e2, fast_time), (d3, e3, fused_time) = results
    print(f"{'speed-up':>16}: fast recipe {slow_time / fast_time:.1f}x, "
          f"fused {slow_time / fused_time:.1f}x ({fast_time / fused_time:.1f}x the fast recipe)")
    # Independent random numbers: the three agree within their combined errors.
    for a, ea, b, eb in ((d1, e1, d2, e2), (d1, e1, d3, e3), (d2, e2, d3, e3)):
        assert abs(a - b) < 5 * np.hypot(ea, eb)
    print("the three ways agree within their standard errors")


if __name__ == "__main__":
    main()
