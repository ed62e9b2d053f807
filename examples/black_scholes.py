"""Price and Greeks of four payoffs under Black-Scholes, by BEL weights.

Simulates geometric Brownian motion with NumPy, computes price and delta with the
constant-flow and the tangent-flow routines of `quarnel`, then gamma and vega with
`price_and_greeks_constant_flow`, and prints them beside the closed-form values (zero
rates: quarnel's prices are undiscounted E[f(X_T)] unless the price-and-Greeks
functions are given `rate=r`, which discounts price and Greeks and gives the rho of
the discounted price). Then does the same for an Ornstein-Uhlenbeck model,
where only the general tangent-flow form applies.

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


def black_scholes_greeks(x0: float, k: float, s: float, t: float) -> dict[str, tuple]:
    """(delta, gamma, vega) of call, put and digital call for zero rates."""
    v = s * math.sqrt(t)
    d1 = (math.log(x0 / k) + 0.5 * v * v) / v
    d2 = d1 - v
    gamma = norm_pdf(d1) / (x0 * v)
    vega = x0 * norm_pdf(d1) * math.sqrt(t)
    return {
        "call": (norm_cdf(d1), gamma, vega),
        "put": (norm_cdf(d1) - 1.0, gamma, vega),
        "digital_call": (norm_pdf(d2) / (x0 * v), -norm_pdf(d2) * d1 / (x0 * v) ** 2,
                         -norm_pdf(d2) * d1 / s),
    }


def greeks_table(s_t, w_t, x0, strike, s, t) -> None:
    """Gamma and vega beside delta: the plain weights, and the lowest-variance
    estimator that is the default (pathwise for calls and puts, localised for digitals)."""
    exact = black_scholes_greeks(x0, strike, s, t)
    print("\nGreeks on the same exact samples: estimate ± stderr (z against the closed form)")
    print(f"{'payoff':<13} {'estimator':<16}" + "".join(f"{g:>28}" for g in
                                                         ("delta", "gamma", "vega")))
    for payoff, closed in exact.items():
        for estimator in ("weights", "lowest_variance"):
            g = q.price_and_greeks_constant_flow(s_t, w_t, t, x0, s, payoff, strike,
                                                 estimator=estimator)
            cells = []
            for est, se, want in ((g.delta, g.delta_stderr, closed[0]),
                                  (g.gamma, g.gamma_stderr, closed[1]),
                                  (g.vega, g.vega_stderr, closed[2])):
                z = (est - want) / se if se > 0 else 0.0
                cells.append(f"{est:9.4f} ±{se:7.4f} ({z:+5.2f})")
            print(f"{payoff if estimator == 'weights' else '':<13} {estimator:<16}" +
                  "".join(f"{c:>28}" for c in cells))
    print("closed forms:")
    for payoff, closed in exact.items():
        print(f"  {payoff:<13} delta {closed[0]:9.4f}  gamma {closed[1]:9.4f}  "
              f"vega {closed[2]:9.4f}")


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
    greeks_table(s_t, w_t, x0, strike, s, t)

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
