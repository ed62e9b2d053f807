"""The strike ladder against the per-strike loop it replaces.

    python -m bench.ladder [--paths N] [--strikes M]

GBM terminal samples (x0 = 100, vol 0.25, T 0.5, rate 0.03), strikes evenly from 70 to
130; for each payoff and estimator the time of one `price_and_greeks_ladder_constant_flow`
call and of the loop of `price_and_greeks_constant_flow` calls, their ratio, and a check
that every strike's numbers are the same bits.
"""

from __future__ import annotations

import argparse
import struct
import time

import numpy as np

import quarnel as q


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--paths", type=int, default=1_000_000)
    parser.add_argument("--strikes", type=int, default=100)
    args = parser.parse_args()
    x0, s, t, rate = 100.0, 0.25, 0.5, 0.03
    w = np.sqrt(t) * np.random.default_rng(1).standard_normal(args.paths)
    x = x0 * np.exp((rate - 0.5 * s * s) * t + s * w)
    strikes = np.linspace(70.0, 130.0, args.strikes)
    print(f"{args.paths} paths, {args.strikes} strikes")
    for payoff in ("call", "put", "digital_call"):
        for estimator in ("weights", "lowest_variance"):
            start = time.perf_counter()
            ladder = q.price_and_greeks_ladder_constant_flow(
                x, w, t, x0, s, payoff, strikes, estimator=estimator, rate=rate)
            one = time.perf_counter() - start
            start = time.perf_counter()
            loop = [q.price_and_greeks_constant_flow(x, w, t, x0, s, payoff, k,
                                                     estimator=estimator, rate=rate)
                    for k in strikes]
            many = time.perf_counter() - start
            same = all(struct.pack("10d", *ladder[i]) == struct.pack("10d", *g)
                       for i, g in enumerate(loop))
            print(f"  {payoff:<13} {estimator:<16} ladder {one:7.3f} s  loop {many:7.3f} s  "
                  f"{many / one:5.2f}x  bits {'equal' if same else 'DIFFER'}")


if __name__ == "__main__":
    main()
