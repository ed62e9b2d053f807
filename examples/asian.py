"""Asian option Greeks under GBM, against the closed form and finite differences.

A fixed-strike Asian call on the average of the 50 grid dates, S0 = K = 100, vol = 0.3,
T = 1, drift mu = 0.05 (undiscounted). The geometric average of GBM is log-normal,
ln G ~ N(ln S0 + (mu - vol^2/2) tbar, vol^2 sum_ij min(t_i, t_j) / m^2), which gives
every Greek in closed form; the arithmetic average has none, and is checked against a
common-random-numbers central difference of its own price (S_j is proportional to S0,
so the bumped batch is the same paths scaled). Also printed: what the terminal delta
weight gives on the arithmetic Asian, and the path weight that is valid for it.

    python examples/asian.py [--quick] [--paths N] [--seed S]
"""

from __future__ import annotations

import argparse
import math

import numpy as np

import quarnel as q

S0, K, VOL, T, MU, STEPS = 100.0, 100.0, 0.3, 1.0, 0.05, 50


def ncdf(x: float) -> float:
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


def geometric_call(x0: float, vol: float) -> float:
    t = np.arange(1, STEPS + 1) * T / STEPS
    mean = math.log(x0) + (MU - vol * vol / 2) * t.mean()
    var = vol * vol * np.minimum.outer(t, t).sum() / STEPS**2
    d1 = (mean - math.log(K) + var) / math.sqrt(var)
    return math.exp(mean + var / 2) * ncdf(d1) - K * ncdf(d1 - math.sqrt(var))


def main() -> None:
    ap = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small batches, for smoke tests")
    ap.add_argument("--paths", type=int, default=None)
    ap.add_argument("--seed", type=int, default=2)
    args = ap.parse_args()
    n = args.paths or (40_000 if args.quick else 400_000)
    rng = np.random.default_rng(args.seed)
    dt = T / STEPS
    dws = rng.standard_normal((n, STEPS)) * math.sqrt(dt)
    t = np.arange(1, STEPS + 1) * dt
    s = np.empty((n, STEPS + 1))
    s[:, 0] = S0
    s[:, 1:] = S0 * np.exp((MU - VOL * VOL / 2) * t + VOL * np.cumsum(dws, axis=1))

    d, dv = 1e-2, 1e-4
    p = geometric_call(S0, VOL)
    ref = [p, (geometric_call(S0 + d, VOL) - geometric_call(S0 - d, VOL)) / (2 * d),
           (geometric_call(S0 + d, VOL) - 2 * p + geometric_call(S0 - d, VOL)) / d**2,
           (geometric_call(S0, VOL + dv) - geometric_call(S0, VOL - dv)) / (2 * dv)]
    g = q.price_and_greeks_asian_gbm(s, dws, T, S0, VOL, average="geometric", strike=K)
    est = [g.price, g.delta, g.gamma, g.vega]
    err = [g.price_stderr, g.delta_stderr, g.gamma_stderr, g.vega_stderr]
    print(f"{n} paths x {STEPS} dates; estimate +- standard error (reference) [z-score]")
    print("geometric Asian call vs closed form:")
    for lab, e, se, r in zip(("price", "delta", "gamma", "vega"), est, err, ref, strict=True):
        print(f"  {lab:<6} {e:10.5f} +- {se:.5f} ({r:.5f}) [{(e - r) / se:+.1f}]")
        assert abs(e - r) < 5 * se, (lab, e, r, se)

    a = q.price_and_greeks_asian_gbm(s, dws, T, S0, VOL, strike=K)
    h = 1.0
    up = q.price_and_greeks_asian_gbm(s * (1 + h / S0), dws, T, S0 + h, VOL, strike=K)
    dn = q.price_and_greeks_asian_gbm(s * (1 - h / S0), dws, T, S0 - h, VOL, strike=K)
    fd_delta = (up.price - dn.price) / (2 * h)
    fd_gamma = (up.delta - dn.delta) / (2 * h)
    print("arithmetic Asian call vs CRN central differences (bump 1):")
    print(f"  delta {a.delta:.5f} +- {a.delta_stderr:.5f} (difference of prices {fd_delta:.5f})")
    print(f"  gamma {a.gamma:.5f} +- {a.gamma_stderr:.5f} (difference of deltas {fd_gamma:.5f})")
    assert abs(a.delta - fd_delta) < 5 * a.delta_stderr

    payoff = np.maximum(s[:, 1:].mean(axis=1) - K, 0.0)
    terminal = q.bel_weights_constant_flow(np.cumsum(dws, axis=1)[:, -1], T, VOL * S0)
    first = q.path_weights_gbm(dws, T, S0, VOL, first_date=1)[:, 0]
    print(f"  the terminal weight gives delta {np.mean(payoff * terminal):.4f} (wrong); the "
          f"weight of the first date {np.mean(payoff * first):.4f}")


if __name__ == "__main__":
    main()
