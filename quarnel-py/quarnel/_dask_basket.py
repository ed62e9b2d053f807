"""`price_and_greeks_basket` and `greek_weights_basket` over Dask arrays of whole paths.

The single call sums its samples in blocks of `_basket.BLOCK` paths (each block a
left-to-right chain from zero, the total adding the blocks in path order). A chunk
here need not start on a block: its task forms the samples of the paths up to the
next block start (the head, which continues the block of the chunk before) and the
sums of the whole blocks after it; a chain of small tasks continues the head and adds
the blocks in path order. The results are the single call's, bit for bit.
"""

from __future__ import annotations

import math
from typing import Any, Final

import dask.array as da
import numpy as np
from numpy.typing import ArrayLike

from . import _basket, _greeks
from ._basket_api import (
    BasketGreeks,
    BasketWeights,
    Floats,
    _basket_greeks,
    _n_assets,
    _native_args,
    _small,
)
from ._types import BasketPayoff, Estimator, Model
from .dask import (
    DEFAULT_TIMEOUT,
    _dask_array,
    _Graph,
    _half_width,
    _passed_types,
    _same_rows,
    _stand_in,
    _task,
    _timeout,
    _untyped,
    _whole_rows,
)

# The block of the native sums (kBasketBlock in core/basket.hpp).
BLOCK: Final = 1024
_native: Final[Any] = _basket
_sums: Final[Any] = _greeks


@_task
def _piece(first: int, params: tuple[Any, ...], width: float, x: Floats,
           w: Floats) -> tuple[Floats, Floats, int, int]:
    return _chunk(first, params, width, x, w)


def _chunk(first: int, params: tuple[Any, ...], width: float, x: Floats,
           w: Floats) -> tuple[Floats, Floats, int, int]:
    """(samples of the head, sums of the whole blocks after it, first path, rows)."""
    *lead, rate = params
    head = min(x.shape[0], (-first) % BLOCK)
    samples = _native._basket_samples(x[:head], w[:head], *lead, width, rate)
    blocks = _native._basket_block_sums(x[head:], w[head:], *lead, width, rate)
    return samples, blocks, first, x.shape[0]


@_task
def _data(first: int, x: Floats, w: Floats) -> tuple[int, Floats, Floats]:
    return first, x, w


@_task
def _levels(params: tuple[Any, ...], data: tuple[int, Floats, Floats]) -> Floats:
    _, x, w = data
    *lead, rate = params
    out: Floats = _native._basket_levels(x, w, *lead, None, rate)
    return out


@_task
def _piece_from_data(params: tuple[Any, ...], width: float,
                     data: tuple[int, Floats, Floats]) -> tuple[Floats, Floats, int, int]:
    first, x, w = data
    return _chunk(first, params, width, x, w)


@_task
def _continue(state: tuple[Floats, Floats, bool],
              piece: tuple[Floats, Floats, int, int]) -> tuple[Floats, Floats, bool]:
    """The single call's block sums continued over one chunk: (total, open block, whether
    the open block has paths)."""
    total, partial, open_ = state
    samples, blocks, first, rows = piece
    head = samples.shape[0]
    if head:
        partial = _sums._continue_sums(samples, partial)
        open_ = True
        if (first + head) % BLOCK == 0:
            total, partial, open_ = total + partial, np.zeros_like(partial), False
    at = first + head
    for row in blocks:
        count = min(BLOCK, first + rows - at)
        if count == BLOCK:
            total = total + row
        else:  # the chunk ends inside this block, which starts on a block boundary
            partial, open_ = row.copy(), True
        at += count
    return total, partial, open_


@_task
def _finish(state: tuple[Floats, Floats, bool], n_paths: int) -> Floats:
    total, partial, open_ = state
    if open_:
        total = total + partial
    out: Floats = _sums._finish_sums(total, n_paths)
    m = out.shape[0] // 2
    out[m:][~np.isfinite(out[:m])] = math.nan  # the single call's rule
    return out


def price_and_greeks_basket(terminal_states: da.Array, w_terminals: da.Array, x0: ArrayLike,
                            vols: ArrayLike, correlation: ArrayLike, horizon: float,
                            payoff: BasketPayoff, strike: float = 0.0, *,
                            weights: ArrayLike | None = None, model: Model = "gbm",
                            estimator: Estimator = "lowest_variance",
                            half_width: float | None = None, rate: float | None = None,
                            timeout: float = DEFAULT_TIMEOUT) -> BasketGreeks:
    """`quarnel.price_and_greeks_basket` over (n_paths, d) Dask arrays chunked by rows.

    Returns the single call's `BasketGreeks` on the gathered arrays, bit for bit. The
    digitals' default half-width takes a first pass over the terminal states, as in the
    single call; pass `half_width` to stream the batch in one pass.
    `timeout` bounds the wait for the result, in seconds (TimeoutError after it).
    """
    named = {"terminal_states": terminal_states, "w_terminals": w_terminals}
    with _passed_types(named):
        lead = _native_args(terminal_states, w_terminals, x0, vols, correlation, horizon,
                            payoff, strike, weights)
        stand = [_stand_in(a, (0, a.shape[1]) if a.ndim == 2 else None)
                 if isinstance(a, da.Array) else a for a in (terminal_states, w_terminals)]
        if isinstance(terminal_states, da.Array) and isinstance(w_terminals, da.Array) \
                and terminal_states.shape != w_terminals.shape:
            stand = [_stand_in(terminal_states), _stand_in(w_terminals)]
        _native.price_and_greeks_basket(*stand, *lead[2:], model, estimator, half_width, rate)
    seconds = _timeout(timeout)
    x = _dask_array("terminal_states", terminal_states)
    w = _dask_array("w_terminals", w_terminals)
    for name, a in (("terminal_states", x), ("w_terminals", w)):
        _whole_rows(name, a)
    w = _same_rows("w_terminals", w, "terminal_states", x.chunks[0])
    params = (*lead[2:], model, estimator, None if rate is None else float(rate))
    g = _Graph("basket", {"terminal_states": x, "w_terminals": w},
               (params, half_width), seconds)
    localised = estimator == "lowest_variance" and payoff in ("digital", "digital_put")
    if not localised or half_width is not None:
        width = float(half_width) if half_width is not None else 0.0
        pieces = g.per_chunk("pieces", _piece, params, width)
    else:
        data = g.per_chunk("data", _data)
        levels = [g.task("levels", _levels, params, d, chunk=i, near=d)
                  for i, d in enumerate(data)]
        width = g.task("width", _half_width, g.sums("level-sums", levels, 1), g.n_paths)
        pieces = [g.task("pieces", _piece_from_data, params, width, d, chunk=i, near=d)
                  for i, d in enumerate(data)]
    m = 1 + 2 * _n_assets(terminal_states) + _n_assets(terminal_states) * (
        _n_assets(terminal_states) + 1) // 2
    state: Any = (np.zeros(2 * m), np.zeros(2 * m), False)
    for i, p in enumerate(pieces):
        state = g.task("sums", _continue, state, p, chunk=i, near=p)
        pieces[i] = None
    out = g.compute(g.task("finish", _finish, state, g.n_paths))
    return _basket_greeks(out, _n_assets(terminal_states))


def _weights_block(block: Floats, x0: Floats, vols: Floats, corr: Floats, horizon: float,
                   model: str) -> Floats:
    out: Floats = _native.greek_weights_basket(block, x0, vols, corr, horizon, model)
    return out


def greek_weights_basket(w_terminals: da.Array, x0: ArrayLike, vols: ArrayLike,
                         correlation: ArrayLike, horizon: float,
                         model: Model = "gbm") -> BasketWeights:
    """`quarnel.greek_weights_basket` chunk by chunk: `BasketWeights` of lazy arrays."""
    x0s, vs, cs = _small("x0", x0, 1), _small("vols", vols, 1), _small("correlation",
                                                                      correlation, 2)
    with _passed_types({"w_terminals": w_terminals}):
        _native.greek_weights_basket(
            _stand_in(w_terminals, (0, w_terminals.shape[1]))
            if isinstance(w_terminals, da.Array) and w_terminals.ndim == 2 else w_terminals,
            x0s, vs, cs, horizon, model)
    w = _dask_array("w_terminals", w_terminals)
    _whole_rows("w_terminals", w)
    d = x0s.shape[0]
    out: Any = _untyped(w).map_blocks(
        _weights_block, x0s, vs, cs, float(horizon), model, chunks=(w.chunks[0], (2 * d + d * d,)),
        dtype=np.float64, meta=np.empty((0, 0), dtype=np.float64))
    n = w.shape[0]
    return BasketWeights(out[:, :d], out[:, d:d + d * d].reshape(n, d, d), out[:, d + d * d:])
