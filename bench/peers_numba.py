"""The same computations as Numba loops, compiled without fastmath.

Without fastmath LLVM neither reassociates nor contracts a multiply and an add into an
FMA, so a loop written in the library's association gives the library's bits. These
are the loops a user who knows Numba would write instead of calling us: one path at a
time (serial `njit`), or the paths spread over Numba's threads (`prange`). The parallel
form is only written where it keeps the results identical: spreading a running sum
over threads changes its summation order, so the estimators have no `prange` variant.

Importing this module needs numba; the harness falls back to the other peers without it.
"""

from __future__ import annotations

import math

import numpy as np
from numba import njit, prange


@njit(cache=False)
def _call(x, strike):
    d = x - strike
    return d if d > 0.0 else 0.0


@njit(cache=False)
def _mean_stderr(s1, s2, n):
    nf = float(n)
    mean = s1 / nf
    var = s2 / nf - mean * mean
    # maxNum(var, 0.0): a negative, -0.0 or NaN variance becomes +0.0.
    var = var if var > 0.0 else 0.0
    return mean, math.sqrt(var / nf)


@njit(cache=False)
def _path_weight(dws, sigma, d_mu_dx, d_sigma_dx, k, inv_t, dt):
    """Path k's weight, or NaN for a zero sigma (callers raise their own message)."""
    y = 1.0
    acc = 0.0
    for j in range(dws.shape[1]):
        s = sigma[k, j]
        if s == 0.0:
            return math.nan, False
        dw = dws[k, j]
        acc = acc + ((y / s) * inv_t) * dw
        y = y + ((d_mu_dx[k, j] * y) * dt + (d_sigma_dx[k, j] * y) * dw)
    return acc, True


def _tangent_flow_weights(dws, sigma, d_mu_dx, d_sigma_dx, horizon):
    n_paths, n_steps = dws.shape
    inv_t = 1.0 / horizon
    dt = horizon / float(n_steps)
    out = np.empty(n_paths)
    # Under plain njit prange is range: one source, a serial and a threaded peer. A
    # raise inside the loop would keep Numba from running it in parallel: a zero sigma
    # leaves a NaN weight, and the check comes after the loop.
    for k in prange(n_paths):
        out[k] = _path_weight(dws, sigma, d_mu_dx, d_sigma_dx, k, inv_t, dt)[0]
    for k in range(n_paths):
        if math.isnan(out[k]) and not _path_weight(dws, sigma, d_mu_dx, d_sigma_dx, k,
                                                   inv_t, dt)[1]:
            raise ValueError("sigma = 0 produces division by zero in BEL weight")
    return out


tangent_flow_weights = njit(cache=False)(_tangent_flow_weights)
tangent_flow_weights_prange = njit(cache=False, parallel=True)(_tangent_flow_weights)


@njit(cache=False)
def price_and_delta_tangent_flow(states, dws, sigma, d_mu_dx, d_sigma_dx, horizon, strike):
    n_paths = states.shape[0]
    n_steps = states.shape[1] - 1
    inv_t = 1.0 / horizon
    dt = horizon / float(n_steps)
    s1p = 0.0
    s2p = 0.0
    s1d = 0.0
    s2d = 0.0
    for k in range(n_paths):
        acc, ok = _path_weight(dws, sigma, d_mu_dx, d_sigma_dx, k, inv_t, dt)
        if not ok:
            raise ValueError("sigma_field = 0 produces division by zero")
        p = _call(states[k, n_steps], strike)
        d = acc * p
        s1p += p
        s1d += d
        s2p += p * p
        s2d += d * d
    price, price_se = _mean_stderr(s1p, s2p, n_paths)
    delta, delta_se = _mean_stderr(s1d, s2d, n_paths)
    return price, delta, price_se, delta_se


@njit(cache=False)
def price_from_samples(x):
    s1 = 0.0
    s2 = 0.0
    for i in range(x.shape[0]):
        v = x[i]
        s1 += v
        s2 += v * v
    return _mean_stderr(s1, s2, x.shape[0])


@njit(cache=False)
def constant_flow_weights(w_terminals, horizon, sigma_at_x0):
    scale = 1.0 / (horizon * sigma_at_x0)
    out = np.empty(w_terminals.shape[0])
    for i in range(w_terminals.shape[0]):
        out[i] = w_terminals[i] * scale
    return out


@njit(cache=False)
def price_and_delta_constant_flow(terminal_states, w_terminals, horizon, sigma_at_x0, strike):
    scale = 1.0 / (horizon * sigma_at_x0)
    s1p = 0.0
    s2p = 0.0
    s1d = 0.0
    s2d = 0.0
    for i in range(terminal_states.shape[0]):
        p = _call(terminal_states[i], strike)
        d = (p * w_terminals[i]) * scale
        s1p += p
        s1d += d
        s2p += p * p
        s2d += d * d
    n = terminal_states.shape[0]
    price, price_se = _mean_stderr(s1p, s2p, n)
    delta, delta_se = _mean_stderr(s1d, s2d, n)
    return price, delta, price_se, delta_se


# ---------------------------------------------------------------------------------------
# Greeks under GBM from terminal samples, in the library's association: the constants
# once per call, then per path the weights (or the pathwise multipliers) and the sums.


@njit(cache=False)
def _gbm_constants(horizon, x0, vol):
    scale = 1.0 / (horizon * (vol * x0))
    return scale, (scale * scale) * horizon, 1.0 / x0, 1.0 / (vol * horizon), 1.0 / vol


@njit(cache=False)
def greek_weights_constant_flow(w_terminals, horizon, x0, vol):
    scale, q, c1, inv_st, inv_s = _gbm_constants(horizon, x0, vol)
    n = w_terminals.shape[0]
    out = np.empty((n, 4))
    for k in range(n):
        w = w_terminals[k]
        p = w * scale
        out[k, 0] = p
        out[k, 1] = (p * p - p * c1) - q
        out[k, 2] = (w * w - horizon) * inv_st - w
        out[k, 3] = w * inv_s
    return out


@njit(cache=False)
def _greeks_result(s1, s2, n):
    m = np.empty(5)
    e = np.empty(5)
    for i in range(5):
        m[i], e[i] = _mean_stderr(s1[i], s2[i], n)
    return m[0], m[1], m[2], m[3], m[4], e[0], e[1], e[2], e[3], e[4]


@njit(cache=False)
def price_and_greeks_constant_flow_weights(x, w_terminals, horizon, x0, vol, strike):
    scale, q, c1, inv_st, inv_s = _gbm_constants(horizon, x0, vol)
    s1 = np.zeros(5)
    s2 = np.zeros(5)
    for k in range(x.shape[0]):
        f = _call(x[k], strike)
        w = w_terminals[k]
        p = w * scale
        v0 = f
        v1 = (f * w) * scale
        v2 = f * ((p * p - p * c1) - q)
        v3 = f * ((w * w - horizon) * inv_st - w)
        v4 = f * (w * inv_s)
        s1[0] += v0
        s1[1] += v1
        s1[2] += v2
        s1[3] += v3
        s1[4] += v4
        s2[0] += v0 * v0
        s2[1] += v1 * v1
        s2[2] += v2 * v2
        s2[3] += v3 * v3
        s2[4] += v4 * v4
    return _greeks_result(s1, s2, x.shape[0])


@njit(cache=False)
def price_and_greeks_constant_flow_pathwise(x, w_terminals, horizon, x0, vol, strike):
    scale, q, c1, inv_st, inv_s = _gbm_constants(horizon, x0, vol)
    st = vol * horizon
    s1 = np.zeros(5)
    s2 = np.zeros(5)
    for k in range(x.shape[0]):
        xk = x[k]
        w = w_terminals[k]
        f = _call(xk, strike)
        d = 1.0 if xk > strike else 0.0
        p = w * scale
        y = xk * c1
        v1 = d * y
        v2 = d * (y * (p - c1))
        v3 = d * (xk * (w - st))
        v4 = d * (xk * horizon)
        s1[0] += f
        s2[0] += f * f
        s1[1] += v1
        s1[2] += v2
        s1[3] += v3
        s1[4] += v4
        s2[1] += v1 * v1
        s2[2] += v2 * v2
        s2[3] += v3 * v3
        s2[4] += v4 * v4
    return _greeks_result(s1, s2, x.shape[0])


# ---------------------------------------------------------------------------------------
# The second-order tangent flow, one path at a time, in the kernel's per-step order.


@njit(cache=False)
def _second_order_path(dws, sigma, d_mu, d_sig, d2_mu, d2_sig, k, inv_t, dt, inv_n,
                       with_v):
    """Path k's (delta weight, gamma weight, Y_N, H_N, V_N under the parallel bump), or
    ok = False on a zero sigma."""
    n_steps = dws.shape[1]
    y = 1.0
    h = 0.0
    acc = 0.0
    accl = 0.0
    v = 0.0
    for j in range(n_steps):
        s = sigma[k, j]
        if s == 0.0:
            return math.nan, math.nan, math.nan, math.nan, math.nan, False
        dw = dws[k, j]
        mp = d_mu[k, j]
        sp = d_sig[k, j]
        mpp = d2_mu[k, j]
        spp = d2_sig[k, j]
        p = sp * y
        yn = y + ((mp * y) * dt + p * dw)
        u = (yn / s) * inv_n
        tau = ((yn * dw) - p * dt) / s
        g = (float(n_steps - j) * inv_n) * y
        spp_g = spp * g
        la = ((mpp * g) * dt + spp_g * dw) - sp * u
        hn = h + (((mp * h) * dt + (sp * h) * dw) + y * la)
        ltau = (((hn * dw) - yn * u) - (spp_g * y + sp * h) * dt) / s - ((tau * sp) * g) / s
        accl = accl + ltau * inv_t
        h = hn
        if with_v:
            v = v + (((mp * v) * dt + (sp * v) * dw) + (0.0 * dt + s * dw))
        acc = acc + tau * inv_t
        y = yn
    return acc, acc * acc + accl, y, h, v, True


def _greek_weights_tangent_flow(dws, sigma, d_mu, d_sig, d2_mu, d2_sig, horizon):
    n_paths, n_steps = dws.shape
    inv_t = 1.0 / horizon
    dt = horizon / float(n_steps)
    inv_n = 1.0 / float(n_steps)
    out = np.empty((n_paths, 4))
    bad = np.zeros(n_paths, dtype=np.bool_)
    # As in _tangent_flow_weights: no raise inside the (possibly parallel) loop.
    for k in prange(n_paths):
        r = _second_order_path(dws, sigma, d_mu, d_sig, d2_mu, d2_sig, k, inv_t, dt, inv_n,
                               False)
        out[k, 0] = r[0]
        out[k, 1] = r[1]
        out[k, 2] = r[2]
        out[k, 3] = r[3]
        bad[k] = not r[5]
    for k in range(n_paths):
        if bad[k]:
            raise ValueError("sigma = 0 produces division by zero in BEL weight")
    return out


greek_weights_tangent_flow = njit(cache=False)(_greek_weights_tangent_flow)
greek_weights_tangent_flow_prange = njit(cache=False, parallel=True)(
    _greek_weights_tangent_flow)


@njit(cache=False)
def price_and_greeks_tangent_flow(states, dws, sigma, d_mu, d_sig, d2_mu, d2_sig, horizon,
                                  strike):
    """The call's pathwise Greeks (price, delta, gamma, parallel-bump vega), summed in
    path order as the library sums them; rho NaN."""
    n_paths = states.shape[0]
    n_steps = states.shape[1] - 1
    inv_t = 1.0 / horizon
    dt = horizon / float(n_steps)
    inv_n = 1.0 / float(n_steps)
    s1 = np.zeros(5)
    s2 = np.zeros(5)
    for k in range(n_paths):
        pi, _, y, h, v, ok = _second_order_path(dws, sigma, d_mu, d_sig, d2_mu, d2_sig, k,
                                                inv_t, dt, inv_n, True)
        if not ok:
            raise ValueError("sigma_field = 0 produces division by zero")
        x = states[k, n_steps]
        f = _call(x, strike)
        d = 1.0 if x > strike else 0.0
        v1 = d * y
        v2 = d * ((y * pi) + h)
        v3 = d * v
        s1[0] += f
        s1[1] += v1
        s1[2] += v2
        s1[3] += v3
        s2[0] += f * f
        s2[1] += v1 * v1
        s2[2] += v2 * v2
        s2[3] += v3 * v3
    r = _greeks_result(s1, s2, n_paths)
    return r[0], r[1], r[2], r[3], math.nan, r[5], r[6], r[7], r[8], math.nan


def compile_all():
    """Compile every loop on tiny inputs, so no timed call includes the JIT."""
    a = np.ones((2, 3))
    st = np.ones((2, 4))
    x = np.ones(3)
    tangent_flow_weights(a, a, a, a, 1.0)
    tangent_flow_weights_prange(a, a, a, a, 1.0)
    price_and_delta_tangent_flow(st, a, a, a, a, 1.0, 1.0)
    price_from_samples(x)
    constant_flow_weights(x, 1.0, 1.0)
    price_and_delta_constant_flow(x, x, 1.0, 1.0, 1.0)
    greek_weights_constant_flow(x, 1.0, 1.0, 1.0)
    price_and_greeks_constant_flow_weights(x, x, 1.0, 1.0, 1.0, 1.0)
    price_and_greeks_constant_flow_pathwise(x, x, 1.0, 1.0, 1.0, 1.0)
    greek_weights_tangent_flow(a, a, a, a, a, a, 1.0)
    greek_weights_tangent_flow_prange(a, a, a, a, a, a, 1.0)
    price_and_greeks_tangent_flow(st, a, a, a, a, a, a, 1.0, 1.0)


def describe():
    import numba

    try:
        layer = numba.threading_layer()
    except ValueError:  # no parallel region has run yet
        layer = None
    return {"version": numba.__version__, "threads": int(numba.config.NUMBA_NUM_THREADS),
            "threading_layer": layer}
