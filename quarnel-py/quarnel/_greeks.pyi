from typing import Literal, SupportsFloat

import numpy as np
from numpy.typing import NDArray

from ._types import Greeks

__all__ = [
    "greek_weights_constant_flow",
    "price_and_greeks_constant_flow",
    "greek_weights_tangent_flow",
    "greek_weights_tangent_flow_parallel",
    "parameter_weights_tangent_flow",
    "mixed_weights_tangent_flow",
    "price_and_greeks_tangent_flow",
    "__version__",
]

__version__: str

def _panic_exception() -> type[BaseException]: ...

def greek_weights_constant_flow(
    w_terminals: NDArray[np.float64],
    horizon: SupportsFloat,
    x0: SupportsFloat,
    vol: SupportsFloat,
    model: Literal["gbm", "abm"] = "gbm",
) -> NDArray[np.float64]:
    """(n_paths, 4) weights of delta, gamma, vega and drift rho under GBM or ABM."""

def price_and_greeks_constant_flow(
    terminal_states: NDArray[np.float64],
    w_terminals: NDArray[np.float64],
    horizon: SupportsFloat,
    x0: SupportsFloat,
    vol: SupportsFloat,
    payoff: Literal["identity", "call", "put", "digital_call", "digital", "digital_put",
                  "call_spread", "put_spread"],
    strike: SupportsFloat = 0.0,
    model: Literal["gbm", "abm"] = "gbm",
    estimator: Literal["weights", "lowest_variance"] = "lowest_variance",
    half_width: SupportsFloat | None = None,
    rate: SupportsFloat | None = None,
    strike2: SupportsFloat | None = None,
    pairs: Literal["halves", "adjacent"] | None = None,
) -> Greeks:
    """Price, delta, gamma, vega and drift rho of a built-in payoff, with standard errors."""

def greek_weights_tangent_flow(
    states: NDArray[np.float64],
    dws: NDArray[np.float64],
    sigma: NDArray[np.float64],
    d_mu_dx: NDArray[np.float64],
    d_sigma_dx: NDArray[np.float64],
    d2_mu_dx2: NDArray[np.float64],
    d2_sigma_dx2: NDArray[np.float64],
    horizon: SupportsFloat,
) -> NDArray[np.float64]:
    """(n_paths, 4): Euler-exact delta and gamma weights, Y_T and H_T."""

def greek_weights_tangent_flow_parallel(
    states: NDArray[np.float64],
    dws: NDArray[np.float64],
    sigma: NDArray[np.float64],
    d_mu_dx: NDArray[np.float64],
    d_sigma_dx: NDArray[np.float64],
    d2_mu_dx2: NDArray[np.float64],
    d2_sigma_dx2: NDArray[np.float64],
    horizon: SupportsFloat,
) -> NDArray[np.float64]:
    """greek_weights_tangent_flow on the worker pool, bit for bit."""

def parameter_weights_tangent_flow(
    states: NDArray[np.float64],
    dws: NDArray[np.float64],
    sigma: NDArray[np.float64],
    d_mu_dx: NDArray[np.float64],
    d_sigma_dx: NDArray[np.float64],
    d2_mu_dx2: NDArray[np.float64],
    d2_sigma_dx2: NDArray[np.float64],
    d_mu_dp: NDArray[np.float64],
    d_sigma_dp: NDArray[np.float64],
    d2_mu_dx_dp: NDArray[np.float64],
    d2_sigma_dx_dp: NDArray[np.float64],
    horizon: SupportsFloat,
) -> NDArray[np.float64]:
    """(n_paths,): Euler-exact weights of d/dp for a model parameter p."""

def mixed_weights_tangent_flow(
    states: NDArray[np.float64],
    dws: NDArray[np.float64],
    sigma: NDArray[np.float64],
    d_mu_dx: NDArray[np.float64],
    d_sigma_dx: NDArray[np.float64],
    d2_mu_dx2: NDArray[np.float64],
    d2_sigma_dx2: NDArray[np.float64],
    d_mu_dp: NDArray[np.float64],
    d_sigma_dp: NDArray[np.float64],
    d2_mu_dx_dp: NDArray[np.float64],
    d2_sigma_dx_dp: NDArray[np.float64],
    horizon: SupportsFloat,
) -> NDArray[np.float64]:
    """(n_paths,): Euler-exact weights of d2/dx0 dp for a model parameter p."""

def price_and_greeks_tangent_flow(
    states: NDArray[np.float64],
    dws: NDArray[np.float64],
    sigma_field: NDArray[np.float64],
    d_mu_dx_field: NDArray[np.float64],
    d_sigma_dx_field: NDArray[np.float64],
    d2_mu_dx2_field: NDArray[np.float64],
    d2_sigma_dx2_field: NDArray[np.float64],
    horizon: SupportsFloat,
    payoff: Literal["identity", "call", "put", "digital_call", "digital", "digital_put",
                  "call_spread", "put_spread"],
    strike: SupportsFloat = 0.0,
    estimator: Literal["weights", "lowest_variance"] = "lowest_variance",
    vol: SupportsFloat | None = None,
    half_width: SupportsFloat | None = None,
    rate: SupportsFloat | None = None,
    strike2: SupportsFloat | None = None,
    pairs: Literal["halves", "adjacent"] | None = None,
) -> Greeks:
    """Price, delta, gamma and vega (d/d vol) of a built-in payoff; rho is NaN."""
