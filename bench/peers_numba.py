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


def describe():
    import numba

    try:
        layer = numba.threading_layer()
    except ValueError:  # no parallel region has run yet
        layer = None
    return {"version": numba.__version__, "threads": int(numba.config.NUMBA_NUM_THREADS),
            "threading_layer": layer}
