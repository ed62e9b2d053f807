"""The same computations written in NumPy, the way a careful user would write them.

The tangent-flow loop runs over the steps and updates every path at once with column
operations on the caller's C-ordered arrays. Each element goes through exactly the
operations of the library's per-path recurrence, in the same association, and NumPy's
elementwise ufuncs round every operation on its own, so the weights are bit-identical.
The in-place forms (`out=` and `*=`) compute the same values as the textbook expression

    acc = acc + ((Y / s[:, j]) * inv_T) * dw[:, j]
    Y = Y + ((dmu[:, j] * Y) * dt + (dsig[:, j] * Y) * dw[:, j])

without allocating five temporaries per step, which is what a careful user does.

The estimators use `mean()` and `std()`: NumPy sums pairwise, not left to right, and
`std()` is a two-pass formula, so those results agree with ours only to rounding.
"""

from __future__ import annotations

import math

import numpy as np


def tangent_flow_weights(dws, sigma, d_mu_dx, d_sigma_dx, horizon):
    n_paths, n_steps = dws.shape
    inv_t = 1.0 / horizon
    dt = horizon / float(n_steps)
    y = np.ones(n_paths)
    acc = np.zeros(n_paths)
    term = np.empty(n_paths)
    drift = np.empty(n_paths)
    noise = np.empty(n_paths)
    for j in range(n_steps):
        dw = dws[:, j]
        np.divide(y, sigma[:, j], out=term)
        term *= inv_t
        term *= dw
        acc += term
        np.multiply(d_mu_dx[:, j], y, out=drift)
        drift *= dt
        np.multiply(d_sigma_dx[:, j], y, out=noise)
        noise *= dw
        drift += noise
        y += drift
    return acc


def call_payoff(x, strike):
    return np.maximum(x - strike, 0.0)


def mean_stderr(x):
    """Mean and population standard error, as a NumPy user writes them."""
    return float(x.mean()), float(x.std()) / math.sqrt(x.size)


def mean_and_std(x):
    """What is timed against `price_from_samples`: the two reductions a user calls."""
    return x.mean(), x.std()


def price_and_delta_tangent_flow(states, dws, sigma, d_mu_dx, d_sigma_dx, horizon, strike):
    w = tangent_flow_weights(dws, sigma, d_mu_dx, d_sigma_dx, horizon)
    p = call_payoff(states[:, -1], strike)
    d = w * p
    price, price_se = mean_stderr(p)
    delta, delta_se = mean_stderr(d)
    return price, delta, price_se, delta_se


def constant_flow_weights(w_terminals, horizon, sigma_at_x0):
    return w_terminals * (1.0 / (horizon * sigma_at_x0))


def price_and_delta_constant_flow(terminal_states, w_terminals, horizon, sigma_at_x0, strike):
    scale = 1.0 / (horizon * sigma_at_x0)
    p = call_payoff(terminal_states, strike)
    d = (p * w_terminals) * scale
    n = p.size
    return (float(p.mean()), float(d.mean()),
            float(p.std()) / math.sqrt(n), float(d.std()) / math.sqrt(n))
