"""Type information for the extension module `_quarnel`.

Array parameters are float64 NumPy arrays of exactly the documented number of
dimensions (1-D for samples and terminal values, 2-D for path batches); the
dimension is checked at run time, not by the type checker. Numbers accept
anything with `__float__` (Python and NumPy floats and ints). Payoff names are
checked at run time: the four built-in names are listed for editors, and any
other `str` raises `ValueError`.
"""

from typing import Literal, SupportsFloat

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "bel_weights_constant_flow",
    "bel_weights_tangent_flow",
    "bel_weights_tangent_flow_parallel",
    "price_from_samples",
    "price_and_delta_constant_flow",
    "price_and_delta_tangent_flow",
    "__version__",
]

__version__: str

def bel_weights_constant_flow(
    w_terminals: NDArray[np.float64],
    horizon: SupportsFloat,
    sigma_at_x0: SupportsFloat,
) -> NDArray[np.float64]:
    """Per-path constant-flow weights `W_T[k] / (T * sigma(X_0))` (GBM, ABM)."""

def bel_weights_tangent_flow(
    states: NDArray[np.float64],
    dws: NDArray[np.float64],
    sigma: NDArray[np.float64],
    d_mu_dx: NDArray[np.float64],
    d_sigma_dx: NDArray[np.float64],
    horizon: SupportsFloat,
) -> NDArray[np.float64]:
    """Per-path tangent-flow weights of a path batch; `states` is (n_paths, n_steps + 1),
    the other four arrays are (n_paths, n_steps)."""

def bel_weights_tangent_flow_parallel(
    states: NDArray[np.float64],
    dws: NDArray[np.float64],
    sigma: NDArray[np.float64],
    d_mu_dx: NDArray[np.float64],
    d_sigma_dx: NDArray[np.float64],
    horizon: SupportsFloat,
) -> NDArray[np.float64]:
    """`bel_weights_tangent_flow` on the worker pool, with the interpreter lock released."""

def price_from_samples(samples: NDArray[np.float64]) -> tuple[float, float]:
    """`(mean, stderr)` of the samples; stderr in the population form (divisor n)."""

def price_and_delta_constant_flow(
    terminal_states: NDArray[np.float64],
    w_terminals: NDArray[np.float64],
    horizon: SupportsFloat,
    sigma_at_x0: SupportsFloat,
    payoff: Literal["identity", "call", "put", "digital_call"] | str,
    strike: SupportsFloat = 0.0,
) -> tuple[float, float, float, float]:
    """`(price, delta, price_stderr, delta_stderr)` of a built-in payoff, constant flow."""

def price_and_delta_tangent_flow(
    states: NDArray[np.float64],
    dws: NDArray[np.float64],
    sigma_field: NDArray[np.float64],
    d_mu_dx_field: NDArray[np.float64],
    d_sigma_dx_field: NDArray[np.float64],
    horizon: SupportsFloat,
    payoff: Literal["identity", "call", "put", "digital_call"] | str,
    strike: SupportsFloat = 0.0,
) -> tuple[float, float, float, float]:
    """`(price, delta, price_stderr, delta_stderr)` of a built-in payoff over a path batch."""
