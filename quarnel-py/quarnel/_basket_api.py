"""Price and Greeks of payoffs on several correlated assets (GBM or ABM).

The native module `quarnel._basket` returns flat arrays; this module names the pieces:
`BasketGreeks` (price, delta vector, gamma matrix, vega vector and their standard
errors) and `BasketWeights` (the per-path weights as views of one array).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Final

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _arrays, _basket
from ._batch import _describe
from ._types import BasketPayoff, Estimator, Model

Floats = NDArray[np.float64]
#: The payoffs of the weighted level sum_i weights_i X_i(T).
BASKET_PAYOFFS: Final = frozenset({"call", "put", "digital", "digital_put"})
# Called with the arguments as they came (checked natively): untyped here.
_native: Final[Any] = _basket


@dataclass(frozen=True)
class BasketGreeks:
    """Price E[f(X_T)] of a payoff on d assets and its sensitivities to the initial
    values (`delta`, shape (d,); `gamma`, shape (d, d), symmetric, cross-gammas off the
    diagonal) and to the volatilities (`vega`, shape (d,), d price / d vol_i), each
    with the standard error of its Monte Carlo mean. Undiscounted unless a `rate` was
    given; a non-finite estimate has a NaN standard error."""

    price: float
    delta: Floats
    gamma: Floats
    vega: Floats
    price_stderr: float
    delta_stderr: Floats
    gamma_stderr: Floats
    vega_stderr: Floats


@dataclass(frozen=True)
class BasketWeights:
    """Per-path weights: `delta` (n, d), `gamma` (n, d, d), `vega` (n, d). A Greek of any
    payoff f of X_T is the mean of f(X_T) times its weight (broadcast over paths)."""

    delta: Floats
    gamma: Floats
    vega: Floats


def _unpack(flat: Floats, d: int) -> tuple[float, Floats, Floats, Floats]:
    """price, delta, gamma (mirrored from its upper triangle) and vega of one half."""
    delta = flat[1:1 + d].copy()
    tri = flat[1 + d:1 + d + d * (d + 1) // 2]
    gamma = np.empty((d, d))
    rows, cols = np.triu_indices(d)
    gamma[rows, cols] = tri
    gamma[cols, rows] = tri
    vega = flat[1 + d + d * (d + 1) // 2:].copy()
    return float(flat[0]), delta, gamma, vega


def _basket_greeks(out: Floats, d: int) -> BasketGreeks:
    m = out.shape[0] // 2
    p, de, g, v = _unpack(out[:m], d)
    ps, ds, gs, vs = _unpack(out[m:], d)
    return BasketGreeks(p, de, g, v, ps, ds, gs, vs)


def _small(name: str, value: object, ndim: int) -> Floats:
    """A parameter vector or matrix (x0, vols, correlation, weights) as float64."""
    try:
        a = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"argument '{name}': expected an array of numbers, got "
                        f"{_describe(value)}") from None
    if a.ndim != ndim:
        raise ValueError(f"{name} must have {ndim} dimension{'s' if ndim > 1 else ''}, got "
                         f"shape {a.shape}")
    return a


def _readable(name: str, a: object) -> object:
    """A DLPack exporter's host memory as an ndarray, read in place; anything else as is."""
    return _arrays.from_exporter(name, a) if _arrays.is_exporter(a) else a


def _n_assets(terminal_states: object) -> int:
    shape = getattr(terminal_states, "shape", None)
    return int(shape[1]) if shape is not None and len(shape) == 2 else 0


def _native_args(terminal_states: object, w_terminals: object, x0: ArrayLike,
                 vols: ArrayLike, correlation: ArrayLike, horizon: float, payoff: str,
                 strike: float, weights: ArrayLike | None) -> tuple[object, ...]:
    """The native call's leading arguments, with the basket weights settled: equal
    weights 1/d by default, refused for the payoffs that do not use them."""
    d = _n_assets(terminal_states)
    if weights is None:
        w = np.full(d, 1.0 / d) if d else np.empty(0)
    elif payoff in BASKET_PAYOFFS:
        w = _small("weights", weights, 1)
    else:
        raise ValueError(f"weights apply to the basket payoffs {sorted(BASKET_PAYOFFS)}, not "
                         f"to {payoff!r}")
    return (terminal_states, w_terminals, _small("x0", x0, 1), _small("vols", vols, 1),
            _small("correlation", correlation, 2), horizon, payoff, strike, w)


def price_and_greeks_basket(terminal_states: Floats, w_terminals: Floats, x0: ArrayLike,
                            vols: ArrayLike, correlation: ArrayLike, horizon: float,
                            payoff: BasketPayoff, strike: float = 0.0, *,
                            weights: ArrayLike | None = None, model: Model = "gbm",
                            estimator: Estimator = "lowest_variance",
                            half_width: float | None = None,
                            rate: float | None = None) -> BasketGreeks:
    """Price, delta vector, gamma matrix and vega vector of a payoff on d correlated assets.

    `terminal_states` (n_paths, d) are X_i(T) and `w_terminals` (n_paths, d) the
    independent Brownian values W(T) that produced them, exactly sampled:
    GBM ln X_i = ln x0_i + (mu_i - vol_i^2/2) T + vol_i (L W)_i, ABM
    X_i = x0_i + mu_i T + vol_i (L W)_i, with L L^T = `correlation` (checked:
    symmetric, unit diagonal, positive definite). The drifts are not needed.

    Payoffs, with B = sum_i weights_i X_i (weights 1/d by default): "call" and "put"
    on B, "digital" (1{B > K}) and "digital_put", "spread" max(X_0 - X_1 - K, 0),
    "exchange" max(X_0 - X_1, 0), "best_of_call"/"best_of_put" on max_i X_i and
    "worst_of_call"/"worst_of_put" on min_i X_i.

    `estimator="lowest_variance"` (default): pathwise deltas and vegas and pathwise-
    times-weight gammas for the Lipschitz payoffs; for the digitals a ramp of
    half-width `half_width` (default twice the standard deviation of B over the paths,
    an O(1/n_paths) bias) taken pathwise and the rest by weights. `"weights"`: f(X_T)
    times the weights of `greek_weights_basket`. With `rate`, every value and error is
    that of the per-path samples times exp(-rate T).

    One asset's own W_i in the scalar weight ignores the correlation: a basket delta
    from it is wrong (about twice the truth at correlation 0.6), which is why the
    weights here take the whole vector W.
    """
    x = _readable("terminal_states", terminal_states)
    args = _native_args(x, _readable("w_terminals", w_terminals), x0, vols, correlation,
                        horizon, payoff, strike, weights)
    out = _native.price_and_greeks_basket(*args, model, estimator, half_width, rate)
    return _basket_greeks(out, _n_assets(x))


def greek_weights_basket(w_terminals: Floats, x0: ArrayLike, vols: ArrayLike,
                         correlation: ArrayLike, horizon: float,
                         model: Model = "gbm") -> BasketWeights:
    """Per-path weights of the delta vector, the gamma matrix and the vega vector of d
    correlated assets, from the independent Brownian values `w_terminals` (n_paths, d).

    With g = (1/T) diag(vol)^-1 L^-T W and Sigma_ij = vol_i vol_j rho_ij, under GBM
    delta_i = g_i / x0_i, gamma_ij = (g_i g_j - (T Sigma)^-1_ij - [i = j] g_i) /
    (x0_i x0_j) and vega_i = g_i ((L W)_i - vol_i T) - 1 / vol_i; under ABM delta_i =
    g_i, gamma_ij = g_i g_j - (T Sigma)^-1_ij and vega_i = g_i (L W)_i - 1 / vol_i.

    ```
    wt = greek_weights_basket(w, x0, vols, rho, 1.0)
    f = np.maximum(x.mean(axis=1) - 100.0, 0.0)
    cross_gamma = np.mean(f * wt.gamma[:, 0, 1])
    ```
    """
    x0s = _small("x0", x0, 1)
    out = _native.greek_weights_basket(_readable("w_terminals", w_terminals), x0s,
                                       _small("vols", vols, 1),
                                       _small("correlation", correlation, 2), horizon, model)
    n, d = out.shape[0], x0s.shape[0]
    return BasketWeights(out[:, :d], out[:, d:d + d * d].reshape(n, d, d), out[:, d + d * d:])
