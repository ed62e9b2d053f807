"""The tangent flow fed one time step at a time, for simulations that never store paths.

`TangentFlowAccumulator` keeps the per-path tangents and weight sums of the
tangent-flow estimators in native memory (2 to 8 doubles a path) and updates them in
place from the arrays of one Euler step of all paths. Once the last step is in, its
results equal the batch functions on the stacked arrays bit for bit:

- `bel_weights()`: `bel_weights_tangent_flow`;
- `greek_weights()`: `greek_weights_tangent_flow`;
- `vega_weights()`: `parameter_weights_tangent_flow` with the fields of
  `parallel_volatility_bump`;
- `price_and_greeks(terminal_states, payoff, ...)`: `price_and_greeks_tangent_flow`,
  `terminal_states` standing in for the last column of `states`.
"""

from __future__ import annotations

from numbers import Real
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import _stream
from ._arrays import from_exporter, is_exporter
from ._types import Estimator, Greeks, Payoff

_STEP_ARRAYS = ("dw", "sigma", "d_mu_dx", "d_sigma_dx", "d2_mu_dx2", "d2_sigma_dx2")


class TangentFlowAccumulator:
    """Tangent-flow weights and Greeks of `n_paths` paths of dX = mu(X) dt + sigma(X) dW,
    fed one Euler step at a time on the uniform grid of `n_steps` steps over `horizon`.

    `second_order=False` tracks only the first-order BEL weight (2 doubles a path);
    `second_order=True` (default) also delta, gamma and, with `vega=True` (default),
    the parallel-bump vega (5 and 8 doubles a path).

    Each `step(dw, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2)` takes that
    step's Brownian increments and the coefficients' derivatives at the state at the
    start of the step, each a 1-D float64 array of `n_paths` values (any strides, NumPy
    or DLPack) or a number shared by every path. A refused step (a wrong length, a zero
    sigma) changes nothing. Large batches are stepped on the worker pool without the
    interpreter lock; the bits are the same for any thread count.
    """

    __slots__ = ("_state", "_n_paths", "_n_steps", "_horizon", "_second_order", "_vega")

    def __init__(self, n_paths: int, n_steps: int, horizon: float, *,
                 second_order: bool = True, vega: bool = True) -> None:
        order = ("first_order" if not second_order
                 else "second_order_vega" if vega else "second_order")
        self._state = _stream._new(n_paths, n_steps, horizon, order)
        self._n_paths = int(n_paths)
        self._n_steps = int(n_steps)
        self._horizon = float(horizon)
        self._second_order = bool(second_order)
        self._vega = bool(second_order and vega)

    def __repr__(self) -> str:
        return (f"TangentFlowAccumulator(n_paths={self._n_paths}, n_steps={self._n_steps}, "
                f"horizon={self._horizon!r}, second_order={self._second_order}, "
                f"vega={self._vega}; {self.steps_taken} steps taken)")

    @property
    def n_paths(self) -> int:
        return self._n_paths

    @property
    def n_steps(self) -> int:
        return self._n_steps

    @property
    def horizon(self) -> float:
        return self._horizon

    @property
    def second_order(self) -> bool:
        return self._second_order

    @property
    def vega(self) -> bool:
        return self._vega

    @property
    def steps_taken(self) -> int:
        n: int = _stream._steps_taken(self._state)
        return n

    def _array(self, name: str, a: Any) -> Any:
        if isinstance(a, np.ndarray):
            return a
        if isinstance(a, Real) and not isinstance(a, bool):
            # One value for every path: a zero-stride view, nothing copied.
            return np.broadcast_to(np.float64(a), (self._n_paths,))
        if is_exporter(a):
            return from_exporter(name, a)
        return a  # the native conversion names the argument and its type

    def step(self, dw: Any, sigma: Any, d_mu_dx: Any, d_sigma_dx: Any,
             d2_mu_dx2: Any = None, d2_sigma_dx2: Any = None) -> None:
        """Feeds the next step of every path (see the class)."""
        given = (dw, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2)
        if self._second_order:
            if d2_mu_dx2 is None or d2_sigma_dx2 is None:
                raise TypeError("step() of a second-order accumulator needs d2_mu_dx2 and "
                                "d2_sigma_dx2")
            arrays = [self._array(n, a) for n, a in zip(_STEP_ARRAYS, given)]
            _stream._step(self._state, *arrays)
        else:
            if d2_mu_dx2 is not None or d2_sigma_dx2 is not None:
                raise TypeError("step() of a first-order accumulator takes no d2_mu_dx2 or "
                                "d2_sigma_dx2")
            arrays = [self._array(n, a) for n, a in zip(_STEP_ARRAYS, given[:4])]
            _stream._step_first_order(self._state, *arrays)

    def reset(self) -> None:
        """Back to the state before the first step, the memory kept."""
        _stream._reset(self._state)

    def bel_weights(self) -> NDArray[np.float64]:
        """(n_paths,) first-order BEL weights: `bel_weights_tangent_flow` bit for bit."""
        out: NDArray[np.float64] = _stream._bel_weights(self._state)
        return out

    def greek_weights(self) -> NDArray[np.float64]:
        """(n_paths, 4): `greek_weights_tangent_flow` bit for bit."""
        out: NDArray[np.float64] = _stream._greek_weights(self._state)
        return out

    def vega_weights(self) -> NDArray[np.float64]:
        """(n_paths,) weights of the parallel volatility bump sigma -> (1 + e) sigma:
        `parameter_weights_tangent_flow` with `parallel_volatility_bump`, bit for bit."""
        out: NDArray[np.float64] = _stream._vega_weights(self._state)
        return out

    def price_and_greeks(self, terminal_states: Any, payoff: Payoff, strike: float = 0.0, *,
                         estimator: Estimator = "lowest_variance", vol: float | None = None,
                         half_width: float | None = None, rate: float | None = None,
                         strike2: float | None = None) -> Greeks:
        """`price_and_greeks_tangent_flow` of the steps fed, `terminal_states` (n_paths,)
        standing in for the last column of `states`: the same payoffs, estimators, `vol`
        (vega is d/dvol for sigma = vol * s(x), NaN without it), `half_width`, `rate` and
        `strike2`, the same bits."""
        if is_exporter(terminal_states):
            terminal_states = from_exporter("terminal_states", terminal_states)
        out: Greeks = _stream._price_and_greeks(
            self._state, terminal_states, payoff, strike, estimator, vol, half_width, rate, strike2)
        return out
