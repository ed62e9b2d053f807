"""`PathBatch`: a simulated Euler batch held by name, checked once when it is made.

The native functions take a batch as a row of positional arrays, which a caller can
swap without any error when the shapes agree (sigma for d_sigma_dx, say). A batch is
made by keyword only and then passed whole; `accepts_batch` gives a native function
the batch form, feeding each of its parameters from the batch field of the same name
(`sigma_field` from `sigma`), so the field list lives here and in the natives' own
signatures and nowhere else.
"""

from __future__ import annotations

import dataclasses
import inspect
import math
import sys
import textwrap
import types
from collections.abc import Callable, Mapping
from typing import Any, Final

import numpy as np

from . import _arrays

Coefficient = Callable[[Any], Any] | float


def _dask_array_type() -> type | None:
    """dask.array.Array if Dask is imported (an object cannot be one otherwise)."""
    module = sys.modules.get("dask.array")
    found: type | None = getattr(module, "Array", None)
    return found


def _describe(a: object) -> str:
    t = type(a)
    name = t.__qualname__ if t.__module__ == "builtins" else f"{t.__module__}.{t.__qualname__}"
    if isinstance(a, np.ndarray):
        name = "numpy.ndarray"
    else:
        dask_type = _dask_array_type()
        if dask_type is not None and isinstance(a, dask_type):
            name = "dask.array.Array"
    dtype, shape = getattr(a, "dtype", None), getattr(a, "shape", None)
    if dtype is None or shape is None:
        return name
    return f"{name} of {dtype}, shape {tuple(shape)}"


def _field_array(name: str, a: object) -> Any:
    """A 2-D float64 field: an ndarray, read-only view of it (no copy); a CPU DLPack
    array, read in place; or a Dask array, as it is."""
    dask_type = _dask_array_type()
    lazy = dask_type is not None and isinstance(a, dask_type)
    if _arrays.is_exporter(a) and not lazy:
        a = _arrays.from_exporter(name, a)
    if not (isinstance(a, np.ndarray) or lazy) or getattr(a, "ndim", 0) != 2 or \
            getattr(a, "dtype", None) != np.float64:
        raise TypeError(f"argument '{name}': expected a 2-D float64 array (numpy.ndarray, "
                        f"a CPU array exporting DLPack, or dask.array.Array), got "
                        f"{_describe(a)}")
    if lazy:
        if any(math.isnan(n) for n in a.shape):  # type: ignore[attr-defined]
            raise ValueError(f"argument '{name}': a Dask array of unknown chunk sizes: call "
                             f"its compute_chunk_sizes() first")
        return a
    assert isinstance(a, np.ndarray)
    view = a.view(np.ndarray)
    view.flags.writeable = False
    return view


def _shown(a: Any) -> str:
    """What a field holds, without its data: its shape and layout."""
    if isinstance(a, np.ndarray) or hasattr(a, "chunks"):
        return f"{_layout(a)} {tuple(a.shape)}" if a.ndim == 2 else _describe(a)
    return _describe(a)


def _layout(a: Any) -> str:
    if not isinstance(a, np.ndarray):
        return f"dask, {len(a.chunks[0])} row chunks"
    if any(s == 0 and n > 1 for s, n in zip(a.strides, a.shape)):
        return "broadcast"
    if a.flags.c_contiguous:
        return "C"
    if a.flags.f_contiguous:
        return "F"
    # Paths adjacent in memory: the transposed view of a (time, path) block.
    return "time-major" if abs(a.strides[0]) < abs(a.strides[1]) else "strided"


@dataclasses.dataclass(frozen=True, slots=True, kw_only=True, eq=False, repr=False)
class ParameterFields:
    """The derivatives in a model parameter p of the coefficients, at the state at the
    start of each step, each (n_paths, n_steps): d mu/dp, d sigma/dp, d2 mu/dx dp and
    d2 sigma/dx dp. `parameter_weights_tangent_flow(batch, parameter=name)` reads them."""

    d_mu_dp: Any
    d_sigma_dp: Any
    d2_mu_dx_dp: Any
    d2_sigma_dx_dp: Any

    @classmethod
    def parallel_volatility_bump(cls, sigma: Any, d_sigma_dx: Any) -> ParameterFields:
        """The fields of the bump sigma -> (1 + e) sigma, drift unchanged (vega)."""
        from ._fields import parallel_volatility_bump

        d_mu, d_sigma, d2_mu, d2_sigma = parallel_volatility_bump(sigma, d_sigma_dx)
        return cls(d_mu_dp=d_mu, d_sigma_dp=d_sigma, d2_mu_dx_dp=d2_mu, d2_sigma_dx_dp=d2_sigma)

    def __repr__(self) -> str:
        shown = [f"{f}={_shown(getattr(self, f))}" for f in _PARAMETER_FIELDS]
        return f"ParameterFields({', '.join(shown)})"


@dataclasses.dataclass(frozen=True, slots=True, kw_only=True, eq=False, repr=False)
class PathBatch:
    """A simulated Euler batch of dX = mu(X) dt + sigma(X) dW on a uniform grid.

    `states` is (n_paths, n_steps + 1), column 0 the initial state; every other array is
    (n_paths, n_steps), column j the step from t_j to t_j+1: the Brownian increments
    `dws` and the coefficients at the state at the start of the step, `sigma`,
    `d_mu_dx`, `d_sigma_dx` and, for gammas, `d2_mu_dx2` and `d2_sigma_dx2`.
    `parameters` maps a model parameter's name to its `ParameterFields`.

    Made by keyword only, checked once (a float64 array of the shape above for every
    field, a finite positive horizon), and immutable. The arrays are borrowed, never
    copied: any layout works (slices, Fortran order, transposed time-major views,
    zero-stride broadcasts), CPU arrays exporting DLPack (PyTorch, JAX) are read in
    place, and Dask arrays make a batch for `quarnel.dask`. The batch holds read-only
    views, so nothing it is passed to can write to them.
    """

    states: Any
    dws: Any
    horizon: float
    sigma: Any
    d_mu_dx: Any
    d_sigma_dx: Any
    d2_mu_dx2: Any = None
    d2_sigma_dx2: Any = None
    parameters: Mapping[str, ParameterFields] = dataclasses.field(
        default_factory=lambda: types.MappingProxyType({}))

    def __post_init__(self) -> None:
        put = object.__setattr__
        states = _field_array("states", self.states)
        if states.shape[1] < 2:
            raise ValueError("states must have at least 2 columns (n_steps + 1)")
        put(self, "states", states)
        expected = (states.shape[0], states.shape[1] - 1)
        for name in _STEP_FIELDS:
            value = getattr(self, name)
            if value is not None or name not in _OPTIONAL:
                put(self, name, _step_array(name, value, expected))
        kind = type(self.horizon)
        # A number, as the native functions take it: no parsing of strings.
        if not (hasattr(kind, "__float__") or hasattr(kind, "__index__")):
            raise TypeError(f"argument 'horizon': must be real number, not "
                            f"{kind.__qualname__}")
        try:
            horizon = float(self.horizon)
        except TypeError as e:
            raise TypeError(f"argument 'horizon': {e}") from e
        if not (math.isfinite(horizon) and horizon > 0.0):
            raise ValueError(f"horizon must be finite and positive, got {horizon!r}")
        put(self, "horizon", horizon)
        if not isinstance(self.parameters, Mapping):
            raise TypeError(f"argument 'parameters': expected a mapping of names to "
                            f"ParameterFields, got {_describe(self.parameters)}")
        checked = {}
        for p, fields in self.parameters.items():
            if not isinstance(p, str) or not isinstance(fields, ParameterFields):
                raise TypeError(f"argument 'parameters': expected a mapping of names to "
                                f"ParameterFields, got {_describe(p)} -> {_describe(fields)}")
            checked[p] = ParameterFields(**{
                f: _step_array(f"parameters[{p!r}].{f}", getattr(fields, f), expected)
                for f in _PARAMETER_FIELDS})
        put(self, "parameters", types.MappingProxyType(checked))

    @property
    def n_paths(self) -> int:
        return int(self.states.shape[0])

    @property
    def n_steps(self) -> int:
        return int(self.states.shape[1]) - 1

    def with_parameters(self, **parameters: ParameterFields) -> PathBatch:
        """A new batch with these parameters added (or replaced)."""
        return dataclasses.replace(self, parameters={**self.parameters, **parameters})

    @classmethod
    def from_model(cls, states: Any, dws: Any, horizon: float, *, sigma: Coefficient,
                   d_mu_dx: Coefficient, d_sigma_dx: Coefficient,
                   d2_mu_dx2: Coefficient | None = None,
                   d2_sigma_dx2: Coefficient | None = None,
                   parameters: Mapping[str, Mapping[str, Coefficient] | ParameterFields]
                   | None = None) -> PathBatch:
        """A batch whose fields are the model's coefficients evaluated along the paths.

        Each coefficient is a vectorised callable of a state array (`lambda x: s * x`),
        called once on the states at the start of the steps, `states[:, :-1]`, or a
        number, which becomes a zero-stride field. A time-major batch (the `.T` of an
        (n_steps + 1, n_paths) array) stays time-major: the callable sees the
        (n_steps, n_paths) block and its result is transposed back. The derivatives
        are required, never approximated by differences; `parameters` maps a name to
        callables or numbers for the four `ParameterFields`.
        """
        states = _field_array("states", states)
        if states.shape[1] < 2:
            raise ValueError("states must have at least 2 columns (n_steps + 1)")
        at = states[:, :-1]
        # A (time, path) block is handed over as such: the caller's layout is kept.
        time_major = isinstance(at, np.ndarray) and abs(at.strides[0]) < abs(at.strides[1])
        x = at.T if time_major else at

        def field(name: str, c: Any) -> Any:
            if c is None:
                return None
            out = _evaluate(name, c, x)
            return out.T if time_major else out

        named = {"sigma": sigma, "d_mu_dx": d_mu_dx, "d_sigma_dx": d_sigma_dx,
                 "d2_mu_dx2": d2_mu_dx2, "d2_sigma_dx2": d2_sigma_dx2}
        fields = {name: field(name, c) for name, c in named.items()}
        built: dict[str, ParameterFields] = {}
        for p, given in (parameters or {}).items():
            if isinstance(given, ParameterFields):
                built[p] = given
            else:
                built[p] = ParameterFields(**{f: field(f"parameters[{p!r}].{f}", c)
                                              for f, c in given.items()})
        return cls(states=states, dws=dws, horizon=horizon, parameters=built, **fields)

    def __repr__(self) -> str:
        parts = [f"{self.n_paths} paths x {self.n_steps} steps", f"horizon={self.horizon!r}"]
        for name in ("states", *_STEP_FIELDS):
            value = getattr(self, name)
            parts.append(f"{name}={'absent' if value is None else _layout(value)}")
        parts.append(f"parameters={list(self.parameters)}")
        return f"PathBatch({', '.join(parts)})"

    def __reduce__(self) -> tuple[Any, ...]:
        fields = {f.name: getattr(self, f.name) for f in dataclasses.fields(self)}
        fields["parameters"] = dict(self.parameters)
        return (_rebuild, (fields,))


def _rebuild(fields: dict[str, Any]) -> PathBatch:
    return PathBatch(**fields)


def _step_array(name: str, value: Any, expected: tuple[int, int]) -> Any:
    a = _field_array(name, value)
    if tuple(a.shape) != expected:
        raise ValueError(f"{name} shape [{a.shape[0]}, {a.shape[1]}] != expected "
                         f"({expected[0]}, {expected[1]})")
    return a


def _evaluate(name: str, c: Any, x: Any) -> Any:
    """A coefficient field over the states x: c(x), or a number as a zero-stride field."""
    dask_type = _dask_array_type()
    lazy = dask_type is not None and isinstance(x, dask_type)
    if isinstance(c, (int, float)) and not isinstance(c, bool):
        if lazy:
            da: Any = sys.modules["dask.array"]
            return da.broadcast_to(np.float64(c), x.shape, chunks=x.chunks)
        return np.broadcast_to(np.float64(c), x.shape)
    if not callable(c):
        raise TypeError(f"argument '{name}': expected a callable of the states or a number, "
                        f"got {_describe(c)}")
    out = c(x)
    if isinstance(out, (int, float)) and not isinstance(out, bool):
        return _evaluate(name, out, x)
    ok = isinstance(out, np.ndarray) or (lazy and dask_type is not None
                                         and isinstance(out, dask_type))
    if not ok or getattr(out, "dtype", None) != np.float64:
        raise TypeError(f"{name}(x) returned {_describe(out)}; expected float64 values of "
                        f"the shape of x {tuple(x.shape)}")
    if out.ndim == 0:
        return _evaluate(name, float(out), x)
    # Exactly the states' shape: a row or column broadcast could fit the wrong axis.
    if tuple(out.shape) != tuple(x.shape):
        raise ValueError(f"{name}(x) returned shape {tuple(out.shape)}; expected the shape "
                         f"of x {tuple(x.shape)}")
    return out


_FIELD_NAMES: Final = tuple(f.name for f in dataclasses.fields(PathBatch))
# The per-step arrays: every array field but states; those with a default are optional.
_STEP_FIELDS: Final = tuple(f.name for f in dataclasses.fields(PathBatch)
                            if f.name not in ("states", "horizon", "parameters"))
_OPTIONAL: Final = frozenset(f.name for f in dataclasses.fields(PathBatch)
                             if f.default is None)
_PARAMETER_FIELDS: Final = tuple(f.name for f in dataclasses.fields(ParameterFields))


# --- The batch form of the native functions ------------------------------------------

_READ_HOST = "Arrays may also be CPU arrays exporting DLPack (PyTorch, JAX), read in place."


def _feeds(parameter: str) -> tuple[str, str] | None:
    """("batch", field) or ("parameter", field) for a native parameter fed by a batch."""
    for name in (parameter, parameter.removesuffix("_field")):
        if name in _FIELD_NAMES and name != "parameters":
            return "batch", name
        if name in _PARAMETER_FIELDS:
            return "parameter", name
    return None


class _OnDevice:
    """Stands in for a device array in a retried call, so that the native conversion
    still reports the first bad argument in parameter order; a scalar parameter reads
    the original as before."""

    __slots__ = ("original",)

    def __init__(self, original: object) -> None:
        self.original = original

    def __float__(self) -> float:
        return float(self.original)  # type: ignore[arg-type]


def _host_arguments(names: list[str], args: tuple[Any, ...], kwargs: dict[str, Any]
                    ) -> tuple[tuple[Any, ...], dict[str, Any], dict[str, TypeError]] | None:
    """The arguments with every CPU DLPack array read as an ndarray and every device array
    stood in for, with their errors by name; None if there is no exporter among them."""
    found = False
    on_device: dict[str, TypeError] = {}

    def read(name: str, a: Any) -> Any:
        nonlocal found
        if not _arrays.is_exporter(a):
            return a
        found = True
        device = _arrays.device_of(a)
        if _arrays.on_host(device):
            return _arrays.from_exporter(name, a)
        on_device[name] = _arrays.unreadable(name, device)
        return _OnDevice(a)

    positional = tuple(read(names[i] if i < len(names) else "", a) for i, a in enumerate(args))
    keywords = {k: read(k, a) for k, a in kwargs.items()}
    return (positional, keywords, on_device) if found else None


def _call_on_host(native: Callable[..., Any],
                  host: tuple[tuple[Any, ...], dict[str, Any], dict[str, TypeError]]) -> Any:
    positional, keywords, on_device = host
    try:
        return native(*positional, **keywords)
    except TypeError as e:
        for name, error in on_device.items():
            if str(e).startswith(f"argument '{name}': "):
                raise error from None
        raise


def accepts_batch(native: Callable[..., Any], *, module: str = "quarnel",
                  name: str | None = None, read_dlpack: bool = True) -> Callable[..., Any]:
    """`native` as a function of the package: CPU DLPack arrays accepted anywhere, and a
    batch form `fn(batch, ...)` when its leading parameters are batch fields (those
    then come from the batch).

    A parameter is fed by the batch field of its name, or of its name less `_field`;
    the parameters named after `ParameterFields` come from `batch.parameters[parameter]`,
    with `parameter` the first argument after the batch. The positional form calls the
    native function as it is: the only cost is one Python call, and the DLPack reading
    runs only when the native conversion has refused an argument (`read_dlpack`).
    """
    name = name or native.__name__
    empty = inspect.Parameter.empty
    signature = inspect.signature(native)
    signature = signature.replace(  # as a text signature reads: names and defaults
        parameters=[p.replace(annotation=empty) for p in signature.parameters.values()],
        return_annotation=empty)
    names = list(signature.parameters)
    fed: list[tuple[str, tuple[str, str]]] = []
    for p in names:  # the leading run of parameters that are batch fields
        source = _feeds(p)
        if source is None:
            break
        fed.append((p, source))
    doc = native.__doc__ or ""

    def call(args: tuple[Any, ...], kwargs: dict[str, Any]) -> Any:
        if not read_dlpack:
            return native(*args, **kwargs)
        try:
            return native(*args, **kwargs)
        except TypeError:
            host = _host_arguments(names, args, kwargs)
            if host is None:
                raise
        return _call_on_host(native, host)

    if not fed:
        def plain(*args: Any, **kwargs: Any) -> Any:
            return call(args, kwargs)

        plain.__signature__ = signature  # type: ignore[attr-defined]
        return _named(plain, name, module, f"{doc}\n\n{textwrap.fill(_READ_HOST, 72)}")

    by_parameter = any(kind == "parameter" for _, (kind, _) in fed)
    rest = list(signature.parameters.values())[len(fed):]
    head = [inspect.Parameter("batch", inspect.Parameter.POSITIONAL_ONLY)]
    if by_parameter:
        head.append(inspect.Parameter("parameter", inspect.Parameter.POSITIONAL_OR_KEYWORD))
    batch_form = inspect.Signature(head + rest)

    def unpack(args: tuple[Any, ...], kwargs: dict[str, Any]) -> tuple[Any, ...]:
        batch: PathBatch = args[0]
        args = args[1:]
        fields: Any = None
        if by_parameter:
            if "parameter" in kwargs:
                chosen = kwargs.pop("parameter")
            elif args:
                chosen, args = args[0], args[1:]
            else:
                raise TypeError(f"{name}() missing 1 required argument: 'parameter', the name "
                                f"of one of the batch's parameters {list(batch.parameters)}")
            fields = batch.parameters.get(chosen) if isinstance(chosen, str) else None
            if fields is None:
                raise ValueError(f"parameter {chosen!r} is not one of the batch's parameters "
                                 f"{list(batch.parameters)}")
        values = []
        for _, (kind, field) in fed:
            value = getattr(batch if kind == "batch" else fields, field)
            if value is None:
                raise TypeError(f"{name}() needs the batch field '{field}', which this batch "
                                f"does not hold")
            values.append(value)
        return (*values, *args)

    def with_batch(*args: Any, **kwargs: Any) -> Any:
        if args and isinstance(args[0], PathBatch):
            args = unpack(args, kwargs)
        return call(args, kwargs)

    note = textwrap.fill(
        "The second form takes the arrays and the horizon from a quarnel.PathBatch"
        + (", and the parameter's fields from batch.parameters" if by_parameter else "")
        + (f". {_READ_HOST}" if read_dlpack else "."), 72)
    forms = f"{name}{signature}\n{name}{batch_form}"
    return _named(with_batch, name, module, f"{forms}\n\n{note}\n\n{inspect.cleandoc(doc)}")


def _named(fn: Callable[..., Any], name: str, module: str, doc: str) -> Callable[..., Any]:
    fn.__name__ = fn.__qualname__ = name
    fn.__module__ = module
    fn.__doc__ = doc
    fn.__annotations__ = {}  # the package's typing is in _api.pyi
    return fn
