"""Path-dependent products: barriers and Asians, and weights for any payoff of the path.

Each function makes one pass over the batch in native code (`quarnel._path_native._rows`, one
row of raw quantities per path), then sums the payoff's samples in path order
(`_sums`, `_finish`). `quarnel.dask` chains the same primitives over chunks, so its
results equal one call bit for bit.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from . import _path_native as _native
from ._batch import accepts_batch
from ._types import Average, Direction, Estimator, Greeks, Knock, LevelPayoff

SUMS = 30  # the length of the chained sums of `_sums`
_NAN = float("nan")

_BARRIER_X = 0  # the row column of the terminal state (barriers)
_ASIAN_AVG = 0  # the row column of the average (Asians)


def _finite(name: str, x: Any) -> float:
    value = float(x)
    if not math.isfinite(value):
        raise ValueError(f"{name} must be finite, got {value!r}")
    return value


def _rate(rate: Any) -> float:
    return _NAN if rate is None else _finite("rate", rate)


def _half_width(half_width: Any) -> float | None:
    if half_width is None:
        return None
    value = float(half_width)
    if not (value > 0.0 and math.isfinite(value)):
        raise ValueError(f"half_width must be positive and finite, got {value!r}")
    return value


def _choice(name: str, value: Any, allowed: tuple[str, ...]) -> str:
    if not isinstance(value, str) or value not in allowed:
        shown = " or ".join(repr(a) for a in allowed)
        raise ValueError(f"unknown {name} {value!r}: expected {shown}")
    return value


def n_steps_of(dws: Any) -> int:
    shape = getattr(dws, "shape", None)
    if shape is None or len(shape) != 2:
        raise TypeError(f"dws must be a 2-D float64 array, got {type(dws).__name__}")
    return int(shape[1])


def monitoring_mask(dates: Sequence[int] | Any | None, n_steps: int) -> np.ndarray:
    """The grid dates 1..n_steps named by `dates` as a 0/1 mask (all of them for None)."""
    if dates is None:
        return np.ones(n_steps)
    arr = np.asarray(dates)
    if arr.ndim != 1 or arr.size == 0 or not np.issubdtype(arr.dtype, np.integer):
        raise TypeError("monitoring_dates must be a non-empty 1-D sequence of grid indices "
                        f"(integers in 1..{n_steps}), got {arr.dtype} of shape {arr.shape}")
    if arr.min() < 1 or arr.max() > n_steps:
        raise ValueError(f"monitoring_dates must lie in 1..{n_steps} (the grid dates after "
                         f"t = 0), got {int(arr.min())}..{int(arr.max())}")
    if np.unique(arr).size != arr.size:
        raise ValueError("monitoring_dates must not repeat a date")
    mask = np.zeros(n_steps)
    mask[arr - 1] = 1.0
    return mask


def _none_2d(n_steps: int) -> np.ndarray:
    # A stand-in for the fields gbm does not read: one zero, broadcast.
    return np.broadcast_to(np.zeros(1), (1, max(n_steps, 1)))


def rows(model: str, arrays: tuple[Any, ...], horizon: Any, x0: Any, vol: Any, product: str,
         barrier: Any, direction: str, knock: str, mask: Any, first_date: float,
         first_path: int = 0, threads: str = "serial") -> np.ndarray:
    """The per-path rows of `_native._rows` for the arrays (states, dws[, five fields])."""
    if model == "gbm":
        states, dws = arrays
        n = n_steps_of(dws)
        fields = (_none_2d(n),) * 5
    else:
        states, dws, *rest = arrays
        n = n_steps_of(dws)
        fields = tuple(rest)
    return _native._rows(model, states, dws, *fields, horizon, x0, vol, product, barrier,
                         direction, knock, mask, first_date, float(first_path), threads)


def empty_sums() -> np.ndarray:
    return np.zeros(SUMS)


def half_width_from_moments(m: np.ndarray) -> float:
    """Twice the population standard deviation from the chained sums (x, x^2, n), in
    the operation order of the native default_half_width."""
    s1, s2, n = float(m[0]), float(m[1]), float(m[2])
    mean = s1 / n if n else _NAN
    var = s2 / n - mean * mean if n else _NAN
    var = var if var > 0.0 else 0.0
    return 2.0 * math.sqrt(var)


def ramp_needed(product: str, payoff: str, estimator: str) -> bool:
    return (estimator == "lowest_variance" and payoff in ("digital", "digital_put")
            and product != "barrier_discrete")


def regressed(estimator: str) -> bool:
    """The lowest-variance estimator combines its samples by least squares."""
    return estimator == "lowest_variance"


def vega_weights(model: str, product: str, vol: float) -> bool:
    """Whether the rows hold a vega weight: gbm, and continuous barriers on Euler grids
    with `vol` given."""
    return model == "gbm" or (product == "barrier_continuous" and not math.isnan(vol))


def vega_formed(model: str, product: str, payoff: str, estimator: str, vol: float) -> bool:
    """Whether the vega is formed: always under gbm; on Euler grids with `vol` given, for
    continuous barriers, and pathwise for Asian calls and puts under "lowest_variance"."""
    if vega_weights(model, product, vol):
        return True
    return (not math.isnan(vol) and estimator == "lowest_variance"
            and payoff in ("call", "put") and product.startswith("asian"))


def check_common(payoff: str, strike: Any, estimator: str, half_width: Any, rate: Any,
                 payoffs: tuple[str, ...] = ("call", "put", "digital", "digital_put")
                 ) -> tuple[float, float | None, float]:
    _choice("payoff", payoff, payoffs)
    _choice("estimator", estimator, ("lowest_variance", "weights"))
    return _finite("strike", strike), _half_width(half_width), _rate(rate)


def barrier_product(monitoring_dates: Any, n_steps: int) -> tuple[str, np.ndarray]:
    if monitoring_dates is None:
        return "barrier_continuous", np.zeros(0)
    return "barrier_discrete", monitoring_mask(monitoring_dates, n_steps)


def _threads(parallel: bool) -> str:
    return "parallel" if parallel else "serial"


@dataclass(frozen=True)
class Plan:
    """A checked call: what the kernel computes and how its rows become Greeks."""

    model: str
    product: str
    barrier: float
    direction: str
    knock: str
    mask: np.ndarray
    vol: float
    payoff: str
    strike: float
    rebate: float
    estimator: str
    half_width: float | None
    rate: float
    horizon: float

    def rows(self, arrays: tuple[Any, ...], x0: Any, first_path: int = 0,
             threads: str = "serial") -> np.ndarray:
        return rows(self.model, arrays, self.horizon, x0, self.vol, self.product,
                    self.barrier, self.direction, self.knock, self.mask, 0.0, first_path,
                    threads)

    @property
    def ramp_column(self) -> int | None:
        """The row column whose spread sets the default ramp, if a default is needed."""
        if self.half_width is not None or not ramp_needed(self.product, self.payoff,
                                                          self.estimator):
            return None
        return _BARRIER_X if self.product.startswith("barrier") else _ASIAN_AVG

    def width(self, moments: np.ndarray | None) -> float:
        if self.half_width is not None:
            return self.half_width
        return _NAN if moments is None else half_width_from_moments(moments)

    def sums(self, r: np.ndarray, sums: np.ndarray, width: float) -> np.ndarray:
        out: np.ndarray = _native._sums(r, sums, self.product, self.payoff, self.strike,
                                        self.rebate, self.estimator, width, self.rate,
                                        self.horizon,
                                        float(vega_weights(self.model, self.product, self.vol)))
        return out

    def finish(self, sums: np.ndarray) -> Greeks:
        vega = vega_formed(self.model, self.product, self.payoff, self.estimator, self.vol)
        out: Greeks = _native._finish(sums, float(regressed(self.estimator)), float(vega))
        return out

    def run(self, arrays: tuple[Any, ...], x0: Any, parallel: bool) -> Greeks:
        r = self.rows(arrays, x0, threads=_threads(parallel))
        column = self.ramp_column
        moments = None if column is None else _native._moments(r, float(column), np.zeros(3))
        return self.finish(self.sums(r, empty_sums(), self.width(moments)))


def barrier_plan(model: str, dws: Any, horizon: Any, vol: Any, barrier: Any, direction: str,
                 knock: str, payoff: str, strike: Any, rebate: Any, monitoring_dates: Any,
                 estimator: str, half_width: Any, rate: Any) -> Plan:
    k, hw, r = check_common(payoff, strike, estimator, half_width, rate)
    rb = _finite("rebate", rebate)
    _choice("direction", direction, ("down", "up"))
    _choice("knock", knock, ("out", "in"))
    product, mask = barrier_product(monitoring_dates, n_steps_of(dws))
    v = _NAN if vol is None else float(vol)
    return Plan(model, product, barrier, direction, knock, mask, v, payoff, k, rb, estimator,
                hw, r, horizon)


def asian_plan(model: str, dws: Any, horizon: Any, vol: Any, average: str, payoff: str,
               strike: Any, monitoring_dates: Any, estimator: str, half_width: Any,
               rate: Any) -> Plan:
    k, hw, r = check_common(payoff, strike, estimator, half_width, rate)
    _choice("average", average, ("arithmetic", "geometric"))
    mask = monitoring_mask(monitoring_dates, n_steps_of(dws))
    v = _NAN if vol is None else float(vol)
    return Plan(model, f"asian_{average}", 1.0, "down", "out", mask, v, payoff, k, 0.0,
                estimator, hw, r, horizon)


def _barrier(model: str, arrays: tuple[Any, ...], horizon: Any, x0: Any, vol: Any,
             barrier: Any, direction: str, knock: str, payoff: str, strike: Any, rebate: Any,
             monitoring_dates: Any, estimator: str, half_width: Any, rate: Any,
             parallel: bool) -> Greeks:
    plan = barrier_plan(model, arrays[1], horizon, vol, barrier, direction, knock, payoff,
                        strike, rebate, monitoring_dates, estimator, half_width, rate)
    return plan.run(arrays, x0, parallel)


def _asian(model: str, arrays: tuple[Any, ...], horizon: Any, x0: Any, vol: Any, average: str,
           payoff: str, strike: Any, monitoring_dates: Any, estimator: str, half_width: Any,
           rate: Any, parallel: bool) -> Greeks:
    plan = asian_plan(model, arrays[1], horizon, vol, average, payoff, strike,
                      monitoring_dates, estimator, half_width, rate)
    return plan.run(arrays, x0, parallel)


def _first_date(first_date: Any) -> float:
    if isinstance(first_date, bool) or not isinstance(first_date, (int, np.integer)):
        raise TypeError(f"first_date must be an integer grid index, got "
                        f"{type(first_date).__name__}")
    return float(first_date)


# --- The public functions -------------------------------------------------------------

def price_and_greeks_barrier_gbm(states: Any, dws: Any, horizon: float, x0: float, vol: float,
                                 barrier: float, *, direction: Direction = "down",
                                 knock: Knock = "out", payoff: LevelPayoff = "call",
                                 strike: float = 0.0, rebate: float = 0.0,
                                 monitoring_dates: Any = None,
                                 estimator: Estimator = "lowest_variance",
                                 half_width: float | None = None, rate: float | None = None,
                                 parallel: bool = False) -> Greeks:
    """Price, delta, gamma and vega (d/d vol) of a barrier option under GBM simulated
    exactly: `states` (n_paths, n_steps + 1) the GBM states on a uniform grid of
    `horizon` (column 0, x0, is not read), `dws` (n_paths, n_steps) their Brownian
    increments, `x0` and `vol` the model's. Returns a `Greeks` (rho NaN).

    The option pays f(S_T) (`payoff` "call", "put", "digital" or "digital_put" at
    `strike`) if the barrier was not touched (`knock="out"`) or was (`knock="in"`), and
    `rebate` at T otherwise. `direction` "down" or "up" places the barrier below or above.
    Monitoring is continuous by default, through the exact Brownian-bridge survival of
    each step in log space; `monitoring_dates` (grid indices in 1..n_steps) monitors on
    those dates only.

    Estimators: "lowest_variance" (default) differentiates the smoothed payoff pathwise
    for calls and puts (and rebates), and for digitals a ramp of half-width
    `half_width` (default twice the standard deviation of S_T over the paths) pathwise
    with the rest by weights, centred; "weights" takes everything by the weights. Under
    discrete monitoring every Greek is by the weights of the first monitoring date
    (centred under "lowest_variance"); their variance grows as that date nears 0.
    With `rate`, the price and Greeks are discounted by exp(-rate T).

    ```
    g = price_and_greeks_barrier_gbm(s, dw, 1.0, 100.0, 0.3, 90.0, strike=100.0)
    g.delta, g.delta_stderr
    ```
    """
    return _barrier("gbm", (states, dws), horizon, x0, vol, barrier, direction, knock,
                    payoff, strike, rebate, monitoring_dates, estimator, half_width, rate,
                    parallel)


def price_and_greeks_barrier_tangent_flow(states: Any, dws: Any, sigma: Any, d_mu_dx: Any,
                                          d_sigma_dx: Any, d2_mu_dx2: Any, d2_sigma_dx2: Any,
                                          horizon: float, barrier: float, *,
                                          direction: Direction = "down", knock: Knock = "out",
                                          payoff: LevelPayoff = "call", strike: float = 0.0,
                                          rebate: float = 0.0, monitoring_dates: Any = None,
                                          estimator: Estimator = "lowest_variance",
                                          half_width: float | None = None,
                                          rate: float | None = None, vol: float | None = None,
                                          parallel: bool = False) -> Greeks:
    """Price, delta, gamma and vega of a barrier option on an Euler batch of any scalar
    model (the fields of `price_and_greeks_tangent_flow`, or a `PathBatch` with its
    second-order fields), exact for the simulated scheme. Options as for
    `price_and_greeks_barrier_gbm`; continuous monitoring uses the Brownian-bridge
    survival of the Euler interpolation, with the step's sigma.

    Vega is d/d vol for a model whose diffusion is `sigma = vol * s(x)` (drift free of
    vol): pass `vol`. It is formed with continuous monitoring (pathwise and by the
    tangent flow's parameter weight); under discrete monitoring, or without `vol`, it
    is NaN.

    ```
    g = price_and_greeks_barrier_tangent_flow(batch, 0.9, strike=1.0, vol=0.3)
    ```
    """
    arrays = (states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2)
    return _barrier("euler", arrays, horizon, 1.0, vol, barrier, direction, knock, payoff,
                    strike, rebate, monitoring_dates, estimator, half_width, rate, parallel)


def price_and_greeks_asian_gbm(states: Any, dws: Any, horizon: float, x0: float, vol: float, *,
                               average: Average = "arithmetic", payoff: LevelPayoff = "call",
                               strike: float = 0.0, monitoring_dates: Any = None,
                               estimator: Estimator = "lowest_variance",
                               half_width: float | None = None, rate: float | None = None,
                               parallel: bool = False) -> Greeks:
    """Price, delta, gamma and vega (d/d vol) of a fixed-strike Asian option under GBM
    simulated exactly (inputs as for `price_and_greeks_barrier_gbm`): f(A) with A the
    `average` ("arithmetic" or "geometric") of the states on `monitoring_dates` (grid
    indices in 1..n_steps, all of them by default), `payoff` "call", "put", "digital" or
    "digital_put".

    "lowest_variance" (default): pathwise for calls and puts (gamma: the pathwise delta
    times the weight of the first monitoring date); digitals by a ramp and the weights,
    centred. "weights": every Greek by the weights of the first monitoring date (vega by
    a weight whose variance grows with the number of steps after that date).

    ```
    g = price_and_greeks_asian_gbm(s, dw, 1.0, 100.0, 0.3, strike=100.0)
    ```
    """
    return _asian("gbm", (states, dws), horizon, x0, vol, average, payoff, strike,
                  monitoring_dates, estimator, half_width, rate, parallel)


def price_and_greeks_asian_tangent_flow(states: Any, dws: Any, sigma: Any, d_mu_dx: Any,
                                        d_sigma_dx: Any, d2_mu_dx2: Any, d2_sigma_dx2: Any,
                                        horizon: float, *, average: Average = "arithmetic",
                                        payoff: LevelPayoff = "call", strike: float = 0.0,
                                        monitoring_dates: Any = None,
                                        estimator: Estimator = "lowest_variance",
                                        half_width: float | None = None,
                                        rate: float | None = None, vol: float | None = None,
                                        parallel: bool = False) -> Greeks:
    """Price, delta, gamma and vega of a fixed-strike Asian option on an Euler batch of any
    scalar model, exact for the simulated scheme; options as for
    `price_and_greeks_asian_gbm`. Vega (d/d vol for sigma = vol * s(x), `vol` given) is
    pathwise: calls and puts under "lowest_variance" only, NaN otherwise.

    ```
    g = price_and_greeks_asian_tangent_flow(batch, strike=1.0, vol=0.3)
    ```
    """
    arrays = (states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2)
    return _asian("euler", arrays, horizon, 1.0, vol, average, payoff, strike,
                  monitoring_dates, estimator, half_width, rate, parallel)


def _weights_gbm(dws: Any, horizon: float, x0: float, vol: float, first_date: int,
                 parallel: bool) -> np.ndarray:
    n = n_steps_of(dws)
    states = np.broadcast_to(np.zeros(1), (int(dws.shape[0]), n + 1))
    return rows("gbm", (states, dws), horizon, x0, vol, "weights", 1.0, "down", "out",
                np.zeros(0), _first_date(first_date), threads=_threads(parallel))


def path_weights_gbm(dws: Any, horizon: float, x0: float, vol: float, *,
                     first_date: int) -> np.ndarray:
    """Per-path delta, gamma and vega (d/d vol) weights under GBM simulated exactly, valid
    for ANY payoff F of the path at grid dates at or after `first_date` (an index in
    1..n_steps): delta = mean(F * w[:, 0]), gamma = mean(F * w[:, 1]), vega =
    mean(F * w[:, 2]). Returns a float64 array (n_paths, 3).

    Delta W1 / (vol t1 x0) and gamma are the terminal weights at t1 = first_date * dt,
    with variance growing like 1/t1: put `first_date` as late as the payoff allows. The
    vega weight adds one term per step after t1 and its variance grows with their number.
    A payoff that looks at the path before t1 (a barrier watched from 0, a lookback from
    0) needs `price_and_greeks_barrier_gbm` or weights from first_date=1.

    ```
    w = path_weights_gbm(dws, 1.0, 100.0, 0.3, first_date=10)
    delta = np.mean(np.maximum(states[:, 10:].max(axis=1) - 100.0, 0.0) * w[:, 0])
    ```
    """
    return _weights_gbm(dws, horizon, x0, vol, first_date, False)


def path_weights_gbm_parallel(dws: Any, horizon: float, x0: float, vol: float, *,
                              first_date: int) -> np.ndarray:
    """`path_weights_gbm` on the worker pool, bit for bit the same."""
    return _weights_gbm(dws, horizon, x0, vol, first_date, True)


def _weights_tangent_flow(arrays: tuple[Any, ...], horizon: Any, first_date: int,
                          parallel: bool) -> np.ndarray:
    w = rows("euler", arrays, horizon, 1.0, _NAN, "weights", 1.0, "down", "out", np.zeros(0),
             _first_date(first_date), threads=_threads(parallel))
    out: np.ndarray = w[:, :2]
    return out


def path_weights_tangent_flow(states: Any, dws: Any, sigma: Any, d_mu_dx: Any, d_sigma_dx: Any,
                              d2_mu_dx2: Any, d2_sigma_dx2: Any, horizon: float, *,
                              first_date: int) -> np.ndarray:
    """Per-path delta and gamma weights on an Euler batch of any scalar model, exact for
    the simulated scheme and valid for ANY payoff F of the path at grid dates at or
    after `first_date` (1..n_steps): the tangent-flow weights of
    `greek_weights_tangent_flow` spread over the steps before that date only. Returns
    (n_paths, 2): delta = mean(F * w[:, 0]), gamma = mean(F * w[:, 1]).

    The terminal weights of `greek_weights_tangent_flow` are these at
    first_date = n_steps, and are wrong for a payoff that looks at the path before T.

    ```
    w = path_weights_tangent_flow(batch, first_date=16)
    ```
    """
    arrays = (states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2)
    return _weights_tangent_flow(arrays, horizon, first_date, False)


def path_weights_tangent_flow_parallel(states: Any, dws: Any, sigma: Any, d_mu_dx: Any,
                                       d_sigma_dx: Any, d2_mu_dx2: Any, d2_sigma_dx2: Any,
                                       horizon: float, *, first_date: int) -> np.ndarray:
    """`path_weights_tangent_flow` on the worker pool, bit for bit the same."""
    arrays = (states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2)
    return _weights_tangent_flow(arrays, horizon, first_date, True)


price_and_greeks_barrier_gbm = accepts_batch(price_and_greeks_barrier_gbm)
price_and_greeks_barrier_tangent_flow = accepts_batch(price_and_greeks_barrier_tangent_flow)
price_and_greeks_asian_gbm = accepts_batch(price_and_greeks_asian_gbm)
price_and_greeks_asian_tangent_flow = accepts_batch(price_and_greeks_asian_tangent_flow)
path_weights_gbm = accepts_batch(path_weights_gbm)
path_weights_gbm_parallel = accepts_batch(path_weights_gbm_parallel)
path_weights_tangent_flow = accepts_batch(path_weights_tangent_flow)
path_weights_tangent_flow_parallel = accepts_batch(path_weights_tangent_flow_parallel)
