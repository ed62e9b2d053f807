# The private native side of quarnel.TangentFlowAccumulator (quarnel/_stream_api.py).
from typing import Any, SupportsFloat, SupportsIndex

import numpy as np
from numpy.typing import NDArray

from ._types import Greeks

__all__ = ["__version__"]

__version__: str

def _new(
    n_paths: SupportsIndex, n_steps: SupportsIndex, horizon: SupportsFloat, order: str
) -> Any:
    """A capsule owning a new accumulator state."""

def _step(
    accumulator: Any,
    dw: NDArray[np.float64],
    sigma: NDArray[np.float64],
    d_mu_dx: NDArray[np.float64],
    d_sigma_dx: NDArray[np.float64],
    d2_mu_dx2: NDArray[np.float64],
    d2_sigma_dx2: NDArray[np.float64],
) -> None: ...
def _step_first_order(
    accumulator: Any,
    dw: NDArray[np.float64],
    sigma: NDArray[np.float64],
    d_mu_dx: NDArray[np.float64],
    d_sigma_dx: NDArray[np.float64],
) -> None: ...
def _reset(accumulator: Any) -> None: ...
def _steps_taken(accumulator: Any) -> int: ...
def _bel_weights(accumulator: Any) -> NDArray[np.float64]: ...
def _greek_weights(accumulator: Any) -> NDArray[np.float64]: ...
def _vega_weights(accumulator: Any) -> NDArray[np.float64]: ...
def _price_and_greeks(
    accumulator: Any,
    terminal_states: NDArray[np.float64],
    payoff: str,
    strike: SupportsFloat = 0.0,
    estimator: str = "lowest_variance",
    vol: SupportsFloat | None = None,
    half_width: SupportsFloat | None = None,
    rate: SupportsFloat | None = None,
    strike2: SupportsFloat | None = None,
) -> Greeks: ...
