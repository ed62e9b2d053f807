"""Type information for the extension module `_quarnel` (re-exported by `quarnel`).

Array parameters are float64 NumPy arrays of exactly the documented number of
dimensions (1-D for samples and terminal values, 2-D for path batches); the
dimension is checked at run time, not by the type checker. Arrays are read in
place, never copied or written. Numbers accept anything with `__float__` (Python
and NumPy floats and ints). Payoff names are checked at run time: the four
built-in names are listed for editors, and any other `str` raises `ValueError`.
Prices are undiscounted.

What raises what: arguments are converted first, in parameter order, and a
wrong type or dimension raises `TypeError` naming the parameter (an int too
large for a double `OverflowError`, a payoff with no UTF-8 form
`UnicodeEncodeError`); then the domain checks listed in each function run in
order and the first failure raises `ValueError`. NaN and infinite array values
are never errors. `quarnel.PanicException` (a `BaseException`) is raised only
for an internal fault: a broken invariant, a worker pool that cannot start,
NumPy that cannot be bound or has an unknown C ABI.
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
    """Per-path constant-flow weights `W_T[k] / (T * sigma(X_0))` (GBM, ABM).

    ValueError: `horizon must be positive`, then `sigma_at_x0 must be positive`
    (NaN is not positive)."""

def bel_weights_tangent_flow(
    states: NDArray[np.float64],
    dws: NDArray[np.float64],
    sigma: NDArray[np.float64],
    d_mu_dx: NDArray[np.float64],
    d_sigma_dx: NDArray[np.float64],
    horizon: SupportsFloat,
) -> NDArray[np.float64]:
    """Per-path tangent-flow weights of a path batch; `states` is (n_paths, n_steps + 1),
    the other four arrays are (n_paths, n_steps). Only the shape of `states` is read.

    ValueError, in this order: `horizon must be positive`; `states must have at
    least 2 columns (n_steps + 1)`; `dws shape [r, c] != expected (n_paths,
    n_steps)` (then `sigma`, `d_mu_dx`, `d_sigma_dx`); `sigma[k, j] = 0 produces
    division by zero in BEL weight` at the first zero in path order."""

def bel_weights_tangent_flow_parallel(
    states: NDArray[np.float64],
    dws: NDArray[np.float64],
    sigma: NDArray[np.float64],
    d_mu_dx: NDArray[np.float64],
    d_sigma_dx: NDArray[np.float64],
    horizon: SupportsFloat,
) -> NDArray[np.float64]:
    """`bel_weights_tangent_flow` on the worker pool, with the interpreter lock released:
    the same weights bit for bit and the same errors. PanicException if the pool
    cannot start."""

def price_from_samples(samples: NDArray[np.float64]) -> tuple[float, float]:
    """`(mean, stderr)` of the samples; stderr in the population form (divisor n).
    No ValueError: an empty input gives `(nan, nan)`."""

def price_and_delta_constant_flow(
    terminal_states: NDArray[np.float64],
    w_terminals: NDArray[np.float64],
    horizon: SupportsFloat,
    sigma_at_x0: SupportsFloat,
    payoff: Literal["identity", "call", "put", "digital_call"],
    strike: SupportsFloat = 0.0,
) -> tuple[float, float, float, float]:
    """`(price, delta, price_stderr, delta_stderr)` of a built-in payoff, constant flow.

    ValueError, in this order: `terminal_states and w_terminals must have the
    same length`; `unknown payoff 'Call': expected 'identity', 'call', 'put', or
    'digital_call'`; `horizon must be positive`; `sigma_at_x0 must be positive`."""

def price_and_delta_tangent_flow(
    states: NDArray[np.float64],
    dws: NDArray[np.float64],
    sigma_field: NDArray[np.float64],
    d_mu_dx_field: NDArray[np.float64],
    d_sigma_dx_field: NDArray[np.float64],
    horizon: SupportsFloat,
    payoff: Literal["identity", "call", "put", "digital_call"],
    strike: SupportsFloat = 0.0,
) -> tuple[float, float, float, float]:
    """`(price, delta, price_stderr, delta_stderr)` of a built-in payoff over a path batch.
    Reads the last column of `states` and the first (n_paths, n_steps) of each step
    array; extra rows and columns are ignored.

    ValueError, in this order: `states must have at least 2 columns (n_steps +
    1)`; `unknown payoff 'Call'`; `horizon must be positive` (also for an empty
    batch); `dws shape [r, c] is smaller than required (n_paths, n_steps)` (then
    `sigma_field`, `d_mu_dx_field`, `d_sigma_dx_field`); `sigma_field[k, j] = 0
    produces division by zero`."""
