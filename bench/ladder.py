"""The strike ladder against the per-strike loop it replaces.

    python -m bench.ladder [--paths N] [--strikes M] [--repeat R]

GBM terminal samples (x0 = 100, vol 0.25, T 0.5, rate 0.03), strikes evenly from 70 to
130; for each payoff and estimator the time of one `price_and_greeks_ladder_constant_flow`
call and of the loop of `price_and_greeks_constant_flow` calls (each the best of R runs:
on a shared machine the other runs measure the neighbours), their ratio, the ladder's
time per path and strike, and a check that every strike's numbers are the same bits.
"""

from __future__ import annotations

import argparse
import struct
import time

import numpy as np

import quarnel as q


def best_of(repeat: int, f):
    """The least wall time of `repeat` calls of f, and its last result."""
    best = float("inf")
    for _ in range(max(repeat, 1)):
        start = time.perf_counter()
        result = f()
        best = min(best, time.perf_counter() - start)
    return best, result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--paths", type=int, default=1_000_000)
    parser.add_argument("--strikes", type=int, default=100)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    x0, s, t, rate = 100.0, 0.25, 0.5, 0.03
    w = np.sqrt(t) * np.random.default_rng(1).standard_normal(args.paths)
    x = x0 * np.exp((rate - 0.5 * s * s) * t + s * w)
    strikes = np.linspace(70.0, 130.0, args.strikes)
    print(f"{args.paths} paths, {args.strikes} strikes")
    for payoff in ("call", "put", "digital_call"):
        for estimator in ("weights", "lowest_variance"):
            one, ladder = best_of(args.repeat, lambda p=payoff, e=estimator: (
                q.price_and_greeks_ladder_constant_flow(x, w, t, x0, s, p, strikes,
                                                        estimator=e, rate=rate)))
            many, loop = best_of(args.repeat, lambda p=payoff, e=estimator: [
                q.price_and_greeks_constant_flow(x, w, t, x0, s, p, k, estimator=e, rate=rate)
                for k in strikes])
            same = all(struct.pack("10d", *ladder[i]) == struct.pack("10d", *g)
                       for i, g in enumerate(loop))
            per = 1e9 * one / (args.paths * args.strikes)
            print(f"  {payoff:<13} {estimator:<16} ladder {one:7.3f} s  loop {many:7.3f} s  "
                  f"{many / one:5.2f}x  {per:5.2f} ns a path and strike  "
                  f"bits {'equal' if same else 'DIFFER'}")


if __name__ == "__main__":
    main()
