from typing import SupportsFloat

import numpy as np
from numpy.typing import NDArray

__all__ = ["price_and_greeks_basket", "greek_weights_basket", "__version__"]

__version__: str

def price_and_greeks_basket(
    terminal_states: NDArray[np.float64],
    w_terminals: NDArray[np.float64],
    x0: NDArray[np.float64],
    vols: NDArray[np.float64],
    correlation: NDArray[np.float64],
    horizon: SupportsFloat,
    payoff: str,
    strike: SupportsFloat,
    weights: NDArray[np.float64],
    model: str,
    estimator: str,
    half_width: SupportsFloat | None = None,
    rate: SupportsFloat | None = None,
) -> NDArray[np.float64]:
    """[means, standard errors] of price, deltas, upper-triangle gammas and vegas."""

def greek_weights_basket(
    w_terminals: NDArray[np.float64],
    x0: NDArray[np.float64],
    vols: NDArray[np.float64],
    correlation: NDArray[np.float64],
    horizon: SupportsFloat,
    model: str,
) -> NDArray[np.float64]:
    """(n_paths, 2 d + d * d): delta, gamma (row-major) and vega weights per path."""

def _basket_samples(
    terminal_states: NDArray[np.float64], w_terminals: NDArray[np.float64],
    x0: NDArray[np.float64], vols: NDArray[np.float64], correlation: NDArray[np.float64],
    horizon: SupportsFloat, payoff: str, strike: SupportsFloat, weights: NDArray[np.float64],
    model: str, estimator: str, width: SupportsFloat, rate: SupportsFloat | None = None,
) -> NDArray[np.float64]: ...
def _basket_block_sums(
    terminal_states: NDArray[np.float64], w_terminals: NDArray[np.float64],
    x0: NDArray[np.float64], vols: NDArray[np.float64], correlation: NDArray[np.float64],
    horizon: SupportsFloat, payoff: str, strike: SupportsFloat, weights: NDArray[np.float64],
    model: str, estimator: str, width: SupportsFloat, rate: SupportsFloat | None = None,
) -> NDArray[np.float64]: ...
def _basket_levels(
    terminal_states: NDArray[np.float64], w_terminals: NDArray[np.float64],
    x0: NDArray[np.float64], vols: NDArray[np.float64], correlation: NDArray[np.float64],
    horizon: SupportsFloat, payoff: str, strike: SupportsFloat, weights: NDArray[np.float64],
    model: str, estimator: str, half_width: SupportsFloat | None = None,
    rate: SupportsFloat | None = None,
) -> NDArray[np.float64]: ...
