"""`price_and_greeks_fused` over Dask: the paths in chunks, each simulated where it runs.

The generator is keyed by (seed, path, step), so a chunk of paths [a, b) simulates on
its worker exactly the paths the single call simulates there, and nothing but its
kernel rows (56 bytes a path) leaves the native code. The rows go through the chunk
chain of `price_and_greeks_tangent_flow`, which gives that function's bits on the
`simulate` batch, and those are the single fused call's, for any chunking.
"""

from __future__ import annotations

import numbers
from collections.abc import Sequence
from typing import Any, Final, Literal

import dask.array as da
import numpy as np

from . import _fused
from ._batch import _describe
from ._fused_api import _count, _model, _seed_halves
from ._types import Estimator, Greeks, Payoff
from .dask import DEFAULT_TIMEOUT, _Graph, _greeks_of_rows, _task, _timeout
from .models import _Model

Floats = np.ndarray
_native: Final[Any] = _fused  # the private chunk functions are not in the public stub
#: Paths per chunk by default: 3.6 MB of rows a chunk.
DEFAULT_CHUNK: Final = 65536


@_task
def _fused_rows(first_path: int, params: tuple[Any, ...], block: Floats) -> Floats:
    model, n_steps, horizon, lo, hi, pairs = params
    out: Floats = _native._greek_rows(*_model(model), float(len(block)), n_steps, horizon, lo,
                                      hi, float(first_path), pairs)
    return out


def _chunk_sizes(chunks: object, n_paths: int, paired: bool) -> tuple[int, ...]:
    if isinstance(chunks, numbers.Integral) and not isinstance(chunks, bool):
        size = int(chunks)
        if size < 1:
            raise ValueError(f"chunks must be at least 1 path, got {size}")
        size += size % 2 if paired else 0  # whole pairs in every chunk
        return (size,) * (n_paths // size) + ((n_paths % size,) if n_paths % size else ())
    if isinstance(chunks, Sequence) and not isinstance(chunks, str) and all(
            isinstance(c, numbers.Integral) and not isinstance(c, bool) and int(c) >= 1
            for c in chunks):
        sizes = tuple(int(c) for c in chunks)
        if sum(sizes) != n_paths:
            raise ValueError(f"chunks must add up to n_paths = {n_paths}, got {sum(sizes)}")
        if paired and any(c % 2 for c in sizes):
            raise ValueError(f"with pairs every chunk must hold whole pairs (an even number "
                             f"of paths), got {sizes}")
        return sizes
    raise TypeError(f"argument 'chunks': expected a path count or a sequence of positive "
                    f"path counts, got {_describe(chunks)}")


def price_and_greeks_fused(model: _Model, n_paths: int, n_steps: int, horizon: float,
                           seed: int, payoff: Payoff, strike: float = 0.0, *,
                           estimator: Estimator = "lowest_variance",
                           half_width: float | None = None, rate: float | None = None,
                           strike2: float | None = None,
                           pairs: Literal["adjacent"] | None = None,
                           chunks: int | Sequence[int] = DEFAULT_CHUNK,
                           timeout: float = DEFAULT_TIMEOUT) -> Greeks:
    """`quarnel.price_and_greeks_fused` with its paths in chunks of `chunks` paths (or
    the given sequence of chunk sizes), simulated and reduced to kernel rows on the
    workers: the single call's `Greeks` bit for bit for any chunking. Memory is 56
    bytes a path of the chunks in flight; the localised digital with the default
    `half_width` keeps every chunk's rows until the width is known, as the single call
    does. A `LocalVol` model is rebuilt from its pickle on each worker; a `Compiled`
    model's function exists only in the process that compiled it, so run it on the
    threaded or synchronous scheduler. With `pairs="adjacent"` (antithetic pairs) an int
    `chunks` is rounded up to an even count and given sizes must be even. `timeout`
    bounds the wait for the result, in seconds."""
    m = _model(model)
    n, steps = _count("n_paths", n_paths), _count("n_steps", n_steps)
    lo, hi = _seed_halves(seed)
    _native._check_price_and_greeks(*m, n, steps, horizon, lo, hi, payoff, strike, estimator,
                                    half_width, rate, strike2, pairs)
    seconds = _timeout(timeout)
    sizes = _chunk_sizes(chunks, int(n), pairs is not None)
    # A stand-in batch of the chunks' shape: each block only says where its paths are.
    paths = da.zeros(int(n), chunks=(sizes,), dtype=np.float64)
    g = _Graph("greeks-fused", {"paths": paths},
               (m, steps, float(horizon), lo, hi, payoff, float(strike), estimator, strike2,
                half_width, rate, pairs), seconds)
    # The model itself goes to the workers, which form its native arguments: a local
    # volatility surface's handle belongs to the process that made it.
    rows = g.per_chunk("rows", _fused_rows, (model, steps, float(horizon), lo, hi, pairs))
    vol = m[4] if m[0] in ("ou", "cir") else m[3]  # the s of models' (a, b, c)
    return _greeks_of_rows(g, rows, locals(), pairs, vol)
