"""Simulate and estimate in one pass: the fused estimators of the built-in models.

The Brownian increment of path k at step j is sqrt(T / N) z[k, j], with z the normal
of the counter-based generator keyed by (seed, k, j) (`normals`): results are a
function of the seed alone, the same bits for any thread count, vector width and
platform. `simulate` returns the `PathBatch` of exactly the paths a fused call
simulates, so the stored-batch estimators on it give its results bit for bit.
"""

from __future__ import annotations

import operator
from typing import Any, Literal

import numpy as np
from numpy.typing import NDArray

from . import _fused, _heston
from ._batch import PathBatch
from ._heston_types import HestonGreeks
from ._types import DeltaPayoff, Estimator, Greeks, LevelPayoff, Payoff
from .models import Heston, _Model

_TWO32 = 1 << 32


def _seed_halves(seed: object) -> tuple[float, float]:
    if isinstance(seed, bool) or not hasattr(type(seed), "__index__"):
        raise TypeError(f"argument 'seed': expected an int, got {type(seed).__qualname__}")
    s = operator.index(seed)  # type: ignore[arg-type]
    if not 0 <= s < _TWO32 * _TWO32:
        raise ValueError(f"seed must be a whole number from 0 to 2**64 - 1, got {s}")
    return float(s % _TWO32), float(s // _TWO32)


def _model(model: object) -> tuple[str, float, float, float, float]:
    if isinstance(model, Heston):
        raise TypeError("argument 'model': expected a scalar quarnel.models model (GBM, ABM, "
                        "OU, CEV, CIR, LocalVol, Compiled), got Heston: use "
                        "price_and_greeks_heston_fused or simulate_heston")
    if not isinstance(model, _Model):
        raise TypeError(f"argument 'model': expected a quarnel.models model (GBM, ABM, OU, "
                        f"CEV, CIR), got {type(model).__qualname__}")
    return model._native()


def _count(name: str, n: object) -> float:
    if isinstance(n, bool) or not hasattr(type(n), "__index__"):
        raise TypeError(f"argument '{name}': expected an int, got {type(n).__qualname__}")
    return float(operator.index(n))  # type: ignore[arg-type]


def normals(seed: int, n_paths: int, n_steps: int, *, first_path: int = 0) -> NDArray[np.float64]:
    """The (n_paths, n_steps) standard normals of paths first_path, first_path + 1, ...
    of the generator: Philox4x32-10 keyed by the seed, counter (path, step // 2),
    Box-Muller with the library's own log, sine and cosine (docs/fused.md)."""
    lo, hi = _seed_halves(seed)
    out: NDArray[np.float64] = _fused.normals(lo, hi, _count("n_paths", n_paths),
                                              _count("n_steps", n_steps),
                                              _count("first_path", first_path))
    return out


def simulate(model: _Model, n_paths: int, n_steps: int, horizon: float, seed: int, *,
             pairs: Literal["adjacent"] | None = None) -> PathBatch:
    """The `PathBatch` of the fused call with these arguments: its states, increments
    and the coefficient fields at the start of each step (second derivatives included),
    so that `price_and_greeks_tangent_flow(batch, payoff, strike)` equals
    `price_and_greeks_fused(model, n_paths, n_steps, horizon, seed, payoff, strike)`
    bit for bit (vega there is the parallel bump, vol times this vega). With
    `pairs="adjacent"`, the antithetic batch of `price_and_greeks_fused(..., pairs=
    "adjacent")`: paths 2i and 2i + 1 are driven by opposite normals."""
    lo, hi = _seed_halves(seed)
    n = int(_count("n_steps", n_steps))
    m = _fused.simulate(*_model(model), _count("n_paths", n_paths), float(n), horizon, lo, hi,
                        pairs)
    f = [m[:, n + 1 + i * n: n + 1 + (i + 1) * n] for i in range(6)]
    return PathBatch(states=m[:, : n + 1], dws=f[0], horizon=horizon, sigma=f[1],
                     d_mu_dx=f[2], d_sigma_dx=f[3], d2_mu_dx2=f[4], d2_sigma_dx2=f[5])


def price_and_greeks_fused(model: _Model, n_paths: int, n_steps: int, horizon: float, seed: int,
                           payoff: Payoff, strike: float = 0.0, *,
                           estimator: Estimator = "lowest_variance",
                           half_width: float | None = None, rate: float | None = None,
                           strike2: float | None = None,
                           pairs: Literal["adjacent"] | None = None) -> Greeks:
    """Price, delta, gamma and vega (d/d vol) of a built-in payoff under `model`,
    simulating and estimating in one pass with nothing stored per step.

    The payoffs (a spread's upper strike `strike2`) and estimators are those of
    `price_and_greeks_tangent_flow` (exact for the Euler
    scheme at every n_steps); on `simulate(model, n_paths, n_steps, horizon, seed)`
    that function gives the same price, delta and gamma bit for bit, and vol times
    this vega. Memory is O(threads) for every estimator but the localised digitals
    without `half_width` (its default width needs all X_T first: 56 bytes a path).
    With `rate`, every value and standard error is multiplied by exp(-rate horizon).
    `pairs="adjacent"` draws antithetic pairs (paths 2i and 2i + 1 driven by opposite
    normals; n_paths even) and reports the standard errors of the pairs' means, as
    `price_and_greeks_tangent_flow(..., pairs="adjacent")` does on the `simulate` batch.
    Rho is NaN."""
    lo, hi = _seed_halves(seed)
    out: Greeks = _fused.price_and_greeks(*_model(model), _count("n_paths", n_paths),
                                          _count("n_steps", n_steps), horizon, lo, hi, payoff,
                                          strike, estimator, half_width, rate, strike2, pairs)
    return out


def price_and_delta_fused(model: _Model, n_paths: int, n_steps: int, horizon: float, seed: int,
                          payoff: DeltaPayoff, strike: float = 0.0, *,
                          rate: float | None = None) -> tuple[float, float, float, float]:
    """(price, delta, price_stderr, delta_stderr) with the first-order tangent-flow
    weight: `price_and_delta_tangent_flow` on the `simulate` batch, bit for bit, at a
    quarter of the divisions of `price_and_greeks_fused`."""
    lo, hi = _seed_halves(seed)
    out: Any = _fused.price_and_delta(*_model(model), _count("n_paths", n_paths),
                                      _count("n_steps", n_steps), horizon, lo, hi, payoff,
                                      strike, rate)
    p, d, p_se, d_se = out
    return float(p), float(d), float(p_se), float(d_se)


def _heston_model(model: object) -> tuple[float, float, float, float, float, float, float]:
    if not isinstance(model, Heston):
        raise TypeError(f"argument 'model': expected a quarnel.models.Heston, got "
                        f"{type(model).__qualname__}")
    return model._native()


def simulate_heston(model: Heston, n_paths: int, n_steps: int, horizon: float,
                    seed: int) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """The increments (dw_v, dw_perp), each (n_paths, n_steps), of the paths that
    `price_and_greeks_heston_fused` with these arguments simulates: for step j,
    dw_v[k, j] = sqrt(dt) z[k, 2j] and dw_perp[k, j] = sqrt(dt) z[k, 2j + 1], with
    z = normals(seed, n_paths, 2 n_steps) and dt = horizon / n_steps. So
    `price_and_greeks_heston(dw_v, dw_perp, horizon, s0, ..., mu=mu)` on them gives
    the fused call's `HestonGreeks` bit for bit."""
    lo, hi = _seed_halves(seed)
    out: Any = _heston._simulate_fused(*_heston_model(model), _count("n_paths", n_paths),
                                       _count("n_steps", n_steps), horizon, lo, hi)
    dw_v, dw_perp = out
    return dw_v, dw_perp


def price_and_greeks_heston_fused(model: Heston, n_paths: int, n_steps: int, horizon: float,
                                  seed: int, payoff: LevelPayoff, strike: float, *,
                                  estimator: Estimator = "lowest_variance",
                                  rate: float | None = None,
                                  half_width: float | None = None) -> HestonGreeks:
    """`price_and_greeks_heston` (payoffs, estimators, `rate` and `half_width` as there)
    on the paths of `simulate_heston(model, n_paths, n_steps, horizon, seed)`, bit for
    bit, simulating and estimating in one pass: no increment is stored, and memory does
    not grow with n_paths."""
    lo, hi = _seed_halves(seed)
    out: HestonGreeks = _heston._price_and_greeks_fused(
        *_heston_model(model), _count("n_paths", n_paths), _count("n_steps", n_steps), horizon, lo,
        hi, payoff, strike, estimator, rate, half_width)
    return out


__all__ = ["normals", "price_and_delta_fused", "price_and_greeks_fused",
           "price_and_greeks_heston_fused", "simulate", "simulate_heston"]
