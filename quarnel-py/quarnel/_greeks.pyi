from typing import Literal, SupportsFloat

import numpy as np
from numpy.typing import NDArray

from ._types import Greeks

__version__: str

def _panic_exception() -> type[BaseException]: ...

def greek_weights_constant_flow(
    w_terminals: NDArray[np.float64],
    horizon: SupportsFloat,
    x0: SupportsFloat,
    vol: SupportsFloat,
    model: Literal["gbm", "abm"] | str = "gbm",
) -> NDArray[np.float64]:
    """(n_paths, 4) weights of delta, gamma, vega and drift rho under GBM or ABM."""

def price_and_greeks_constant_flow(
    terminal_states: NDArray[np.float64],
    w_terminals: NDArray[np.float64],
    horizon: SupportsFloat,
    x0: SupportsFloat,
    vol: SupportsFloat,
    payoff: Literal["identity", "call", "put", "digital_call"] | str,
    strike: SupportsFloat = 0.0,
    model: Literal["gbm", "abm"] | str = "gbm",
    estimator: Literal["weights", "lowest_variance"] | str = "lowest_variance",
    half_width: SupportsFloat | None = None,
) -> Greeks:
    """Price, delta, gamma, vega and drift rho of a built-in payoff, with standard errors."""
