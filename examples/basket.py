"""Greeks on several correlated assets: a basket call against common-random-number
finite differences, and the exchange option against its closed form (Margrabe).

Simulates correlated geometric Brownian motions exactly at the horizon, from the
independent Brownian values W (the weights need W itself, not the correlated L W),
then prints `price_and_greeks_basket`'s delta vector, gamma matrix and vega vector
beside the reference values, in standard errors. Also shows what goes wrong with one
asset's own W_i in the scalar weight: the correlation is ignored and the delta is off.

    python examples/basket.py [--quick] [--paths N] [--seed S]
"""

from __future__ import annotations

import argparse
import math

import numpy as np

import quarnel as q


def norm_cdf(x: float) -> float:
    return 0.5 * (1.0 + math.erf(x / math.sqrt(2.0)))


def norm_pdf(x: float) -> float:
    return math.exp(-0.5 * x * x) / math.sqrt(2.0 * math.pi)


def terminal(x0, vols, corr, w, t):
    return x0 * np.exp(-0.5 * vols**2 * t + vols * (w @ np.linalg.cholesky(corr).T))


def basket_call(x0, vols, corr, w, t, strike, weights):
    return float(np.mean(np.maximum(terminal(x0, vols, corr, w, t) @ weights - strike, 0.0)))


def show(name, est, se, ref):
    z = (est - ref) / se
    print(f"  {name:<12} {est:>11.6f} {ref:>11.6f} {se:>10.2e} {z:>+7.2f}")
    return abs(z)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="fewer paths")
    ap.add_argument("--paths", type=int, default=None)
    ap.add_argument("--seed", type=int, default=2024)
    args = ap.parse_args()
    n = args.paths or (200_000 if args.quick else 2_000_000)
    rng = np.random.default_rng(args.seed)
    t = 1.0
    worst = 0.0

    # A three-asset basket call; reference: central differences on the same W.
    x0 = np.array([100.0, 90.0, 110.0])
    vols = np.array([0.3, 0.2, 0.25])
    corr = np.array([[1.0, 0.6, 0.3], [0.6, 1.0, -0.2], [0.3, -0.2, 1.0]])
    weights = np.array([0.5, 0.3, 0.2])
    w = rng.standard_normal((n, 3)) * math.sqrt(t)
    x = terminal(x0, vols, corr, w, t)
    g = q.price_and_greeks_basket(x, w, x0, vols, corr, t, "call", 100.0, weights=weights)
    print(f"basket call, {n} paths             estimate   finite diff     stderr   in SE")
    h = 0.01
    for i, e in enumerate(np.eye(3)):
        fd = (basket_call(x0 + h * e, vols, corr, w, t, 100.0, weights)
              - basket_call(x0 - h * e, vols, corr, w, t, 100.0, weights)) / (2 * h)
        worst = max(worst, show(f"delta[{i}]", g.delta[i], g.delta_stderr[i], fd))
    for i, e in enumerate(np.eye(3)):
        fd = (basket_call(x0, vols + 1e-4 * e, corr, w, t, 100.0, weights)
              - basket_call(x0, vols - 1e-4 * e, corr, w, t, 100.0, weights)) / 2e-4
        worst = max(worst, show(f"vega[{i}]", g.vega[i], g.vega_stderr[i], fd))

    # The mistake the weights avoid: asset 0's own W_0 in the scalar delta weight.
    payoff = np.maximum(x @ weights - 100.0, 0.0)
    wrong = q.price_and_delta_constant_flow(payoff, w[:, 0], t, vols[0] * x0[0], "identity")
    print(f"  scalar weight with W_0 alone: delta[0] = {wrong[1]:.4f} (ignores the "
          f"correlation; the basket weight gives {g.delta[0]:.4f})")

    # The exchange option max(X_0 - X_1, 0) and its closed form.
    x0 = np.array([100.0, 95.0])
    vols = np.array([0.3, 0.2])
    rho = 0.5
    corr = np.array([[1.0, rho], [rho, 1.0]])
    w = rng.standard_normal((n, 2)) * math.sqrt(t)
    x = terminal(x0, vols, corr, w, t)
    g = q.price_and_greeks_basket(x, w, x0, vols, corr, t, "exchange")
    sig = math.sqrt(vols[0] ** 2 + vols[1] ** 2 - 2 * rho * vols[0] * vols[1])
    d1 = (math.log(x0[0] / x0[1]) + 0.5 * sig * sig * t) / (sig * math.sqrt(t))
    d2 = d1 - sig * math.sqrt(t)
    n1 = norm_pdf(d1) / (sig * math.sqrt(t))
    ref_gamma = np.array([[n1 / x0[0], -n1 / x0[1]], [-n1 / x0[1], n1 * x0[0] / x0[1] ** 2]])
    print(f"\nexchange option, {n} paths         estimate   closed form     stderr   in SE")
    worst = max(worst, show("price", g.price, g.price_stderr,
                            x0[0] * norm_cdf(d1) - x0[1] * norm_cdf(d2)))
    for i, ref in enumerate([norm_cdf(d1), -norm_cdf(d2)]):
        worst = max(worst, show(f"delta[{i}]", g.delta[i], g.delta_stderr[i], ref))
    for i, j in [(0, 0), (0, 1), (1, 1)]:
        worst = max(worst, show(f"gamma[{i},{j}]", g.gamma[i, j], g.gamma_stderr[i, j],
                                ref_gamma[i, j]))
    assert worst < 5.0, f"an estimate is {worst:.1f} standard errors from its reference"
    print(f"\nall within {worst:.2f} standard errors")


if __name__ == "__main__":
    main()
