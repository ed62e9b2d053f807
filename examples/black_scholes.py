"""Price and delta of four payoffs under Black-Scholes, by BEL weights.

Simulates geometric Brownian motion with NumPy, computes price and delta with the
constant-flow and the tangent-flow routines of `quarnel`, and prints them beside the
closed-form values (zero rates: quarnel's prices are undiscounted E[f(X_T)], so with a
rate r multiply price and delta by exp(-r T) yourself). Then does the same for an
Ornstein-Uhlenbeck model, where only the general tangent-flow form applies.

    python examples/black_scholes.py [--quick] [--paths N] [--steps M] [--seed S]
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


def black_scholes(x0: float, k: float, s: float, t: float) -> dict[str, tuple[float, float]]:
    """(price, delta) of each payoff on S_T for zero rates, so that S is a martingale."""
    v = s * math.sqrt(t)
    d1 = (math.log(x0 / k) + 0.5 * v * v) / v
    d2 = d1 - v
    return {
        "identity": (x0, 1.0),
        "call": (x0 * norm_cdf(d1) - k * norm_cdf(d2), norm_cdf(d1)),
        "put": (k * norm_cdf(-d2) - x0 * norm_cdf(-d1), norm_cdf(d1) - 1.0),
        "digital_call": (norm_cdf(d2), norm_pdf(d2) / (x0 * v)),
    }


def ornstein_uhlenbeck_call(x0, k, kappa, theta, s, t):
    """(price, delta) of a call on X_T for dX = kappa (theta - X) dt + s dW."""
    decay = math.exp(-kappa * t)
    mean = theta + (x0 - theta) * decay
    sd = s * math.sqrt((1.0 - decay * decay) / (2.0 * kappa))
    d = (mean - k) / sd
    return (mean - k) * norm_cdf(d) + sd * norm_pdf(d), decay * norm_cdf(d)


def euler_paths(rng, n_paths, n_steps, t, x0, drift, diffusion):
    """States (n_paths, n_steps + 1) and increments (n_paths, n_steps), C order."""
    dt = t / n_steps
    dws = rng.standard_normal((n_paths, n_steps)) * math.sqrt(dt)
    states = np.empty((n_paths, n_steps + 1))
    states[:, 0] = x0
    for j in range(n_steps):
        x = states[:, j]
        states[:, j + 1] = x + drift(x) * dt + diffusion(x) * dws[:, j]
    return states, dws


def row(label, method, est, exact):
    price, delta, price_se, delta_se = est
    z = (delta - exact[1]) / delta_se if delta_se > 0 else 0.0
    print(f"{label:<13} {method:<9} {price:9.5f} ±{price_se:8.5f} {exact[0]:9.5f}   "
          f"{delta:9.5f} ±{delta_se:8.5f} {exact[1]:9.5f} {z:+6.2f}")


def header(title):
    print(f"\n{title}")
    print(f"{'payoff':<13} {'method':<9} {'price':>9}  {'stderr':>8} {'exact':>9}   "
          f"{'delta':>9}  {'stderr':>8} {'exact':>9} {'z':>6}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small batches, for smoke tests")
    ap.add_argument("--paths", type=int, default=None)
    ap.add_argument("--steps", type=int, default=None)
    ap.add_argument("--seed", type=int, default=2026)
    args = ap.parse_args()
    n_exact = args.paths or (20_000 if args.quick else 2_000_000)
    n_paths = args.paths or (5_000 if args.quick else 200_000)
    n_steps = args.steps or (16 if args.quick else 64)
    rng = np.random.default_rng(args.seed)

    x0, strike, s, t = 1.0, 1.0, 0.2, 1.0
    exact = black_scholes(x0, strike, s, t)

    # Exact sampling of S_T: the constant-flow weight W_T / (T * s * x0) is unbiased.
    w_t = math.sqrt(t) * rng.standard_normal(n_exact)
    s_t = x0 * np.exp(-0.5 * s * s * t + s * w_t)
    header(f"Black-Scholes, x0={x0}, K={strike}, sigma={s}, T={t}: constant flow on "
           f"{n_exact} exact samples, tangent flow on {n_paths} Euler paths x {n_steps} steps")
    # Euler paths for the tangent flow: sigma(x) = s x, so sigma' = s and mu' = 0.
    states, dws = euler_paths(rng, n_paths, n_steps, t, x0, lambda x: 0.0 * x, lambda x: s * x)
    sigma_field = s * states[:, :-1]
    d_mu = np.zeros_like(dws)
    d_sigma = np.full_like(dws, s)
    for payoff in ("identity", "call", "put", "digital_call"):
        row(payoff, "constant", q.price_and_delta_constant_flow(s_t, w_t, t, s * x0, payoff,
                                                                strike), exact[payoff])
        row("", "tangent", q.price_and_delta_tangent_flow(states, dws, sigma_field, d_mu,
                                                          d_sigma, t, payoff, strike),
            exact[payoff])

    # The weights on their own, combined with a payoff of the caller's in NumPy: the
    # same call delta, and it agrees across the serial and parallel kernels.
    weights = q.bel_weights_tangent_flow_parallel(states, dws, sigma_field, d_mu, d_sigma, t)
    assert np.array_equal(weights, q.bel_weights_tangent_flow(states, dws, sigma_field, d_mu,
                                                              d_sigma, t))
    delta, se = q.price_from_samples(np.maximum(states[:, -1] - strike, 0.0) * weights)
    print(f"{'call':<13} {'weights':<9} {'':>9}  {'':>8} {'':>9}   {delta:9.5f} ±{se:8.5f} "
          f"{exact['call'][1]:9.5f}")

    # A model that is not GBM: mean reversion makes the tangent process decay,
    # Y_j = (1 - kappa dt)^j, which the constant-flow form cannot express.
    kappa, theta, s_ou, x0_ou = 1.5, 0.8, 0.3, 1.0
    states, dws = euler_paths(rng, n_paths, n_steps, t, x0_ou, lambda x: kappa * (theta - x),
                              lambda x: np.full_like(x, s_ou))
    est = q.price_and_delta_tangent_flow(states, dws, np.full_like(dws, s_ou),
                                         np.full_like(dws, -kappa), np.zeros_like(dws), t,
                                         "call", strike)
    header(f"Ornstein-Uhlenbeck, kappa={kappa}, theta={theta}, sigma={s_ou}, x0={x0_ou}, "
           f"K={strike}: tangent flow")
    row("call", "tangent", est, ornstein_uhlenbeck_call(x0_ou, strike, kappa, theta, s_ou, t))
    print("\nz = (delta - exact) / stderr; Euler batches carry an O(dt) bias besides.")


if __name__ == "__main__":
    main()
