from typing import Literal, SupportsFloat

import numpy as np
from numpy.typing import NDArray

from ._heston_types import HestonGreeks

__all__ = [
    "tangents_heston",
    "greek_weights_heston",
    "price_and_greeks_heston",
    "__version__",
]

__version__: str

def tangents_heston(
    dw_v: NDArray[np.float64],
    dw_perp: NDArray[np.float64],
    horizon: SupportsFloat,
    s0: SupportsFloat,
    v0: SupportsFloat,
    kappa: SupportsFloat,
    theta: SupportsFloat,
    xi: SupportsFloat,
    rho: SupportsFloat,
    mu: SupportsFloat = 0.0,
) -> NDArray[np.float64]:
    """(n_paths, 14): S_T, v_T, dS_T/dp and dv_T/dp for p in (s0, v0, kappa, theta, xi, rho)."""

def greek_weights_heston(
    dw_v: NDArray[np.float64],
    dw_perp: NDArray[np.float64],
    horizon: SupportsFloat,
    s0: SupportsFloat,
    v0: SupportsFloat,
    kappa: SupportsFloat,
    theta: SupportsFloat,
    xi: SupportsFloat,
    rho: SupportsFloat,
    mu: SupportsFloat = 0.0,
) -> NDArray[np.float64]:
    """(n_paths, 8): S_T and the weights of delta, gamma, vega, kappa, theta, xi, rho."""

def price_and_greeks_heston(
    dw_v: NDArray[np.float64],
    dw_perp: NDArray[np.float64],
    horizon: SupportsFloat,
    s0: SupportsFloat,
    v0: SupportsFloat,
    kappa: SupportsFloat,
    theta: SupportsFloat,
    xi: SupportsFloat,
    rho: SupportsFloat,
    payoff: Literal["call", "put", "digital", "digital_put"],
    strike: SupportsFloat,
    mu: SupportsFloat = 0.0,
    estimator: Literal["weights", "lowest_variance"] = "lowest_variance",
    rate: SupportsFloat | None = None,
    half_width: SupportsFloat | None = None,
) -> HestonGreeks:
    """Price and Greeks of a built-in payoff under Heston, with standard errors."""

def _heston_samples(
    dw_v: NDArray[np.float64],
    dw_perp: NDArray[np.float64],
    horizon: SupportsFloat,
    s0: SupportsFloat,
    v0: SupportsFloat,
    kappa: SupportsFloat,
    theta: SupportsFloat,
    xi: SupportsFloat,
    rho: SupportsFloat,
    payoff: str,
    strike: SupportsFloat,
    mu: SupportsFloat = 0.0,
    estimator: str = "lowest_variance",
    rate: SupportsFloat | None = None,
    half_width: SupportsFloat | None = None,
) -> NDArray[np.float64]: ...

def _simulate_fused(
    s0: SupportsFloat,
    v0: SupportsFloat,
    kappa: SupportsFloat,
    theta: SupportsFloat,
    xi: SupportsFloat,
    rho: SupportsFloat,
    mu: SupportsFloat,
    n_paths: SupportsFloat,
    n_steps: SupportsFloat,
    horizon: SupportsFloat,
    seed_lo: SupportsFloat,
    seed_hi: SupportsFloat,
    first_path: SupportsFloat = 0.0,
) -> tuple[NDArray[np.float64], NDArray[np.float64]]: ...
def _price_and_greeks_fused(
    s0: SupportsFloat,
    v0: SupportsFloat,
    kappa: SupportsFloat,
    theta: SupportsFloat,
    xi: SupportsFloat,
    rho: SupportsFloat,
    mu: SupportsFloat,
    n_paths: SupportsFloat,
    n_steps: SupportsFloat,
    horizon: SupportsFloat,
    seed_lo: SupportsFloat,
    seed_hi: SupportsFloat,
    payoff: str,
    strike: SupportsFloat,
    estimator: str = "lowest_variance",
    rate: SupportsFloat | None = None,
    half_width: SupportsFloat | None = None,
) -> HestonGreeks: ...
