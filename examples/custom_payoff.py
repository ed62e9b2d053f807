"""Payoffs of your own: BEL weights from `quarnel`, the payoff in NumPy.

The built-in routines know four payoffs. For anything else, ask for the per-path
weights and average payoff * weight yourself:

1. a call spread under Black-Scholes with the constant-flow weight W_T / (T sigma(X_0));
2. a strangle and a digital put under an Ornstein-Uhlenbeck model, where only the
   tangent-flow weight applies, from Euler path batches.

The weights differentiate payoffs of the terminal state X_T. A path-dependent payoff
(a barrier, an Asian average) needs a weight built for it: multiplying a knock-out
payoff by these weights gives a biased delta, so this example sticks to f(X_T).

    python examples/custom_payoff.py [--quick] [--paths N] [--steps M] [--seed S]
"""

from __future__ import annotations

import argparse
import math

import numpy as np

import quarnel as q


def norm_cdf(x: float) -> float:
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


def norm_pdf(x: float) -> float:
    return math.exp(-0.5 * x * x) / math.sqrt(2.0 * math.pi)


def bs_call(x0: float, k: float, s: float, t: float) -> tuple[float, float]:
    """(price, delta) of a call on a driftless GBM."""
    v = s * math.sqrt(t)
    d1 = (math.log(x0 / k) + 0.5 * v * v) / v
    return x0 * norm_cdf(d1) - k * norm_cdf(d1 - v), norm_cdf(d1)


def ou_terminal(x0: float, kappa: float, theta: float, s: float, t: float):
    """X_T ~ N(m, v^2) for dX = kappa (theta - X) dt + s dW, and dm/dx0."""
    decay = math.exp(-kappa * t)
    return theta + (x0 - theta) * decay, s * math.sqrt((1.0 - decay**2) / (2.0 * kappa)), decay


def report(name: str, est: tuple[float, float], exact: float) -> None:
    value, se = est
    print(f"  {name:<24} {value:+.5f} ± {se:.5f}   exact {exact:+.5f}   "
          f"z {(value - exact) / se:+.2f}")


def call_spread(rng: np.random.Generator, n: int) -> None:
    x0, s, t, k1, k2 = 1.0, 0.2, 1.0, 0.9, 1.1
    w_t = math.sqrt(t) * rng.standard_normal(n)
    x_t = x0 * np.exp(-0.5 * s * s * t + s * w_t)  # exact GBM terminal states

    weights = q.bel_weights_constant_flow(w_t, t, s * x0)  # sigma(X_0) = s x0
    payoff = np.maximum(x_t - k1, 0.0) - np.maximum(x_t - k2, 0.0)
    (p1, d1), (p2, d2) = bs_call(x0, k1, s, t), bs_call(x0, k2, s, t)
    print(f"Call spread {k1}/{k2} under Black-Scholes, {n} exact samples, constant flow")
    report("price", q.price_from_samples(payoff), p1 - p2)
    report("delta", q.price_from_samples(payoff * weights), d1 - d2)

    # The same number from two built-in calls (up to the rounding of the subtraction).
    spread = (q.price_and_delta_constant_flow(x_t, w_t, t, s * x0, "call", k1)[1]
              - q.price_and_delta_constant_flow(x_t, w_t, t, s * x0, "call", k2)[1])
    assert math.isclose(spread, q.price_from_samples(payoff * weights)[0], rel_tol=1e-9)


def ou_batch(rng, n_paths, n_steps, t, x0, kappa, theta, s):
    """Euler paths of the OU model and the coefficient fields along them."""
    dt = t / n_steps
    dws = math.sqrt(dt) * rng.standard_normal((n_paths, n_steps))
    states = np.empty((n_paths, n_steps + 1))
    states[:, 0] = x0
    for j in range(n_steps):
        x = states[:, j]
        states[:, j + 1] = x + kappa * (theta - x) * dt + s * dws[:, j]
    sigma = np.full_like(dws, s)         # sigma(x) = s
    d_mu_dx = np.full_like(dws, -kappa)  # mu(x) = kappa (theta - x)
    d_sigma_dx = np.zeros_like(dws)
    return states, dws, sigma, d_mu_dx, d_sigma_dx


def ou_payoffs(rng: np.random.Generator, n_paths: int, n_steps: int) -> None:
    x0, kappa, theta, s, t = 1.0, 1.5, 0.8, 0.3, 1.0
    k_put, k_call = 0.8, 1.1
    batch = ou_batch(rng, n_paths, n_steps, t, x0, kappa, theta, s)
    states = batch[0]
    weights = q.bel_weights_tangent_flow_parallel(*batch, t)
    x_t = states[:, -1]

    m, v, dm = ou_terminal(x0, kappa, theta, s, t)
    dp, dc = (k_put - m) / v, (m - k_call) / v
    strangle = np.maximum(k_put - x_t, 0.0) + np.maximum(x_t - k_call, 0.0)
    digital_put = (x_t < k_put).astype(np.float64)
    print(f"\nOrnstein-Uhlenbeck kappa={kappa} theta={theta} sigma={s}, {n_paths} Euler paths "
          f"x {n_steps} steps, tangent flow (Euler bias O(dt) besides the noise)")
    report(f"strangle {k_put}/{k_call} price", q.price_from_samples(strangle),
           (k_put - m) * norm_cdf(dp) + (m - k_call) * norm_cdf(dc)
           + v * (norm_pdf(dp) + norm_pdf(dc)))
    report(f"strangle {k_put}/{k_call} delta", q.price_from_samples(strangle * weights),
           dm * (norm_cdf(dc) - norm_cdf(dp)))
    report(f"digital put {k_put} price", q.price_from_samples(digital_put), norm_cdf(dp))
    report(f"digital put {k_put} delta", q.price_from_samples(digital_put * weights),
           -dm * norm_pdf(dp) / v)

    # Where the payoff is built in, the composition is the built-in routine, bit for bit.
    call = np.maximum(x_t - k_call, 0.0)
    builtin = q.price_and_delta_tangent_flow(*batch, t, "call", k_call)
    assert q.price_from_samples(call * weights) == builtin[1::2]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small batches, for smoke tests")
    ap.add_argument("--paths", type=int, default=None)
    ap.add_argument("--steps", type=int, default=None)
    ap.add_argument("--seed", type=int, default=7)
    args = ap.parse_args()
    rng = np.random.default_rng(args.seed)
    call_spread(rng, args.paths or (20_000 if args.quick else 2_000_000))
    ou_payoffs(rng, args.paths or (5_000 if args.quick else 200_000),
               args.steps or (16 if args.quick else 100))


if __name__ == "__main__":
    main()
