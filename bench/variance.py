"""How much the lowest-variance estimators gain over the plain weights, on the bench's
own batches: the variance of each Greek's samples under `estimator="weights"` over
that under `"lowest_variance"` (the squared ratio of their standard errors), per
payoff. Information only; one call of each estimator per payoff.

    python -m bench.variance [--quick]

prints the table that the README's variance figures come from: GBM with x0 = K = 1,
vol 0.2, T 1, drift 0.03; the constant flow on 10^6 exact terminal samples, the
tangent flow on an Euler batch of 50 000 paths x 256 steps (seeded: the same figures
on every run).
"""

from __future__ import annotations

from typing import Any

import quarnel as q

from .config import HORIZON, STRIKE, VOL, X0, Config
from .workloads import PATHS, SAMPLES, path_batch, size_key, size_label, terminal_samples

PAYOFFS = ("call", "put", "digital_call")
GREEKS = {"constant flow": ("delta", "gamma", "vega", "rho"),
          "tangent flow": ("delta", "gamma", "vega")}


def _ratios(call: Any, greeks: tuple[str, ...]) -> dict[str, float]:
    plain, best = call("weights"), call("lowest_variance")
    out = {}
    for g in greeks:
        num, den = getattr(plain, f"{g}_stderr"), getattr(best, f"{g}_stderr")
        out[g] = (num / den) ** 2 if den > 0 else float("nan")
    return out


def variance_ratios(cfg: Config) -> list[dict]:
    rows: list[dict] = []
    s = terminal_samples(cfg.mid_samples)
    for payoff in PAYOFFS:
        rows.append({"flow": "constant flow", "payoff": payoff,
                     "batch": size_label(size_key(SAMPLES, cfg.mid_samples)),
                     "ratios": _ratios(lambda e, p=payoff: q.price_and_greeks_constant_flow(
                         s.x, s.w, HORIZON, X0, VOL, p, STRIKE, estimator=e),
                         GREEKS["constant flow"])})
    b = path_batch(*cfg.pd_shape)
    for payoff in PAYOFFS:
        rows.append({"flow": "tangent flow", "payoff": payoff,
                     "batch": size_label(size_key(PATHS, cfg.pd_shape)),
                     "ratios": _ratios(lambda e, p=payoff: q.price_and_greeks_tangent_flow(
                         *b.second_order_args, p, STRIKE, estimator=e, vol=VOL),
                         GREEKS["tangent flow"])})
    return rows


def print_variance(rows: list[dict]) -> None:
    print(f"variance of the weights over the lowest-variance estimator (GBM, x0 = K = {X0}, "
          f"vol {VOL}, T {HORIZON}; above 1: lowest_variance is better)")
    names = GREEKS["constant flow"]
    print(f"  {'flow':<14} {'batch':>14} {'payoff':<14}" + "".join(f"{g:>9}" for g in names))
    for r in rows:
        cells = "".join(f"{r['ratios'][g]:>9.2f}" if g in r["ratios"] else f"{'':>9}"
                        for g in names)
        print(f"  {r['flow']:<14} {r['batch']:>14} {r['payoff']:<14}{cells}".rstrip())


if __name__ == "__main__":
    import sys

    from .config import FULL, QUICK

    print_variance(variance_ratios(QUICK if "--quick" in sys.argv[1:] else FULL))
