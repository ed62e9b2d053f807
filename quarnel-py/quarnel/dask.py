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

import asyncio
import contextlib
import functools
import inspect
import itertools
import math
import numbers
import re
import time
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Final, Literal, ParamSpec, Protocol, TypeVar, cast, overload

import dask
import dask.array as da
import numpy as np
from numpy.typing import ArrayLike, NDArray

import _quarnel

from . import _greeks
from ._batch import PathBatch, _describe, accepts_batch
from ._ladder import GreeksLadder
from ._ladder import price_and_greeks_ladder_constant_flow as _single_ladder
from ._types import DeltaPayoff, Estimator, Greeks, Model, Pairs, Payoff, VannaVolga
from ._vanna_volga import vanna_volga_constant_flow as _single_vanna_volga

if TYPE_CHECKING:
    # Found by the module __getattr__ below at run time, where importing them here would
    # be a cycle (_dask_basket builds on this module).
    from ._dask_basket import greek_weights_basket, price_and_greeks_basket
    from ._dask_fused import price_and_greeks_fused

__all__ = [
    "DEFAULT_TIMEOUT",
    "bel_weights_constant_flow",
    "bel_weights_tangent_flow",
    "greek_weights_basket",  # noqa: F822 (module __getattr__)
    "greek_weights_constant_flow",
    "greek_weights_tangent_flow",
    "mixed_weights_tangent_flow",
    "parallel_volatility_bump",
    "parameter_weights_tangent_flow",
    "price_and_delta_constant_flow",
    "price_and_delta_tangent_flow",
    "price_and_greeks_basket",  # noqa: F822 (module __getattr__)
    "price_and_greeks_constant_flow",
    "price_and_greeks_fused",  # noqa: F822 (module __getattr__)
    "price_and_greeks_ladder_constant_flow",
    "price_and_greeks_tangent_flow",
    "vanna_tangent_flow",
    "vanna_volga_constant_flow",
]

Floats = NDArray[np.float64]
_NO_META: Final = np.empty((0,), dtype=np.float64)
#: Seconds that a function computing an estimate waits for it by default.
DEFAULT_TIMEOUT: Final = 3600.0


@dataclass(frozen=True)
class _Failure:
    """A chunk's ValueError, carried along the chain so the first in path order wins."""

    message: str


def _stand_in(a: object, shape: tuple[int, ...] | None = None) -> object:
    """A NumPy array of a Dask array's dtype and shape (or `shape`) that costs no memory.

    The native checks see it where the single call would see the gathered array, so
    they raise the single call's TypeError or ValueError. Anything else is passed on.
    """
    if not isinstance(a, da.Array):
        return a
    if any(math.isnan(s) for s in a.shape):
        raise ValueError(f"a Dask array of unknown chunk sizes ({a.name}): call its "
                         f"compute_chunk_sizes() first")
    return np.broadcast_to(np.zeros((), dtype=a.dtype), a.shape if shape is None else shape)


def _pair_stand_ins(x: object, w: object) -> tuple[object, object]:
    """Stand-ins for the two arrays of the constant-flow estimators. Their checks never
    depend on the lengths beyond whether they differ: two Dask arrays stand in empty (w
    of length 1 where the lengths differ); anything else at full size."""
    if isinstance(x, da.Array) and isinstance(w, da.Array):
        differ = x.shape != w.shape
        return _stand_in(x, (0,) * x.ndim), _stand_in(w, (1 if differ else 0,) * w.ndim)
    return _stand_in(x), _stand_in(w)


def _dask_array(name: str, a: object) -> da.Array:
    if not isinstance(a, da.Array):
        raise TypeError(f"argument '{name}': expected a dask.array.Array of float64, got "
                        f"{_describe(a)}")
    return a


@contextlib.contextmanager
def _passed_types(arrays: Mapping[str, object]) -> Iterator[None]:
    """The single call's TypeError for one of `arrays`, saying what was passed here.

    Its checks see a NumPy stand-in of each Dask array, so their own message would name
    an ndarray the caller never passed.
    """
    try:
        yield
    except TypeError as e:
        # The first ndim is the expected one; the native text may name the found one too.
        found = re.match(r"argument '(\w+)': .*?ndim=(\d+)", str(e))
        if found is None or found.group(1) not in arrays:
            raise
        name, ndim = found.groups()
        raise TypeError(f"argument '{name}': expected a dask.array.Array of float64 with "
                        f"ndim={ndim}, got {_describe(arrays[name])}") from None


def _checked(check: Callable[..., object], arguments: Mapping[str, object]) -> dict[str, object]:
    """The single call's checks (its errors, in its order) on a tangent-flow function's
    `arguments` (its parameters by name), each Dask array of the batch replaced by a
    stand-in; returns the batch's arrays by name, in the single function's order. The
    names are the check primitive's parameters (its record's), the arrays those before
    `horizon`."""
    names = tuple(inspect.signature(check).parameters)
    n_arrays = names.index("horizon")
    named = {n: arguments[n] for n in names[:n_arrays]}
    with _passed_types(named):
        check(*(_stand_in(a) for a in named.values()), *(arguments[n] for n in names[n_arrays:]))
    return named


def _timeout(value: object) -> float:
    """A finite positive number of seconds: every wait of an estimate has a bound."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"argument 'timeout': expected a number of seconds, got "
                        f"{_describe(value)}")
    seconds = float(value)
    if not (math.isfinite(seconds) and seconds > 0):
        raise ValueError(f"timeout must be a finite positive number of seconds, got {value!r}")
    return seconds


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
    """The private primitives of quarnel._greeks (not in its public stub) that this module
    calls by their own names. The chunk primitives it calls through `_Call`, and those
    that take a path batch, are typed loosely: their parameter lists are their records'
    (modules/tangent_flow_records.hpp), which `_Call` and `_checked` read from their
    native signatures."""

    def _continue_sums(self, samples: Floats, start: Floats) -> Floats: ...
    def _finish_sums(self, sums: Floats, n_paths: int) -> Floats: ...
    def _finish_greeks(self, estimates: Floats, horizon: float, vol: float | None,
                       rate: float | None) -> Greeks: ...
    def _localised_digital_finish(self, sums: Floats, n_paths: int) -> Floats: ...
    def _default_half_width(self, sums: Floats, n_paths: int) -> Floats: ...
    def _sample_layout(self, estimate: str, payoff: str,
                       estimator: str) -> tuple[float, float, float]: ...
    _check_price_and_delta_tangent_flow: Callable[..., None]
    _bel_weights_tangent_flow_chunk: Callable[..., Floats]
    _check_bel_weights_tangent_flow: Callable[..., None]
    _greek_weights_tangent_flow_chunk: Callable[..., Floats]
    _check_greek_weights_tangent_flow: Callable[..., None]
    _parameter_weights_tangent_flow_chunk: Callable[..., Floats]
    _check_parameter_weights_tangent_flow: Callable[..., None]
    _mixed_weights_tangent_flow_chunk: Callable[..., Floats]


_native: Final = cast(_Primitives, _greeks)
# The single calls, untyped here: their checks run on stand-ins of any argument.
_single: Final[Any] = _quarnel
_single_greeks: Final[Any] = _greeks
# dask leaves these functions and array methods untyped: called through Any.
_dask: Final[Any] = dask


def _untyped(a: da.Array) -> Any:
    return a


P = ParamSpec("P")
R = TypeVar("R")
R_co = TypeVar("R_co", covariant=True)


def _task(fn: Callable[P, R]) -> Callable[P, R | _Failure]:
    """A task that passes on the first failure among its arguments, and returns its own
    ValueError as a failure rather than raising it (the chain decides which one wins)."""

    @functools.wraps(fn)
    def run(*args: P.args, **kwargs: P.kwargs) -> R | _Failure:
        for a in args:
            if isinstance(a, _Failure):
                return a
        try:
            return fn(*args, **kwargs)
        except ValueError as e:
            return _Failure(str(e))

    return run


# Tasks: module-level functions, so workers import them by name.

def _primitive_values(arguments: Mapping[str, object]) -> dict[str, object]:
    """A public function's `arguments` by name, with the forms that the chunk primitives
    take where theirs differ: whether a rate (rho) and a vol (vega) are given, and
    strike2 as 0.0 when it is not."""
    out = dict(arguments)
    out["rate_rho"] = arguments.get("rate") is not None
    out["with_vega"] = arguments.get("vol") is not None
    strike2 = arguments.get("strike2")
    out["strike2"] = 0.0 if strike2 is None else float(cast(float, strike2))
    return out


@dataclass(frozen=True)
class _Call:
    """A chunk primitive of quarnel._greeks with the arguments that are the same in every
    chunk, by name, as its record names its parameters: a task passes the chunk's arrays
    (its first `positional` parameters) in front, and the chunk's first path and half-
    width where the primitive takes them."""

    name: str
    kwargs: tuple[tuple[str, object], ...]
    per_chunk: tuple[str, ...]

    @classmethod
    def of(cls, name: str, arguments: Mapping[str, object], positional: int) -> _Call:
        values = _primitive_values(arguments)
        kwargs, per_chunk = [], []
        for p in list(inspect.signature(getattr(_greeks, name)).parameters)[positional:]:
            if p in ("first_path", "width"):
                per_chunk.append(p)
            elif p in values:  # else the native call names what is missing
                kwargs.append((p, values[p]))
        return cls(name, tuple(kwargs), tuple(per_chunk))

    def __call__(self, *arrays: Floats, first_path: int = 0, width: float = 0.0) -> Floats:
        given = {"first_path": first_path, "width": width}
        out: Floats = getattr(_greeks, self.name)(
            *arrays, **dict(self.kwargs), **{p: given[p] for p in self.per_chunk})
        return out

    def __dask_tokenize__(self) -> object:
        return (self.name, self.kwargs)


@_task
def _chunk(first_path: int, call: _Call, width: float, *arrays: Floats) -> Floats:
    """`call` on one chunk of the batch's arrays."""
    return call(*arrays, first_path=first_path, width=width)


@_task
def _from_rows(rows: Floats, call: _Call, width: float) -> Floats:
    """`call` on a chunk's kernel rows in place of its arrays."""
    return call(rows, width=width)


@_task
def _stack(first_path: int, x: Floats, w: Floats) -> Floats:
    return np.column_stack([x, w])


@_task
def _from_stack(data: Floats, call: _Call, width: float) -> Floats:
    """`call` on a chunk's terminal states and weights from their stacked columns."""
    return call(data[:, 0], data[:, 1], width=width)


@_task
def _continue(state: Floats, samples: Floats, first_column: bool = False) -> Floats:
    if first_column:  # of a 2-D array, or a 1-D array as a column
        samples = samples[:, :1] if samples.ndim == 2 else samples[:, np.newaxis]
    return _native._continue_sums(samples, state)


@_task
def _finish(state: Floats, n_paths: int) -> Floats:
    return _native._finish_sums(state, n_paths)


@_task
def _half_width(state: Floats, n_paths: int) -> float:
    return float(_native._default_half_width(state, n_paths)[0])


def _per_chunk(*blocks_first_fn_args: Any) -> Any:
    """fn(first_path, *args, *blocks) from blockwise's
    (*blocks, first_path, rows, fn, args, declared): the chunk's first path and row
    count, and the arrays' names and declared columns.

    A 2-D block comes as the list of its blocks along the step axis, one: taken as it
    is (concatenating would copy it, and materialise a zero-stride one).
    """
    *blocks, first_path, rows, fn, args, declared = blocks_first_fn_args
    arrays = [b[0] if isinstance(b, list) else b for b in blocks]
    first = _first_of(first_path)
    names, columns = declared
    _check_blocks(names, arrays, _first_of(rows), columns, first)
    return fn(first, *args, *arrays)


def _check_blocks(names: Sequence[str], blocks: Sequence[Any], rows: int,
                  columns: Sequence[int | None], first_path: int) -> None:
    """Each block has the shape its array's chunks declare: a block of other rows would
    put its paths where other paths belong, and nothing downstream could tell."""
    for name, block, width in zip(names, blocks, columns):
        shape = tuple(np.shape(block))
        expected = (rows,) if width is None else (rows, width)
        if shape != expected:
            raise ValueError(f"{name}: the chunk at path {first_path} is a block of shape "
                             f"{shape} where the array's chunks declare {expected}; the "
                             f"Dask array's chunks do not describe its blocks")


@_task
def _pair_means(a: Floats, b: Floats | None, greeks: int | None) -> Floats:
    """The antithetic pairs' mean samples, (a + b) * 0.5 row by row as in the single
    call: of a chunk and its mirror in the second half ("halves"), or of a chunk's rows
    2j and 2j + 1 (b None, "adjacent"). Centred samples (columns f, u[m], v[m], u v[m]
    for m = `greeks`) average f, u and v and form u v of the means."""
    if b is None:
        a, b = a[0::2], a[1::2]
    out: Floats = (a + b) * 0.5
    if greeks is not None:
        m = greeks
        out[:, 1 + 2 * m:] = out[:, 1:1 + m] * out[:, 1 + m:1 + 2 * m]
    return out


def _pair_chunks(rows: tuple[int, ...], pairs: str | None) -> tuple[int, ...]:
    """Row chunks that keep every pair's samples in one task: even chunks for adjacent
    pairs; for halves the chunks of the first half, mirrored in the second."""
    n = sum(rows)
    ends = list(itertools.accumulate(rows))
    if pairs == "adjacent":
        bounds = sorted({e + e % 2 for e in ends})
    elif pairs == "halves":
        first = sorted({e for e in ends if e < n // 2} | {n // 2})
        bounds = first + [n // 2 + e for e in first]
    else:
        return rows
    return tuple(b - a for a, b in zip([0] + bounds, bounds) if b > a)


def _paired(g: _Graph, samples: list[Any], pairs: str | None, greeks: int | None) -> list[Any]:
    """The samples of each chunk, or the mean samples of its pairs (chunks as
    _pair_chunks made them), in the single call's pair order."""
    if pairs is None:
        return samples
    if pairs == "adjacent":
        return [g.task("pairs", _pair_means, s, None, greeks, chunk=i, near=s)
                for i, s in enumerate(samples)]
    half = len(samples) // 2
    return [g.task("pairs", _pair_means, samples[i], samples[half + i], greeks, chunk=i,
                   near=samples[i]) for i in range(half)]


def _check_pairs(pairs: object, n_paths: int) -> Pairs | None:
    """The single call's even-count check, for the stand-ins that have no length."""
    if pairs in (None, ""):
        return None
    if n_paths % 2:
        raise ValueError(f"pairs need an even number of paths, got {n_paths}")
    return cast(Pairs, str(pairs))  # its name is checked where the samples are paired


@_task
def _localised_finish(state: Floats, n_paths: int) -> Floats:
    return _native._localised_digital_finish(state, n_paths)


def _first_of(first_path: Floats) -> int:
    return int(first_path[0])


def _distributed_client() -> Any:
    """The distributed Client that Dask computes on, or None (another scheduler)."""
    try:
        import distributed
    except ImportError:
        return None
    api: Any = distributed  # untyped
    try:
        client = api.default_client()
    except ValueError:  # no client
        return None
    scheduler = _dask.base.get_scheduler()
    return client if getattr(scheduler, "__self__", None) is client else None


class _Graph:
    """The work of one estimate over a row-chunked batch, computed once.

    Per-chunk work is the blocks of Dask arrays built on the batch, so Dask fuses the
    batch's own tasks (a lazily generated chunk, say) into them, under keys of their
    own. Chains of one task per chunk continue running sums from the chunk before.
    On a distributed cluster each chain task is pinned to the worker that holds its
    chunk's samples, so that only the sums move between workers (left to itself, the
    scheduler may send a chain task to an idle worker and move the samples there);
    elsewhere the whole estimate is one graph.
    """

    def __init__(self, name: str, named: dict[str, da.Array], params: object,
                 timeout: float) -> None:
        self.names = list(named)
        self.arrays = arrays = list(named.values())
        self.rows: tuple[int, ...] = arrays[0].chunks[0]
        self.n_paths = sum(self.rows)
        token = _dask.base.tokenize(*(a.name for a in arrays), params)
        self.prefix = f"quarnel-{name}-{token}"
        self.client = _distributed_client()
        self.timeout = timeout
        self.deadline = time.monotonic() + timeout

    def left(self) -> float:
        """Seconds left before the deadline: the bound of the next wait."""
        return max(self.deadline - time.monotonic(), 0.0)

    def task(self, label: str, fn: Callable[..., Any], *args: Any, chunk: int | None = None,
             near: Any = None) -> Any:
        """fn(*args); a chunk's task runs on the worker of `near`, a per-chunk result."""
        key = f"{self.prefix}-{label}"
        if self.client is None:
            return _dask.delayed(fn, pure=True)(*args, dask_key_name=key if chunk is None
                                                else (key, chunk))
        workers = None
        if near is not None:
            _wait(near, self.left(), self.timeout)
            workers = list(self.client.who_has(near).get(near.key, ())) or None
        # Loose: should that worker die, the scheduler recomputes the chunk elsewhere and
        # runs the task there, where a strict placement would wait for the dead worker.
        placement = {} if workers is None else {"workers": workers, "allow_other_workers": True}
        # Ahead of the chunks' own work, which was all submitted first: a chunk's samples
        # and sums run as soon as it is in, so that it can be let go of.
        return self.client.submit(fn, *args, key=key if chunk is None else (key, chunk),
                                  priority=1, **placement)

    def per_chunk(self, label: str, fn: Callable[..., Any], *args: Any) -> list[Any]:
        """fn(first_path, *args, *blocks) for each chunk of the batch's arrays, as the
        blocks of one optimized Dask array (futures on a distributed cluster)."""
        first = _dask.array.from_array(np.array(_offsets(self.rows), dtype=np.int64), chunks=1)
        rows = _dask.array.from_array(np.array(self.rows, dtype=np.int64), chunks=1)
        pairs: list[Any] = []
        for j, a in enumerate(self.arrays):  # one chunk along each step axis
            pairs += [a, ("i",) if a.ndim == 1 else ("i", f"step{j}")]
        declared = (self.names, [None if a.ndim == 1 else a.shape[1] for a in self.arrays])
        # The arrays first: the output's row chunks are theirs.
        out = _dask.array.blockwise(
            _per_chunk, ("i", "k"), *pairs, first, ("i",), rows, ("i",), fn, None, args, None,
            declared, None, name=f"{self.prefix}-{label}", new_axes={"k": 1},
            align_arrays=False, concatenate=False, meta=np.empty((0, 0)))
        blocks: list[Any] = list(out.to_delayed(optimize_graph=True).ravel())
        if self.client is not None:
            # In path order (left to itself the scheduler runs them in any order), so that
            # the chain, which takes them in that order, can sum and let go of each chunk
            # as it comes.
            futures: list[Any] = [self.client.compute(b, priority=-i)
                                  for i, b in enumerate(blocks)]
            return futures
        return blocks

    def sums(self, label: str, samples: list[Any], columns: int, first_column: bool = False,
             release: bool = True) -> Any:
        """The final sums [s1..., s2...] of the samples' columns, chunk after chunk.
        With `release`, the list lets go of each chunk's samples once they are summed."""
        state: Any = np.zeros(2 * columns)
        for i, s in enumerate(samples):
            state = self.task(label, _continue, state, s, first_column, chunk=i, near=s)
            if release:
                samples[i] = None
        return state

    def compute(self, final: Any) -> Any:
        if self.client is None:
            result = _dask.compute(final)[0]
        else:
            try:
                result = final.result(timeout=self.left())
            except _TIMEOUTS:
                final.cancel()
                raise _late(self.timeout) from None
        if isinstance(result, _Failure):
            raise ValueError(result.message)
        return result


# distributed raises asyncio's TimeoutError, a class of its own before Python 3.11.
_TIMEOUTS: Final = (TimeoutError, asyncio.TimeoutError)


def _late(timeout: float) -> TimeoutError:
    return TimeoutError(f"no result within timeout={timeout!r} seconds; pass a larger "
                        f"timeout for a longer job")


def _wait(future: Any, left: float, timeout: float) -> None:
    """Wait `left` seconds at most for `future`, then raise the estimate's TimeoutError."""
    import distributed

    api: Any = distributed  # untyped
    try:
        api.wait(future, timeout=left)
    except _TIMEOUTS:
        raise _late(timeout) from None


def _price_delta(out: Floats) -> tuple[float, float, float, float]:
    return float(out[0]), float(out[1]), float(out[2]), float(out[3])


def price_and_delta_constant_flow(terminal_states: da.Array, w_terminals: da.Array,
                                  horizon: float, sigma_at_x0: float, payoff: DeltaPayoff,
                                  strike: float = 0.0, *, timeout: float = DEFAULT_TIMEOUT
                                  ) -> tuple[float, float, float, float]:
    """`quarnel.price_and_delta_constant_flow` over 1-D Dask arrays of equal chunks.

    Returns `(price, delta, price_stderr, delta_stderr)`, equal bit for bit to the
    single call on the gathered arrays.
    `timeout` bounds the wait for the result, in seconds (TimeoutError after it).
    """
    with _passed_types({"terminal_states": terminal_states, "w_terminals": w_terminals}):
        _single.price_and_delta_constant_flow(*_pair_stand_ins(terminal_states, w_terminals),
                                              horizon, sigma_at_x0, payoff, strike)
    seconds = _timeout(timeout)
    x = _dask_array("terminal_states", terminal_states)
    w = _dask_array("w_terminals", w_terminals)
    w = _same_rows("w_terminals", w, "terminal_states", x.chunks[0])
    call = _Call.of("_constant_flow_samples", locals(), 2)
    g = _Graph("price-delta-cf", {"terminal_states": x, "w_terminals": w}, call, seconds)
    samples = g.per_chunk("samples", _chunk, call, 0.0)
    return _price_delta(g.compute(g.task("finish", _finish, g.sums("sums", samples, 2),
                                         g.n_paths)))


def _price_and_delta_tangent_flow(states: da.Array, dws: da.Array, sigma_field: da.Array,
                                  d_mu_dx_field: da.Array, d_sigma_dx_field: da.Array,
                                  horizon: float, payoff: DeltaPayoff, strike: float = 0.0, *,
                                  timeout: float = DEFAULT_TIMEOUT
                                  ) -> tuple[float, float, float, float]:
    """`quarnel.price_and_delta_tangent_flow` over row-chunked Dask arrays.

    Returns `(price, delta, price_stderr, delta_stderr)`, equal bit for bit to the
    single call on the gathered arrays. As there, only the last column of `states` is
    read and the step arrays may have extra rows and columns.
    `timeout` bounds the wait for the result, in seconds (TimeoutError after it).
    """
    named = _checked(_native._check_price_and_delta_tangent_flow, locals())
    seconds = _timeout(timeout)
    arrays, _ = _tangent_flow_arrays(named, None)
    call = _Call.of("_tangent_flow_samples", locals(), len(arrays))
    g = _Graph("price-delta-tf", arrays, call, seconds)
    samples = g.per_chunk("samples", _chunk, call, 0.0)
    return _price_delta(g.compute(g.task("finish", _finish, g.sums("sums", samples, 2),
                                         g.n_paths)))


def bel_weights_constant_flow(w_terminals: da.Array, horizon: float,
                              sigma_at_x0: float) -> da.Array:
    """`quarnel.bel_weights_constant_flow` chunk by chunk: a lazy array of the weights."""
    with _passed_types({"w_terminals": w_terminals}):
        _single.bel_weights_constant_flow(
            _stand_in(w_terminals, (0,) * w_terminals.ndim)
            if isinstance(w_terminals, da.Array) else w_terminals, horizon, sigma_at_x0)
    w = _dask_array("w_terminals", w_terminals)
    out: da.Array = _untyped(w).map_blocks(
        _declared_block, _single.bel_weights_constant_flow, float(horizon), float(sigma_at_x0),
        dtype=np.float64, meta=_NO_META)
    return out


def _declared_block(block: Floats, weights: Callable[..., Floats], *args: Any,
                    block_info: dict[Any, Any] | None = None) -> Floats:
    """weights(block, *args) of a 1-D block that has the shape its chunks declare."""
    assert block_info is not None
    (start, stop), = block_info[0]["array-location"]
    _check_blocks(["w_terminals"], [block], stop - start, [None], start)
    return weights(block, *args)


def _weights_block(*fields_and_more: Any, block_info: dict[Any, Any] | None = None) -> Floats:
    """weights(states, *fields, horizon, first_path) of one chunk: the kernels read only
    the shape of `states`, so a zero-memory stand-in serves."""
    *fields, weights, horizon, n_steps, names = fields_and_more
    assert block_info is not None
    (first_path, stop), (_, width) = block_info[0]["array-location"]
    _check_blocks(names, fields, stop - first_path, [width] * len(fields), first_path)
    states = np.broadcast_to(np.zeros(()), (fields[0].shape[0], n_steps + 1))
    out: Floats = weights(states, *fields, horizon, first_path)
    return out


def _map_weights(named: dict[str, object], weights: Callable[..., Floats], horizon: float,
                 columns: int | None) -> da.Array:
    """The weights chunk by chunk over the step arrays of a checked batch."""
    arrays = {name: _dask_array(name, a) for name, a in named.items()}
    steps = list(arrays.items())[1:]
    for name, a in steps:
        _whole_rows(name, a)
    rows = steps[0][1].chunks[0]
    fields = [_same_rows(name, a, steps[0][0], rows) for name, a in steps]
    n_steps = arrays["states"].shape[1] - 1
    shape = {"drop_axis": 1} if columns is None else {"chunks": (rows, (columns,))}
    out: da.Array = _dask.array.map_blocks(
        _weights_block, *fields, weights, float(horizon), n_steps, [n for n, _ in steps],
        dtype=np.float64,
        meta=np.empty((0,) * (1 if columns is None else 2)), **shape)
    return out


def _checked_weights(arguments: Mapping[str, object], check: Callable[..., object],
                     weights: Callable[..., Floats], columns: int | None) -> da.Array:
    """A tangent-flow weight function over a batch, from its `arguments` by name: the
    single call's checks on stand-ins of the whole batch (its errors, in its order), then
    the weights chunk by chunk."""
    named = _checked(check, arguments)
    return _map_weights(named, weights, float(cast(float, arguments["horizon"])), columns)


def _bel_weights_tangent_flow(states: da.Array, dws: da.Array, sigma: da.Array,
                              d_mu_dx: da.Array, d_sigma_dx: da.Array,
                              horizon: float) -> da.Array:
    """`quarnel.bel_weights_tangent_flow` chunk by chunk: a lazy array of the weights.

    Only the shape of `states` is used, as in the single call; the four step arrays
    must share their row chunks. A zero sigma raises the single call's ValueError with
    the path's index in the batch when the array is computed (with zeros in several
    chunks, Dask reports the first chunk to fail, not necessarily the leftmost).
    """
    return _checked_weights(locals(), _native._check_bel_weights_tangent_flow,
                            _native._bel_weights_tangent_flow_chunk, None)


def _to_greeks(out: Floats, horizon: float, vol: float | None = None,
               rate: float | None = None) -> Greeks:
    """The single call's Greeks from its finished [means..., stderrs...]: its own last
    steps (vega per unit of vol, the discount, NaN errors of non-finite estimates)."""
    return _native._finish_greeks(out, horizon, vol, rate)


def _layout(estimate: str, payoff: str, estimator: str) -> tuple[int, bool, bool]:
    """(columns, centred, ramp) of the per-path samples that the native chunk primitive
    of `estimate` writes (a ladder's per strike): centred samples (f, u[m], v[m], u v[m],
    m = (columns - 1) / 3) finish as the localised digital; `ramp` says whether the
    localisation's half-width applies."""
    columns, centred, ramp = _native._sample_layout(estimate, payoff, estimator)
    return int(columns), bool(centred), bool(ramp)


def _terminal_arrays(terminal_states: object, w_terminals: object,
                     pairs: object) -> tuple[da.Array, da.Array, Pairs | None]:
    """The two arrays of a constant-flow batch (checked by the single call on stand-ins)
    with shared row chunks, rechunked so that every pair of `pairs` is in one chunk."""
    x = _dask_array("terminal_states", terminal_states)
    w = _same_rows("w_terminals", _dask_array("w_terminals", w_terminals), "terminal_states",
                   x.chunks[0])
    checked = _check_pairs(pairs, x.shape[0])
    chunks = _pair_chunks(x.chunks[0], checked)
    x, w = (a if a.chunks[0] == chunks else _untyped(a).rechunk({0: chunks}) for a in (x, w))
    return x, w, checked


def _terminal_sums(g: _Graph, call: _Call, estimate: str, arguments: Mapping[str, Any],
                   pairs: Pairs | None, per_row: int = 1) -> tuple[Any, bool]:
    """The final sums of the samples that `call` forms from each chunk of a terminal
    batch (`per_row` times the columns of `estimate`'s layout, a ladder's strikes), in
    path (or pair) order, and whether they are centred."""
    columns, centred, ramp = _layout(estimate, arguments["payoff"], arguments["estimator"])
    if centred:
        samples = _width_samples(g, arguments["half_width"] if ramp else 0.0, call)
    else:
        samples = g.per_chunk("samples", _chunk, call, 0.0)
    samples = _paired(g, samples, pairs, (columns - 1) // 3 if centred else None)
    return g.sums("sums", samples, columns * per_row), centred


def _width_samples(g: _Graph, half_width: float | None, call: _Call) -> list[Any]:
    """Each chunk's centred samples, `call` on its arrays, for the ramp half-width
    `half_width`, or for the default one, which takes a pass over the terminal states
    first as in the single call: each chunk's data then wait on its worker."""
    if half_width is not None:
        return g.per_chunk("samples", _chunk, call, float(half_width))
    data = g.per_chunk("data", _stack)
    width = g.task("width", _half_width, g.sums("x", data, 1, True, release=False), g.n_paths)
    return [g.task("samples", _from_stack, d, call, width, chunk=i, near=d)
            for i, d in enumerate(data)]


def price_and_greeks_constant_flow(terminal_states: da.Array, w_terminals: da.Array,
                                   horizon: float, x0: float, vol: float, payoff: Payoff,
                                   strike: float = 0.0, model: Model = "gbm",
                                   estimator: Estimator = "lowest_variance",
                                   half_width: float | None = None,
                                   rate: float | None = None, strike2: float | None = None,
                                   pairs: Pairs | None = None, *,
                                   timeout: float = DEFAULT_TIMEOUT) -> Greeks:
    """`quarnel.price_and_greeks_constant_flow` over 1-D Dask arrays of equal chunks.

    Returns the `Greeks` of the single call on the gathered arrays, bit for bit. The
    digital's default half-width (`half_width=None` with "lowest_variance") takes a
    first pass over the terminal states, as in the single call: the batch's chunks are
    kept by the workers (spilled to disk if need be) until it is known. Pass a
    `half_width` to stream the batch in one pass. With `pairs` the arrays are rechunked
    so that both paths of a pair are in one task (even chunks, or for "halves" the chunks
    of the first half mirrored in the second).
    `timeout` bounds the wait for the result, in seconds (TimeoutError after it).
    """
    with _passed_types({"terminal_states": terminal_states, "w_terminals": w_terminals}):
        _single_greeks.price_and_greeks_constant_flow(
            *_pair_stand_ins(terminal_states, w_terminals), horizon, x0, vol, payoff, strike,
            model, estimator, half_width, rate, strike2, pairs)
    seconds = _timeout(timeout)
    x, w, pairs = _terminal_arrays(terminal_states, w_terminals, pairs)
    call = _Call.of("_greeks_constant_flow_samples", locals(), 2)
    g = _Graph("greeks-cf", {"terminal_states": x, "w_terminals": w},
               (call, half_width, pairs), seconds)
    sums, centred = _terminal_sums(g, call, "constant_flow", locals(), pairs)
    finish = g.task("finish", _localised_finish if centred else _finish, sums,
                    g.n_paths // 2 if pairs else g.n_paths)
    return _to_greeks(g.compute(finish), float(horizon), None,
                      None if rate is None else float(rate))


@_task
def _cross_finish(state: Floats, n_paths: int, centred: bool) -> Floats:
    """[the Greeks' means, their stderrs] from the final sums of the samples of cross
    Greeks alone (vanna and volga, or vanna)."""
    if not centred:
        return _native._finish_sums(state, n_paths)
    out = _native._localised_digital_finish(state, n_paths)  # the price in front of each half
    m = len(out) // 2 - 1
    return np.concatenate([out[1:1 + m], out[2 + m:]])


def vanna_volga_constant_flow(terminal_states: da.Array, w_terminals: da.Array, horizon: float,
                              x0: float, vol: float, payoff: Payoff, strike: float = 0.0,
                              model: Model = "gbm", estimator: Estimator = "lowest_variance",
                              half_width: float | None = None, rate: float | None = None,
                              strike2: float | None = None, pairs: Pairs | None = None, *,
                              timeout: float = DEFAULT_TIMEOUT) -> VannaVolga:
    """`quarnel.vanna_volga_constant_flow` over 1-D Dask arrays of equal chunks.

    Returns the `VannaVolga` of the single call on the gathered arrays, bit for bit. The
    digitals' default half-width and `pairs` are handled as by
    `price_and_greeks_constant_flow` (a first pass over the terminal states; chunks that
    keep each pair in one task).
    `timeout` bounds the wait for the result, in seconds (TimeoutError after it).
    """
    with _passed_types({"terminal_states": terminal_states, "w_terminals": w_terminals}):
        _single_vanna_volga(*_pair_stand_ins(terminal_states, w_terminals), horizon, x0, vol,
                            payoff, strike, model, estimator, half_width, rate, strike2, pairs)
    seconds = _timeout(timeout)
    x, w, pairs = _terminal_arrays(terminal_states, w_terminals, pairs)
    call = _Call.of("_vanna_volga_constant_flow_samples", locals(), 2)
    g = _Graph("vanna-volga-cf", {"terminal_states": x, "w_terminals": w},
               (call, half_width, pairs), seconds)
    sums, centred = _terminal_sums(g, call, "vanna_volga", locals(), pairs)
    e = g.compute(g.task("finish", _cross_finish, sums, g.n_paths // 2 if pairs else g.n_paths,
                         centred))
    # In the vega and rho slots, as the single call finishes them.
    nan = math.nan
    out = _to_greeks(np.array([nan, nan, nan, e[0], e[1], nan, nan, nan, e[2], e[3]]),
                     float(horizon), None, None if rate is None else float(rate))
    return VannaVolga(out.vega, out.rho, out.vega_stderr, out.rho_stderr)


@_task
def _ladder_finish(state: Floats, n_paths: int, per_strike: int, centred: bool,
                   horizon: float, rate: float | None) -> Floats:
    """(n_strikes, 10): each strike's Greeks from its columns' final sums, finished as
    price_and_greeks_constant_flow finishes its own."""
    cols = state.size // 2
    rows = []
    for j in range(0, cols, per_strike):
        sums = np.concatenate([state[j:j + per_strike], state[cols + j:cols + j + per_strike]])
        e = (_native._localised_digital_finish(sums, n_paths) if centred
             else _native._finish_sums(sums, n_paths))
        rows.append(tuple(_native._finish_greeks(e, horizon, None, rate)))
    return np.array(rows, dtype=np.float64).reshape(len(rows), 10)


def price_and_greeks_ladder_constant_flow(
        terminal_states: da.Array, w_terminals: da.Array, horizon: float, x0: float,
        vol: float,
        payoff: Literal["identity", "call", "put", "digital_call", "digital", "digital_put"],
        strikes: ArrayLike, model: Model = "gbm", estimator: Estimator = "lowest_variance",
        half_width: float | None = None, rate: float | None = None, *,
        timeout: float = DEFAULT_TIMEOUT) -> GreeksLadder:
    """`quarnel.price_and_greeks_ladder_constant_flow` over 1-D Dask arrays of equal chunks.

    Returns the `GreeksLadder` of the single call on the gathered arrays, bit for bit,
    from one pass over the chunks (after the digitals' default-width pass, as for
    `price_and_greeks_constant_flow`). Each chunk's samples hold 5 columns a strike (13
    for the digitals under "lowest_variance"): size the chunks for that.
    `timeout` bounds the wait for the result, in seconds (TimeoutError after it).
    """
    with _passed_types({"terminal_states": terminal_states, "w_terminals": w_terminals}):
        _single_ladder(*_pair_stand_ins(terminal_states, w_terminals), horizon, x0, vol, payoff,
                       strikes, model, estimator, half_width, rate)
    seconds = _timeout(timeout)
    ks: Floats = np.array(strikes, dtype=np.float64)  # a copy, as the single call keeps
    x, w, _ = _terminal_arrays(terminal_states, w_terminals, None)
    if ks.size == 0:  # nothing to sum: the checks above are the whole call
        return GreeksLadder(ks, np.empty((0, 10), dtype=np.float64))
    rate = None if rate is None else float(rate)
    call = _Call.of("_ladder_constant_flow_samples", {**locals(), "strikes": ks}, 2)
    g = _Graph("ladder-cf", {"terminal_states": x, "w_terminals": w},
               (call, ks.tobytes(), half_width, rate), seconds)
    sums, centred = _terminal_sums(g, call, "ladder", locals(), None, ks.size)
    per_strike = _layout("ladder", payoff, estimator)[0]
    return GreeksLadder(ks, g.compute(g.task("finish", _ladder_finish, sums, g.n_paths,
                                             per_strike, centred, float(horizon), rate)))


def _price_and_greeks_tangent_flow(states: da.Array, dws: da.Array, sigma_field: da.Array,
                                   d_mu_dx_field: da.Array, d_sigma_dx_field: da.Array,
                                   d2_mu_dx2_field: da.Array, d2_sigma_dx2_field: da.Array,
                                   horizon: float, payoff: Payoff, strike: float = 0.0,
                                   estimator: Estimator = "lowest_variance",
                                   vol: float | None = None,
                                   half_width: float | None = None,
                                   rate: float | None = None, strike2: float | None = None,
                                   pairs: Pairs | None = None, *,
                                   timeout: float = DEFAULT_TIMEOUT) -> Greeks:
    """`quarnel.price_and_greeks_tangent_flow` over row-chunked Dask arrays.

    Returns the `Greeks` of the single call on the gathered arrays, bit for bit. As
    there, only the last column of `states` is read and the step arrays may have extra
    rows and columns. For the digital under "lowest_variance" with the default
    half-width, which takes a pass over the terminal states first as in the single
    call, the kernel's rows (five or seven numbers a path) wait on the workers until
    the width is known. With `pairs` the arrays are rechunked as for
    `price_and_greeks_constant_flow`; a zero diffusion value among several is reported in
    the order the pairs are met.
    `timeout` bounds the wait for the result, in seconds (TimeoutError after it).
    """
    arguments = locals()
    g, rows, pairs = _kernel_rows("greeks-tf", arguments, "price_and_greeks_tangent_flow",
                                  "_greek_rows_tangent_flow")
    return _greeks_of_rows(g, rows, arguments, pairs, vol)


def _kernel_rows(label: str, arguments: Mapping[str, Any], function: str, rows: str
                 ) -> tuple[_Graph, list[Any], Pairs | None]:
    """The single call's checks of the tangent-flow estimator `function` on its
    `arguments` (by name), then the graph of its batch and each chunk's kernel rows,
    from the chunk primitive `rows`."""
    named = _checked(getattr(_native, f"_check_{function}"), arguments)
    seconds = _timeout(arguments["timeout"])
    arrays, pairs = _tangent_flow_arrays(named, arguments["pairs"])
    call = _Call.of(rows, arguments, len(arrays))
    # The graph's keys follow everything its sums depend on: the batch and the rest of
    # the arguments.
    same = tuple((k, v) for k, v in arguments.items()
                 if k != "timeout" and not isinstance(v, da.Array))
    g = _Graph(label, arrays, same, seconds)
    return g, g.per_chunk("rows", _chunk, call, 0.0), pairs


def _tangent_flow_arrays(named: dict[str, Any], pairs: object
                         ) -> tuple[dict[str, da.Array], Pairs | None]:
    """The arrays of an estimator's tangent-flow batch (checked by the single call on
    stand-ins) cut to what the single call reads, with the row chunks of `states`,
    rechunked so that every pair of `pairs` is in one chunk."""
    arrays = {name: _dask_array(name, a) for name, a in named.items()}
    n_paths, n_steps = arrays["states"].shape[0], arrays["states"].shape[1] - 1
    for name, a in arrays.items():
        if name != "states" and (a.shape[0] > n_paths or a.shape[1] > n_steps):
            arrays[name] = a[:n_paths, :n_steps]  # what the single call ignores
        _whole_rows(name, arrays[name])
        arrays[name] = _same_rows(name, arrays[name], "states", arrays["states"].chunks[0])
    checked = _check_pairs(pairs, n_paths)
    chunks = _pair_chunks(arrays["states"].chunks[0], checked)
    return ({name: a if a.chunks[0] == chunks else _untyped(a).rechunk({0: chunks})
             for name, a in arrays.items()}, checked)


def _greeks_of_rows(g: _Graph, rows: list[Any], arguments: Mapping[str, Any],
                    pairs: Pairs | None, vol: float | None) -> Greeks:
    """The estimate of price_and_greeks_tangent_flow (the stored or fused batch's) from
    its kernel rows and its `arguments` by name, vega per unit of `vol`."""
    sums, centred = _row_sums(g, rows, "tangent_flow", "_greeks_tangent_flow_samples",
                              arguments, pairs)
    n_means = g.n_paths // 2 if pairs else g.n_paths
    finish = g.task("finish", _localised_finish if centred else _finish, sums, n_means)
    rate = arguments["rate"]
    return _to_greeks(g.compute(finish), float(arguments["horizon"]),
                      None if vol is None else float(vol), None if rate is None else float(rate))


def _row_sums(g: _Graph, rows: list[Any], estimate: str, samples: str,
              arguments: Mapping[str, Any], pairs: Pairs | None) -> tuple[Any, bool]:
    """The sums of the samples that the chunk primitive `samples` forms from each chunk's
    kernel rows, continued chunk after chunk in path (or pair) order, and whether they
    are centred. The digitals' default ramp half-width comes first, from the terminal
    states in the rows' first column, as in the single call."""
    call = _Call.of(samples, arguments, 1)
    half_width = arguments["half_width"]
    columns, centred, ramp = _layout(estimate, arguments["payoff"], arguments["estimator"])
    greeks = (columns - 1) // 3 if centred else None
    if (ramp and half_width is None) or pairs == "halves":
        # The width needs every chunk's terminal states before any samples, and a half's
        # pairs the chunk of the other half: the rows wait for them.
        width: Any = (0.0 if not ramp else float(half_width) if half_width is not None
                      else g.task("width", _half_width,
                                  g.sums("x", rows, 1, True, release=False), g.n_paths))
        paired = _paired(g, [g.task("samples", _from_rows, r, call, width, chunk=i, near=r)
                             for i, r in enumerate(rows)], pairs, greeks)
        return g.sums("sums", paired, columns), centred
    # Otherwise each chunk's samples are summed as soon as its rows are in, and the rows
    # and samples let go of at once (the caller's list too): a cluster holds only the
    # chunks in flight, whatever the number of paths.
    width = float(half_width) if ramp and half_width is not None else 0.0
    state: Any = np.zeros(2 * columns)
    for i, r in enumerate(rows):
        rows[i] = None
        samples_i = g.task("samples", _from_rows, r, call, width, chunk=i, near=r)
        if pairs == "adjacent":
            samples_i = g.task("pairs", _pair_means, samples_i, None, greeks, chunk=i,
                               near=samples_i)
        state = g.task("sums", _continue, state, samples_i, False, chunk=i, near=samples_i)
    return state, centred


def _vanna_tangent_flow(states: da.Array, dws: da.Array, sigma_field: da.Array,
                        d_mu_dx_field: da.Array, d_sigma_dx_field: da.Array,
                        d2_mu_dx2_field: da.Array, d2_sigma_dx2_field: da.Array,
                        horizon: float, payoff: Payoff, vol: float, strike: float = 0.0,
                        estimator: Estimator = "lowest_variance",
                        half_width: float | None = None, rate: float | None = None,
                        strike2: float | None = None, pairs: Pairs | None = None, *,
                        timeout: float = DEFAULT_TIMEOUT) -> VannaVolga:
    """`quarnel.vanna_tangent_flow` over row-chunked Dask arrays.

    Returns the `VannaVolga` of the single call on the gathered arrays, bit for bit
    (volga NaN). Arrays, the digitals' default half-width and `pairs` as for
    `price_and_greeks_tangent_flow`; the kernel's rows are five numbers a path.
    `timeout` bounds the wait for the result, in seconds (TimeoutError after it).
    """
    arguments = locals()
    g, rows, pairs = _kernel_rows("vanna-tf", arguments, "vanna_tangent_flow",
                                  "_vanna_rows_tangent_flow")
    sums, centred = _row_sums(g, rows, "vanna_tangent_flow", "_vanna_tangent_flow_samples",
                              arguments, pairs)
    e = g.compute(g.task("finish", _cross_finish, sums, g.n_paths // 2 if pairs else g.n_paths,
                         centred))
    # In the vega slot, as the single call finishes it (per unit of vol, discounted).
    nan = math.nan
    out = _to_greeks(np.array([nan, nan, nan, e[0], nan, nan, nan, e[1]]), float(horizon),
                     float(vol), None if rate is None else float(rate))
    return VannaVolga(out.vega, nan, out.vega_stderr, nan)


def greek_weights_constant_flow(w_terminals: da.Array, horizon: float, x0: float, vol: float,
                                model: Model = "gbm") -> da.Array:
    """`quarnel.greek_weights_constant_flow` chunk by chunk: a lazy (n_paths, 4) array."""
    with _passed_types({"w_terminals": w_terminals}):
        _single_greeks.greek_weights_constant_flow(
            _stand_in(w_terminals, (0,) * w_terminals.ndim)
            if isinstance(w_terminals, da.Array) else w_terminals, horizon, x0, vol, model)
    w = _dask_array("w_terminals", w_terminals)
    out: da.Array = _untyped(w).map_blocks(
        _declared_block, _single_greeks.greek_weights_constant_flow, float(horizon), float(x0),
        float(vol), model,
        new_axis=1, chunks=(w.chunks[0], (4,)), dtype=np.float64,
        meta=np.empty((0, 0), dtype=np.float64))
    return out


def _greek_weights_tangent_flow(states: da.Array, dws: da.Array, sigma: da.Array,
                                d_mu_dx: da.Array, d_sigma_dx: da.Array, d2_mu_dx2: da.Array,
                                d2_sigma_dx2: da.Array, horizon: float) -> da.Array:
    """`quarnel.greek_weights_tangent_flow` chunk by chunk: a lazy (n_paths, 4) array.

    As for `bel_weights_tangent_flow`: only the shape of `states` is used, and a zero
    sigma is reported with its index in the batch when the array is computed.
    """
    return _checked_weights(locals(), _native._check_greek_weights_tangent_flow,
                            _native._greek_weights_tangent_flow_chunk, 4)


def _parameter_weights_tangent_flow(states: da.Array, dws: da.Array, sigma: da.Array,
                                    d_mu_dx: da.Array, d_sigma_dx: da.Array,
                                    d2_mu_dx2: da.Array, d2_sigma_dx2: da.Array,
                                    d_mu_dp: da.Array, d_sigma_dp: da.Array,
                                    d2_mu_dx_dp: da.Array, d2_sigma_dx_dp: da.Array,
                                    horizon: float) -> da.Array:
    """`quarnel.parameter_weights_tangent_flow` chunk by chunk: a lazy array of the weights.

    As for `bel_weights_tangent_flow`: only the shape of `states` is used, and a zero
    sigma is reported with its index in the batch when the array is computed.
    """
    return _checked_weights(locals(), _native._check_parameter_weights_tangent_flow,
                            _native._parameter_weights_tangent_flow_chunk, None)


def _mixed_weights_tangent_flow(states: da.Array, dws: da.Array, sigma: da.Array,
                                d_mu_dx: da.Array, d_sigma_dx: da.Array,
                                d2_mu_dx2: da.Array, d2_sigma_dx2: da.Array,
                                d_mu_dp: da.Array, d_sigma_dp: da.Array,
                                d2_mu_dx_dp: da.Array, d2_sigma_dx_dp: da.Array,
                                horizon: float) -> da.Array:
    """`quarnel.mixed_weights_tangent_flow` chunk by chunk: a lazy array of the weights,
    as `parameter_weights_tangent_flow` (whose checks it has)."""
    return _checked_weights(locals(), _native._check_parameter_weights_tangent_flow,
                            _native._mixed_weights_tangent_flow_chunk, None)


def parallel_volatility_bump(sigma: da.Array, d_sigma_dx: da.Array
                             ) -> tuple[da.Array, da.Array, da.Array, da.Array]:
    """`quarnel.parallel_volatility_bump` of Dask arrays: the fields
    `(d_mu_dp, d_sigma_dp, d2_mu_dx_dp, d2_sigma_dx_dp)` of the bump
    sigma -> (1 + e) sigma, for `parameter_weights_tangent_flow`. The drift fields are
    zero-stride chunks of zeros with sigma's chunks, which cost no memory."""
    a = _dask_array("sigma", sigma)
    b = _dask_array("d_sigma_dx", d_sigma_dx)
    for name, x in (("sigma", a), ("d_sigma_dx", b)):
        if x.dtype != np.float64:
            raise TypeError(f"argument '{name}': expected a dask.array.Array of float64, got "
                            f"{_describe(x)}")
    if a.shape != b.shape:
        raise ValueError(f"sigma and d_sigma_dx must have the same shape, got {a.shape} and "
                         f"{b.shape}")
    zeros: da.Array = _dask.array.broadcast_to(np.float64(0.0), a.shape, chunks=a.chunks)
    return zeros, a, zeros, b


class _BatchOr(Protocol[P, R_co]):
    """A function of the arrays of a batch, or of a PathBatch of Dask arrays."""

    @overload
    def __call__(self, batch: PathBatch, /, *args: Any, **kwargs: Any) -> R_co: ...
    @overload
    def __call__(self, *args: P.args, **kwargs: P.kwargs) -> R_co: ...


def _with_batch(fn: Callable[P, R]) -> _BatchOr[P, R]:
    wrapped = accepts_batch(fn, module=__name__, name=fn.__name__.lstrip("_"),
                            read_dlpack=False)
    return cast(_BatchOr[P, R], wrapped)


# The tangent-flow functions take a PathBatch of Dask arrays in place of their arrays.
bel_weights_tangent_flow = _with_batch(_bel_weights_tangent_flow)
greek_weights_tangent_flow = _with_batch(_greek_weights_tangent_flow)
parameter_weights_tangent_flow = _with_batch(_parameter_weights_tangent_flow)
mixed_weights_tangent_flow = _with_batch(_mixed_weights_tangent_flow)
vanna_tangent_flow = _with_batch(_vanna_tangent_flow)
price_and_delta_tangent_flow = _with_batch(_price_and_delta_tangent_flow)
price_and_greeks_tangent_flow = _with_batch(_price_and_greeks_tangent_flow)


def __getattr__(name: str) -> Any:
    # The basket estimators live in _dask_basket, which builds on this module's chunk
    # helpers: looked up on first use, so that either module may be imported first.
    if name in ("greek_weights_basket", "price_and_greeks_basket"):
        from . import _dask_basket

        return getattr(_dask_basket, name)
    if name == "price_and_greeks_fused":
        from . import _dask_fused

        return _dask_fused.price_and_greeks_fused
    raise AttributeError(f"module 'quarnel.dask' has no attribute {name!r}")


# The path-dependent products, chained over chunks the same way.
from ._dask_paths import (  # noqa: E402
    path_weights_gbm,
    path_weights_tangent_flow,
    price_and_greeks_asian_gbm,
    price_and_greeks_asian_tangent_flow,
    price_and_greeks_barrier_gbm,
    price_and_greeks_barrier_tangent_flow,
)

__all__ += [
    "path_weights_gbm",
    "path_weights_tangent_flow",
    "price_and_greeks_asian_gbm",
    "price_and_greeks_asian_tangent_flow",
    "price_and_greeks_barrier_gbm",
    "price_and_greeks_barrier_tangent_flow",
]

# Heston, from quarnel._dask_heston.
from ._dask_heston import (  # noqa: E402
    greek_weights_heston,
    price_and_greeks_heston,
    price_and_greeks_heston_fused,
    tangents_heston,
)

__all__ += ["greek_weights_heston", "price_and_greeks_heston", "price_and_greeks_heston_fused",
            "tangents_heston"]
