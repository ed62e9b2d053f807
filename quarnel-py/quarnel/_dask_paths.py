"""The path-dependent products over Dask arrays chunked by rows (whole paths).

Each chunk's rows come from the single call's kernel on the worker that holds the
chunk; the sums then run as a chain of small tasks in path order, each continuing the
sums of the chunk before (first the spread of the ramp's variable where a digital
needs its default width, then the samples), which is exactly the single call's order
of operations. So the results equal one call on the gathered arrays bit for bit.
Every array must be one chunk along its step axis; the arrays of a batch share their
row chunks (NumPy arrays among them are chunked like the first Dask array). The
argument checks are the single call's; a zero sigma is reported with its path index in
the whole batch, but when several chunks hold one, which of them is reported depends on
the order the workers ran in.
"""

from __future__ import annotations

from typing import Any, Final

import dask
import dask.array
import numpy as np
from dask.array import Array as DaskArray

from . import _path_native, _paths
from ._batch import accepts_batch
from ._types import Average, Direction, Estimator, Greeks, Knock, LevelPayoff

# Dask's own typing is partial: it is used through Any, as quarnel.dask uses it.
_dask: Final[Any] = dask
da: Final[Any] = dask.array


def _row_blocks(arrays: tuple[Any, ...]) -> tuple[tuple[int, ...], list[tuple[Any, ...]]]:
    """The row chunks and, per chunk, the delayed blocks of every array."""
    lead = next((a for a in arrays if isinstance(a, da.Array)), None)
    if lead is None:
        raise TypeError("quarnel.dask functions take dask.array.Array arguments")
    rows = lead.chunks[0]
    per_array = []
    for i, a in enumerate(arrays):
        if not isinstance(a, da.Array):
            a = da.from_array(np.asarray(a), chunks=(rows, -1))
        if a.ndim != 2 or a.chunks[0] != rows:
            raise ValueError(f"argument {i} is chunked {a.chunks} by rows; the arrays of a "
                             f"batch must share the row chunks {rows}")
        if len(a.chunks[1]) != 1:
            raise ValueError(f"argument {i} has {len(a.chunks[1])} chunks along its step axis;"
                             " every array must be one chunk along it")
        per_array.append(a.to_delayed()[:, 0])
    return rows, list(zip(*per_array, strict=True))


def _greeks(plan: _paths.Plan, arrays: tuple[Any, ...], x0: Any) -> Greeks:
    lengths, blocks = _row_blocks(arrays)
    starts = np.concatenate([[0], np.cumsum(lengths)[:-1]]).astype(int)
    rows = [_dask.delayed(plan.rows)(b, x0, int(first)) for b, first in zip(blocks, starts,
                                                                          strict=True)]
    column = plan.ramp_column
    width: Any = plan.width(None)
    if column is not None:
        moments: Any = np.zeros(3)
        for r in rows:
            moments = _dask.delayed(_path_native._moments)(r, float(column), moments)
        width = _dask.delayed(plan.width)(moments)
    sums: Any = _paths.empty_sums()
    for r in rows:
        sums = _dask.delayed(plan.sums)(r, sums, width)
    (out,) = _dask.compute(_dask.delayed(plan.finish)(sums))
    result: Greeks = out
    return result


def price_and_greeks_barrier_gbm(states: Any, dws: Any, horizon: float, x0: float, vol: float,
                                 barrier: float, *, direction: Direction = "down",
                                 knock: Knock = "out", payoff: LevelPayoff = "call",
                                 strike: float = 0.0, rebate: float = 0.0,
                                 monitoring_dates: Any = None,
                                 estimator: Estimator = "lowest_variance",
                                 half_width: float | None = None,
                                 rate: float | None = None) -> Greeks:
    """`quarnel.price_and_greeks_barrier_gbm` over Dask arrays, equal to one call."""
    plan = _paths.barrier_plan("gbm", dws, horizon, vol, barrier, direction, knock, payoff,
                               strike, rebate, monitoring_dates, estimator, half_width, rate)
    return _greeks(plan, (states, dws), x0)


def price_and_greeks_barrier_tangent_flow(states: Any, dws: Any, sigma: Any, d_mu_dx: Any,
                                          d_sigma_dx: Any, d2_mu_dx2: Any, d2_sigma_dx2: Any,
                                          horizon: float, barrier: float, *,
                                          direction: Direction = "down", knock: Knock = "out",
                                          payoff: LevelPayoff = "call", strike: float = 0.0,
                                          rebate: float = 0.0, monitoring_dates: Any = None,
                                          estimator: Estimator = "lowest_variance",
                                          half_width: float | None = None,
                                          rate: float | None = None,
                                          vol: float | None = None) -> Greeks:
    """`quarnel.price_and_greeks_barrier_tangent_flow` over Dask arrays, equal to one
    call."""
    plan = _paths.barrier_plan("euler", dws, horizon, vol, barrier, direction, knock, payoff,
                               strike, rebate, monitoring_dates, estimator, half_width, rate)
    return _greeks(plan, (states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2),
                   1.0)


def price_and_greeks_asian_gbm(states: Any, dws: Any, horizon: float, x0: float, vol: float, *,
                               average: Average = "arithmetic", payoff: LevelPayoff = "call",
                               strike: float = 0.0, monitoring_dates: Any = None,
                               estimator: Estimator = "lowest_variance",
                               half_width: float | None = None,
                               rate: float | None = None) -> Greeks:
    """`quarnel.price_and_greeks_asian_gbm` over Dask arrays, equal to one call."""
    plan = _paths.asian_plan("gbm", dws, horizon, vol, average, payoff, strike,
                             monitoring_dates, estimator, half_width, rate)
    return _greeks(plan, (states, dws), x0)


def price_and_greeks_asian_tangent_flow(states: Any, dws: Any, sigma: Any, d_mu_dx: Any,
                                        d_sigma_dx: Any, d2_mu_dx2: Any, d2_sigma_dx2: Any,
                                        horizon: float, *, average: Average = "arithmetic",
                                        payoff: LevelPayoff = "call", strike: float = 0.0,
                                        monitoring_dates: Any = None,
                                        estimator: Estimator = "lowest_variance",
                                        half_width: float | None = None,
                                        rate: float | None = None,
                                        vol: float | None = None) -> Greeks:
    """`quarnel.price_and_greeks_asian_tangent_flow` over Dask arrays, equal to one call."""
    plan = _paths.asian_plan("euler", dws, horizon, vol, average, payoff, strike,
                             monitoring_dates, estimator, half_width, rate)
    return _greeks(plan, (states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2),
                   1.0)


def _weights(model: str, arrays: tuple[Any, ...], horizon: Any, x0: Any, vol: Any,
             first_date: int, columns: int) -> DaskArray:
    date = _paths._first_date(first_date)
    lengths, blocks = _row_blocks(arrays)
    starts = np.concatenate([[0], np.cumsum(lengths)[:-1]]).astype(int)
    parts = []
    for b, first, n in zip(blocks, starts, lengths, strict=True):
        rows = _dask.delayed(_paths.rows)(model, b, horizon, x0, vol, "weights", 1.0, "down",
                                         "out", np.zeros(0), date, int(first))
        parts.append(da.from_delayed(rows[:, :columns], shape=(n, columns), dtype=np.float64))
    out: DaskArray = da.concatenate(parts, axis=0)
    return out


def path_weights_gbm(dws: Any, horizon: float, x0: float, vol: float, *,
                     first_date: int) -> DaskArray:
    """`quarnel.path_weights_gbm` over a Dask array of increments: a lazy (n_paths, 3)
    array equal to one call."""
    if not isinstance(dws, da.Array):
        raise TypeError("quarnel.dask functions take dask.array.Array arguments")
    states = da.zeros((dws.shape[0], dws.shape[1] + 1), chunks=(dws.chunks[0], -1))
    return _weights("gbm", (states, dws), horizon, x0, vol, first_date, 3)


def path_weights_tangent_flow(states: Any, dws: Any, sigma: Any, d_mu_dx: Any, d_sigma_dx: Any,
                              d2_mu_dx2: Any, d2_sigma_dx2: Any, horizon: float, *,
                              first_date: int) -> DaskArray:
    """`quarnel.path_weights_tangent_flow` over Dask arrays: a lazy (n_paths, 2) array
    equal to one call."""
    arrays = (states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2)
    return _weights("euler", arrays, horizon, 1.0, float("nan"), first_date, 2)


price_and_greeks_barrier_gbm = accepts_batch(price_and_greeks_barrier_gbm, module="quarnel.dask",
                                             read_dlpack=False)
price_and_greeks_barrier_tangent_flow = accepts_batch(price_and_greeks_barrier_tangent_flow,
                                                      module="quarnel.dask", read_dlpack=False)
price_and_greeks_asian_gbm = accepts_batch(price_and_greeks_asian_gbm, module="quarnel.dask",
                                           read_dlpack=False)
price_and_greeks_asian_tangent_flow = accepts_batch(price_and_greeks_asian_tangent_flow,
                                                    module="quarnel.dask", read_dlpack=False)
path_weights_gbm = accepts_batch(path_weights_gbm, module="quarnel.dask", read_dlpack=False)
path_weights_tangent_flow = accepts_batch(path_weights_tangent_flow, module="quarnel.dask",
                                          read_dlpack=False)
