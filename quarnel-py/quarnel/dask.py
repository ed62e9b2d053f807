"""quarnel's estimators over Dask arrays chunked by rows (whole paths).

The functions have the names and parameters of the single-machine ones and take
`dask.array.Array` arguments. The estimators return what one call on the gathered
arrays returns, bit for bit: the same floats, and the same errors in the same order.

Paths are independent, so each chunk's per-path samples are formed on the worker that
holds the chunk, in parallel, by the single call's own native code. The estimators
are left-to-right sums over the paths; a chain of small tasks continues them chunk by
chunk in path order, from the sums of the chunk before, which is exactly the single
call's order of operations. Only those few sums travel between workers, never the
samples or the batch: a batch larger than a worker's memory streams through, chunk by
chunk, in one `compute`. The weight functions are lazy `map_blocks` arrays.

Every array must be one chunk along its step axis, and the arrays of a batch must
share their row chunks. Workers run the serial kernels; the parallel kernel is for a
single process.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any, Final, Protocol, cast

import dask
import dask.array as da
import numpy as np
from numpy.typing import NDArray

import _quarnel

from . import _greeks

__all__ = [
    "bel_weights_constant_flow",
    "bel_weights_tangent_flow",
    "price_and_delta_constant_flow",
    "price_and_delta_tangent_flow",
]

Floats = NDArray[np.float64]
_NO_META: Final = np.empty((0,), dtype=np.float64)


@dataclass(frozen=True)
class _Failure:
    """A chunk's ValueError, carried along the chain so the first in path order wins."""

    message: str


# What the chain passes on: the running sums, or the first failure.
_State = Floats | _Failure


def _stand_in(a: object, shape: tuple[int, ...] | None = None) -> object:
    """A NumPy array of a Dask array's dtype and shape (or `shape`) that costs no memory.

    The native checks see it where the single call would see the gathered array, so
    they raise the single call's TypeError or ValueError. Anything else is passed on.
    """
    if not isinstance(a, da.Array):
        return a
    if any(math.isnan(s) for s in a.shape):
        raise ValueError("a Dask array of unknown chunk sizes: call compute_chunk_sizes() first")
    return np.broadcast_to(np.zeros((), dtype=a.dtype), a.shape if shape is None else shape)


def _dask_array(name: str, a: object) -> da.Array:
    if not isinstance(a, da.Array):
        raise TypeError(f"argument '{name}': expected a dask.array.Array, got "
                        f"'{type(a).__qualname__}'")
    return a


def _whole_rows(name: str, a: da.Array) -> None:
    if a.ndim == 2 and a.numblocks[1] > 1:
        raise ValueError(f"{name} is chunked along the step axis {a.chunks[1]}: give it one "
                         f"chunk of whole rows, for example {name}.rechunk({{1: -1}})")


def _same_rows(name: str, a: da.Array, first: str, rows: tuple[int, ...]) -> da.Array:
    """`a`, whose row chunks must be `rows`, up to empty chunks (which slicing drops)."""
    if a.chunks[0] == rows:
        return a
    if [n for n in a.chunks[0] if n] != [n for n in rows if n]:
        raise ValueError(f"{name} has row chunks {a.chunks[0]}, {first} has {rows}: the "
                         f"arrays of a batch must share their row chunks")
    out: da.Array = _untyped(a).rechunk({0: rows})  # empty chunks only: no data moves
    return out


def _offsets(rows: Sequence[int]) -> list[int]:
    """The batch index of each chunk's first path."""
    out, at = [], 0
    for n in rows:
        out.append(at)
        at += n
    return out


class _Primitives(Protocol):
    """The private chunk primitives of quarnel._greeks (not in its public stub)."""

    def _constant_flow_samples(self, terminal_states: Floats, w_terminals: Floats,
                               horizon: float, sigma_at_x0: float, payoff: str,
                               strike: float = 0.0) -> Floats: ...
    def _tangent_flow_samples(self, states: Floats, dws: Floats, sigma_field: Floats,
                              d_mu_dx_field: Floats, d_sigma_dx_field: Floats, horizon: float,
                              payoff: str, strike: float, first_path: int) -> Floats: ...
    def _check_price_and_delta_tangent_flow(self, states: object, dws: object,
                                            sigma_field: object, d_mu_dx_field: object,
                                            d_sigma_dx_field: object, horizon: object,
                                            payoff: object, strike: object = 0.0) -> None: ...
    def _bel_weights_tangent_flow_chunk(self, states: Floats, dws: Floats, sigma: Floats,
                                        d_mu_dx: Floats, d_sigma_dx: Floats, horizon: float,
                                        first_path: int) -> Floats: ...
    def _check_bel_weights_tangent_flow(self, states: object, dws: object, sigma: object,
                                        d_mu_dx: object, d_sigma_dx: object,
                                        horizon: object) -> None: ...
    def _continue_sums(self, samples: Floats, start: Floats) -> Floats: ...
    def _finish_sums(self, sums: Floats, n_paths: int) -> Floats: ...


_native: Final = cast(_Primitives, _greeks)
# The single calls, untyped here: their checks run on stand-ins of any argument.
_single: Final[Any] = _quarnel
# dask leaves these functions and array methods untyped: called through Any.
_dask: Final[Any] = dask


def _untyped(a: da.Array) -> Any:
    return a


# Tasks. Module-level functions, so workers import them by name.

def _constant_flow_samples(first_path: int, params: tuple[Any, ...], x: Floats,
                           w: Floats) -> Floats | _Failure:
    return _native._constant_flow_samples(x, w, *params)


def _tangent_flow_samples(first_path: int, params: tuple[float, str, float], states: Floats,
                          dws: Floats, sigma_field: Floats, d_mu_dx_field: Floats,
                          d_sigma_dx_field: Floats) -> Floats | _Failure:
    horizon, payoff, strike = params
    try:
        return _native._tangent_flow_samples(states, dws, sigma_field, d_mu_dx_field,
                                             d_sigma_dx_field, horizon, payoff, strike,
                                             first_path)
    except ValueError as e:
        return _Failure(str(e))


def _continue(state: _State, samples: Floats | _Failure) -> _State:
    if isinstance(state, _Failure):
        return state
    if isinstance(samples, _Failure):
        return samples
    return _native._continue_sums(samples, state)


def _finish(state: _State, n_paths: int) -> Floats | _Failure:
    if isinstance(state, _Failure):
        return state
    return _native._finish_sums(state, n_paths)


def _sum_chunks(name: str, samples: Callable[..., Floats | _Failure], columns: int,
                arrays: Sequence[da.Array], params: tuple[Any, ...]) -> Floats:
    """[means..., stderrs...] of the per-path sample columns over a row-chunked batch.

    One task per chunk forms its samples: samples(first_path, params, *blocks). Then
    one task per chunk continues the sums from the chunk before; Dask runs it where
    the chunk's samples are, as they outweigh the sums. One graph, computed once.
    """
    optimized = _dask.optimize(*arrays)  # intermediates the arrays share stay shared
    blocks = [_untyped(a).to_delayed(optimize_graph=False).ravel() for a in optimized]
    rows: tuple[int, ...] = arrays[0].chunks[0]
    token = _dask.base.tokenize(*(a.name for a in optimized), params)
    sample = _dask.delayed(samples, pure=True)
    chain = _dask.delayed(_continue, pure=True)
    state: Any = np.zeros(2 * columns)
    for i, (first, parts) in enumerate(zip(_offsets(rows), zip(*blocks))):
        s = sample(first, params, *parts, dask_key_name=(f"quarnel-{name}-samples-{token}", i))
        state = chain(state, s, dask_key_name=(f"quarnel-{name}-sums-{token}", i))
    final = _dask.delayed(_finish, pure=True)(state, sum(rows),
                                              dask_key_name=f"quarnel-{name}-{token}")
    (result,) = _dask.compute(final)
    if isinstance(result, _Failure):
        raise ValueError(result.message)
    out: Floats = result
    return out


def _price_delta(out: Floats) -> tuple[float, float, float, float]:
    return float(out[0]), float(out[1]), float(out[2]), float(out[3])


def price_and_delta_constant_flow(terminal_states: da.Array, w_terminals: da.Array,
                                  horizon: float, sigma_at_x0: float, payoff: str,
                                  strike: float = 0.0) -> tuple[float, float, float, float]:
    """`quarnel.price_and_delta_constant_flow` over 1-D Dask arrays of equal chunks.

    Returns `(price, delta, price_stderr, delta_stderr)`, equal bit for bit to the
    single call on the gathered arrays.
    """
    # The single call's checks on empty stand-ins: its messages never depend on the
    # lengths beyond whether they differ.
    same = (isinstance(terminal_states, da.Array) and isinstance(w_terminals, da.Array)
            and terminal_states.shape == w_terminals.shape)
    _single.price_and_delta_constant_flow(
        _stand_in(terminal_states, (0,) * terminal_states.ndim)
        if isinstance(terminal_states, da.Array) else terminal_states,
        _stand_in(w_terminals, (0 if same else 1,) * w_terminals.ndim)
        if isinstance(w_terminals, da.Array) else w_terminals,
        horizon, sigma_at_x0, payoff, strike)
    x = _dask_array("terminal_states", terminal_states)
    w = _dask_array("w_terminals", w_terminals)
    w = _same_rows("w_terminals", w, "terminal_states", x.chunks[0])
    return _price_delta(_sum_chunks(
        "price-delta-cf", _constant_flow_samples, 2, [x, w],
        (float(horizon), float(sigma_at_x0), payoff, float(strike))))


def price_and_delta_tangent_flow(states: da.Array, dws: da.Array, sigma_field: da.Array,
                                 d_mu_dx_field: da.Array, d_sigma_dx_field: da.Array,
                                 horizon: float, payoff: str,
                                 strike: float = 0.0) -> tuple[float, float, float, float]:
    """`quarnel.price_and_delta_tangent_flow` over row-chunked Dask arrays.

    Returns `(price, delta, price_stderr, delta_stderr)`, equal bit for bit to the
    single call on the gathered arrays. As there, only the last column of `states` is
    read and the step arrays may have extra rows and columns.
    """
    named = {"states": states, "dws": dws, "sigma_field": sigma_field,
             "d_mu_dx_field": d_mu_dx_field, "d_sigma_dx_field": d_sigma_dx_field}
    _native._check_price_and_delta_tangent_flow(
        _stand_in(states), _stand_in(dws), _stand_in(sigma_field), _stand_in(d_mu_dx_field),
        _stand_in(d_sigma_dx_field), horizon, payoff, strike)
    arrays = {name: _dask_array(name, a) for name, a in named.items()}
    n_paths, n_steps = arrays["states"].shape[0], arrays["states"].shape[1] - 1
    for name, a in arrays.items():
        if name != "states" and (a.shape[0] > n_paths or a.shape[1] > n_steps):
            arrays[name] = a[:n_paths, :n_steps]  # what the single call ignores
        _whole_rows(name, arrays[name])
        arrays[name] = _same_rows(name, arrays[name], "states", arrays["states"].chunks[0])
    return _price_delta(_sum_chunks(
        "price-delta-tf", _tangent_flow_samples, 2, list(arrays.values()),
        (float(horizon), payoff, float(strike))))


def bel_weights_constant_flow(w_terminals: da.Array, horizon: float,
                              sigma_at_x0: float) -> da.Array:
    """`quarnel.bel_weights_constant_flow` chunk by chunk: a lazy array of the weights."""
    _single.bel_weights_constant_flow(
        _stand_in(w_terminals, (0,) * w_terminals.ndim)
        if isinstance(w_terminals, da.Array) else w_terminals, horizon, sigma_at_x0)
    w = _dask_array("w_terminals", w_terminals)
    out: da.Array = _untyped(w).map_blocks(_single.bel_weights_constant_flow, float(horizon),
                                           float(sigma_at_x0), dtype=np.float64, meta=_NO_META)
    return out


def _weights_block(dws: Floats, sigma: Floats, d_mu_dx: Floats, d_sigma_dx: Floats,
                   horizon: float, n_steps: int,
                   block_info: dict[Any, Any] | None = None) -> Floats:
    assert block_info is not None
    first_path = block_info[0]["array-location"][0][0]
    # The kernel reads only the shape of `states`.
    states = np.broadcast_to(np.zeros(()), (dws.shape[0], n_steps + 1))
    return _native._bel_weights_tangent_flow_chunk(states, dws, sigma, d_mu_dx, d_sigma_dx,
                                                   horizon, first_path)


def bel_weights_tangent_flow(states: da.Array, dws: da.Array, sigma: da.Array,
                             d_mu_dx: da.Array, d_sigma_dx: da.Array,
                             horizon: float) -> da.Array:
    """`quarnel.bel_weights_tangent_flow` chunk by chunk: a lazy array of the weights.

    Only the shape of `states` is used, as in the single call; the four step arrays
    must share their row chunks. A zero sigma raises the single call's ValueError with
    the path's index in the batch when the array is computed (with zeros in several
    chunks, Dask reports the first chunk to fail, not necessarily the leftmost).
    """
    named = {"states": states, "dws": dws, "sigma": sigma, "d_mu_dx": d_mu_dx,
             "d_sigma_dx": d_sigma_dx}
    _native._check_bel_weights_tangent_flow(_stand_in(states), _stand_in(dws), _stand_in(sigma),
                                            _stand_in(d_mu_dx), _stand_in(d_sigma_dx), horizon)
    arrays = {name: _dask_array(name, a) for name, a in named.items()}
    steps = list(arrays.items())[1:]
    for name, a in steps:
        _whole_rows(name, a)
    rows = arrays["dws"].chunks[0]
    fields = [_same_rows(name, a, "dws", rows) for name, a in steps]
    n_steps = arrays["states"].shape[1] - 1
    out: da.Array = _dask.array.map_blocks(_weights_block, *fields, float(horizon),
                                  n_steps, drop_axis=1, dtype=np.float64, meta=_NO_META)
    return out
