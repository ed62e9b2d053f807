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


# ---------------------------------------------------------------------------------------
# Greeks under GBM from terminal samples: each per-path quantity as a whole-array
# temporary, then NumPy's mean and std, as a user writes the formulas.


def greek_weights_constant_flow(w_terminals, horizon, x0, vol):
    """(n, 4) delta, gamma, vega and rho weights, in the library's association."""
    scale = 1.0 / (horizon * (vol * x0))
    q = (scale * scale) * horizon
    c1 = 1.0 / x0
    p = w_terminals * scale
    out = np.empty((w_terminals.size, 4))
    out[:, 0] = p
    out[:, 1] = (p * p - p * c1) - q
    out[:, 2] = (w_terminals * w_terminals - horizon) * (1.0 / (vol * horizon)) - w_terminals
    out[:, 3] = w_terminals * (1.0 / vol)
    return out


def _greeks_of(samples):
    """(price, delta, gamma, vega, rho, then their stderrs) from the sample arrays of the
    first four or all five; a missing rho is NaN."""
    pairs = [mean_stderr(s) for s in samples] + [(math.nan, math.nan)] * (5 - len(samples))
    return tuple(m for m, _ in pairs) + tuple(e for _, e in pairs)


def price_and_greeks_constant_flow_weights(x, w, horizon, x0, vol, strike):
    f = call_payoff(x, strike)
    g = greek_weights_constant_flow(w, horizon, x0, vol)
    scale = 1.0 / (horizon * (vol * x0))
    return _greeks_of([f, (f * w) * scale, f * g[:, 1], f * g[:, 2], f * g[:, 3]])


def price_and_greeks_constant_flow_pathwise(x, w, horizon, x0, vol, strike):
    """The call's pathwise Greeks: f'(X_T) times dX_T/dx0, its gamma term, dX_T/ds and
    dX_T/dmu."""
    f = call_payoff(x, strike)
    slope = (x > strike).astype(np.float64)
    scale = 1.0 / (horizon * (vol * x0))
    c1 = 1.0 / x0
    y = x * c1
    return _greeks_of([f, slope * y, slope * (y * (w * scale - c1)),
                       slope * (x * (w - vol * horizon)), slope * (x * horizon)])


# ---------------------------------------------------------------------------------------
# The second-order tangent flow: the reference recursion of the Greeks chapter, vectorised
# over the paths with a temporary per operation. Its association is not the library's, so
# its values agree to rounding only.


def second_order_weights(dws, sig, dsig, d2sig, dmu, d2mu, horizon, dth=None):
    n, steps = dws.shape
    dt = horizon / steps
    y = np.ones(n)
    h = np.zeros(n)
    acc = np.zeros(n)
    acc_l = np.zeros(n)
    if dth is not None:
        v = np.zeros(n)
        ku = np.zeros(n)
        dv = np.zeros(n)
    for i in range(steps):
        s, sp, spp = sig[:, i], dsig[:, i], d2sig[:, i]
        mp, mpp, xi = dmu[:, i], d2mu[:, i], dws[:, i]
        a = 1.0 + mp * dt + sp * xi
        yn = y * a
        tau = (yn * xi - sp * y * dt) / s
        u = yn / (steps * s)
        g = (1.0 - i / steps) * y
        la = (mpp * dt + spp * xi) * g - sp * u
        hn = h * a + y * la
        ltau = (hn * xi - yn * u - (spp * g * y + sp * h) * dt) / s - tau * sp * g / s
        acc += tau
        acc_l += ltau
        if dth is not None:
            mth, sth, mxth, sxth = (f[:, i] for f in dth)
            dux = (i / steps) * y
            dua = (mpp * dt + spp * xi) * dux + sp * u
            ku, v, dv = (ku * a + y * dua, v * a + mth * dt + sth * xi,
                         dv * a + v * dua + (mxth * dt + sxth * xi) * dux + sth * u)
        y, h = yn, hn
    pi = acc / horizon
    out = {"delta": pi, "gamma": pi * pi + acc_l / horizon, "tangent": y, "tangent_l": h}
    if dth is not None:
        out["theta"] = (v / y) * pi - (dv / y - v * ku / (y * y))
        out["v"] = v
    return out


def greek_weights_tangent_flow(dws, sig, dmu, dsig, d2mu, d2sig, horizon):
    r = second_order_weights(dws, sig, dsig, d2sig, dmu, d2mu, horizon)
    return np.stack([r["delta"], r["gamma"], r["tangent"], r["tangent_l"]], axis=1)


def price_and_greeks_tangent_flow(states, dws, sig, dmu, dsig, d2mu, d2sig, horizon, strike):
    """The call's pathwise Greeks from the reference recursion, vega by the parallel
    volatility bump (d sigma/de = sigma, d2 sigma/dx de = sigma', drift untouched)."""
    zero = np.broadcast_to(0.0, dws.shape)
    r = second_order_weights(dws, sig, dsig, d2sig, dmu, d2mu, horizon,
                             dth=(zero, sig, zero, dsig))
    x = states[:, -1]
    f = call_payoff(x, strike)
    slope = (x > strike).astype(np.float64)
    y = r["tangent"]
    return _greeks_of([f, slope * y, slope * (y * r["delta"] + r["tangent_l"]),
                       slope * r["v"]])
