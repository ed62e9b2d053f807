"""The Heston functions over Dask arrays chunked by rows, equal bit for bit to one call.

Each chunk's per-path samples come from the single call's own native code on the worker
that holds the chunk; the sums continue chunk after chunk in path order (the single
call's chains), so only 16 numbers travel between tasks. The per-path functions are lazy
`map_blocks` arrays. The two increment arrays must share their row chunks (dw_perp is
rechunked to dw_v's otherwise) and are taken whole along the step axis.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any, Final, cast

import dask
import dask.array as da
import numpy as np
from numpy.typing import NDArray

from . import _greeks, _heston
from ._heston_types import HestonGreeks
from ._types import Estimator, LevelPayoff

__all__ = ["greek_weights_heston", "price_and_greeks_heston", "price_and_greeks_heston_fused",
           "tangents_heston"]

Floats = NDArray[np.float64]
_native: Any = _greeks  # the chunk primitives are private, outside the stubs
# Dask's own annotations are partial: its calls go through these untyped handles.
_dask: Final[Any] = dask
_da: Final[Any] = da


def _aligned(dw_v: Any, dw_perp: Any) -> tuple[da.Array, da.Array]:
    """Both as float64 Dask arrays, whole along the steps, on dw_v's row chunks. The
    shapes are checked by the native call first, on stand-ins that cost no memory."""
    v = _da.asarray(dw_v).astype(np.float64).rechunk({1: -1})
    p = _da.asarray(dw_perp).astype(np.float64)
    if v.ndim == 2 and p.ndim == 2 and v.shape == p.shape:
        p = p.rechunk((v.chunks[0], -1))
    return v, p


def _check(fn: Any, v: da.Array, p: da.Array, *args: Any, **kwargs: Any) -> None:
    """The single call's checks, in its order: on zero-stride stand-ins of the real
    shapes when they differ (the shape error is then the first), else on empty ones."""
    if v.shape == p.shape and v.ndim == 2:
        shape_v = shape_p = (0, v.shape[1])
    else:
        shape_v, shape_p = v.shape, p.shape
    fn(np.broadcast_to(0.0, shape_v), np.broadcast_to(0.0, shape_p), *args, **kwargs)


def _per_path(fn: Any, width: int, dw_v: Any, dw_perp: Any, *args: Any,
              **kwargs: Any) -> da.Array:
    v, p = _aligned(dw_v, dw_perp)
    _check(fn, v, p, *args, **kwargs)
    out: da.Array = _da.map_blocks(lambda a, b: fn(a, b, *args, **kwargs), v, p,
                                   dtype=np.float64, chunks=(v.chunks[0], (width,)))
    return out


def tangents_heston(dw_v: Any, dw_perp: Any, horizon: float, s0: float, v0: float,
                    kappa: float, theta: float, xi: float, rho: float,
                    mu: float = 0.0) -> da.Array:
    """quarnel.tangents_heston over Dask arrays: a lazy (n_paths, 14) array."""
    return _per_path(_heston.tangents_heston, 14, dw_v, dw_perp, horizon, s0, v0, kappa,
                     theta, xi, rho, mu=mu)


def greek_weights_heston(dw_v: Any, dw_perp: Any, horizon: float, s0: float, v0: float,
                         kappa: float, theta: float, xi: float, rho: float,
                         mu: float = 0.0) -> da.Array:
    """quarnel.greek_weights_heston over Dask arrays: a lazy (n_paths, 8) array."""
    return _per_path(_heston.greek_weights_heston, 8, dw_v, dw_perp, horizon, s0, v0, kappa,
                     theta, xi, rho, mu=mu)


def _continue(state: Floats | None, samples: Floats) -> Floats:
    # The first chunk sets the width: 8 sample columns, or 22 for a centred digital.
    start = np.zeros(2 * samples.shape[1]) if state is None else state
    return cast(Floats, _native._continue_sums(samples, start))


def _finish(state: Floats, n_paths: int) -> HestonGreeks:
    # 22 columns: the centred digital's sums, finished as the single call finishes them.
    finish = _native._localised_digital_finish if len(state) == 44 else _native._finish_sums
    out = [float(x) for x in finish(state, n_paths)]
    half = len(out) // 2
    # As the single call: a non-finite estimate carries a NaN error.
    errors = [e if math.isfinite(m) else math.nan for m, e in zip(out[:half], out[half:])]
    return HestonGreeks(*out[:half], *errors)


def price_and_greeks_heston(dw_v: Any, dw_perp: Any, horizon: float, s0: float, v0: float,
                            kappa: float, theta: float, xi: float, rho: float, payoff: LevelPayoff,
                            strike: float, mu: float = 0.0,
                            estimator: Estimator = "lowest_variance",
                            rate: float | None = None,
                            half_width: float | None = None) -> HestonGreeks:
    """quarnel.price_and_greeks_heston over Dask arrays, computed: the same HestonGreeks
    bit for bit as one call on the gathered arrays."""
    args = (horizon, s0, v0, kappa, theta, xi, rho, payoff, strike)
    kwargs = {"mu": mu, "estimator": estimator, "rate": rate, "half_width": half_width}
    v, p = _aligned(dw_v, dw_perp)
    _check(_heston._heston_samples, v, p, *args, **kwargs)
    samples = _heston._heston_samples
    state: Any = None
    blocks_v: Any = cast(Any, v).to_delayed().ravel()
    blocks_p: Any = cast(Any, p).to_delayed().ravel()
    for a, b in zip(blocks_v, blocks_p):
        block = _dask.delayed(samples)(a, b, *args, **kwargs)
        state = _dask.delayed(_continue)(state, block)
    final = _dask.delayed(_finish)(state, int(v.shape[0]))
    return cast(HestonGreeks, _dask.compute(final)[0])


def _increments(model: tuple[float, float, float, float, float, float, float], count: int,
                n_steps: float, horizon: float, lo: float, hi: float,
                first_path: int) -> tuple[Floats, Floats]:
    out: Any = _heston._simulate_fused(*model, float(count), n_steps, horizon, lo, hi,
                                       float(first_path))
    return out[0], out[1]


def price_and_greeks_heston_fused(model: Any, n_paths: int, n_steps: int, horizon: float,
                                  seed: int, payoff: LevelPayoff, strike: float, *,
                                  estimator: Estimator = "lowest_variance",
                                  rate: float | None = None, half_width: float | None = None,
                                  chunks: int | Sequence[int] = 8192) -> HestonGreeks:
    """`quarnel.price_and_greeks_heston_fused` over chunks of `chunks` paths (or the given
    sizes), each chunk's increments simulated from the seed on the worker that sums it:
    the single call's `HestonGreeks` bit for bit for any chunking. A chunk holds its
    increments while it is summed (16 bytes a path-step: 33 MB at 8192 x 256)."""
    from ._dask_fused import _chunk_sizes
    from ._fused_api import _count, _heston_model, _seed_halves

    params = _heston_model(model)
    n, steps = int(_count("n_paths", n_paths)), _count("n_steps", n_steps)
    lo, hi = _seed_halves(seed)
    _increments(params, 1, steps, horizon, lo, hi, 0)  # the grid's and the seed's checks
    if n < 1:
        raise ValueError("n_paths must be at least 1")
    blocks_v, blocks_p, first = [], [], 0
    for size in _chunk_sizes(chunks, n, False):
        pair: Any = _dask.delayed(_increments, pure=True)(params, size, steps, horizon, lo, hi,
                                                         first)
        shape = (size, int(steps))
        blocks_v.append(_da.from_delayed(pair[0], shape, dtype=np.float64))
        blocks_p.append(_da.from_delayed(pair[1], shape, dtype=np.float64))
        first += size
    s0, v0, kappa, theta, xi, rho, mu = params
    return price_and_greeks_heston(_da.concatenate(blocks_v), _da.concatenate(blocks_p),
                                   horizon, s0, v0, kappa, theta, xi, rho, payoff, strike,
                                   mu=mu, estimator=estimator, rate=rate, half_width=half_width)
