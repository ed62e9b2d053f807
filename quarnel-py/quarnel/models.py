"""The built-in models of the fused estimators (`quarnel.price_and_greeks_fused`,
`quarnel.simulate`), each simulated by the Euler scheme on a uniform grid.

`vol` is the volatility parameter s that `vega` differentiates in (the diffusion
coefficient is linear in it for every family):

- `GBM`: dX = mu X dt + s X dW
- `ABM`: dX = mu dt + s dW
- `OU`: dX = kappa (theta - X) dt + s dW
- `CEV`: dX = mu X dt + s X^beta dW, each Euler step reflected at 0 (X' = |X + ...|)
- `CIR`: dX = kappa (theta - X+) dt + s sqrt(X+) dW, X+ = max(X, 0) (full truncation)

- `LocalVol`: dX = mu X dt + sigma(t, X) X dW, sigma on a (time, state) grid: a natural
  cubic spline in the state, linear in time; vega is that of the whole surface's
  relative bump sigma -> (1 + e) sigma
- `Compiled`: dX = mu(t, X) dt + sigma(t, X) dW, the plain Euler step, with the
  coefficients and their x derivatives from a compiled function of the caller's
  (a Numba `cfunc`, a `scipy.LowLevelCallable` or a ctypes function) called inside the
  fused loop; vega is d / d vol for sigma linear in a vol of value `vol`

and one that is not scalar, `Heston` (stock and variance), for
`quarnel.price_and_greeks_heston_fused` and `quarnel.simulate_heston` alone.

The weights divide by the diffusion coefficient, so a CIR path that reaches zero (or a
CEV path that lands exactly on it) raises the zero-diffusion ValueError of the
stored-batch estimators: keep CIR's Feller ratio 2 kappa theta / s^2 well above 1 and
the grid fine enough for the paths not to cross zero. The CEV reflection is not in the
tangent (the stored-batch kernel has none either): keep x0 many standard deviations
from zero.
"""

from __future__ import annotations

import _ctypes
import ctypes
import dataclasses
import weakref
from typing import Any, ClassVar

import numpy as np
from numpy.typing import ArrayLike, NDArray


@dataclasses.dataclass(frozen=True, kw_only=True)
class _Model:
    name: ClassVar[str]
    x0: float

    def _native(self) -> tuple[str, float, float, float, float]:
        raise NotImplementedError


@dataclasses.dataclass(frozen=True, kw_only=True)
class GBM(_Model):
    """dX = mu X dt + vol X dW."""

    name: ClassVar[str] = "gbm"
    vol: float
    mu: float = 0.0

    def _native(self) -> tuple[str, float, float, float, float]:
        return ("gbm", self.x0, self.mu, self.vol, 0.0)


@dataclasses.dataclass(frozen=True, kw_only=True)
class ABM(_Model):
    """dX = mu dt + vol dW (Bachelier)."""

    name: ClassVar[str] = "abm"
    vol: float
    mu: float = 0.0

    def _native(self) -> tuple[str, float, float, float, float]:
        return ("abm", self.x0, self.mu, self.vol, 0.0)


@dataclasses.dataclass(frozen=True, kw_only=True)
class OU(_Model):
    """dX = kappa (theta - X) dt + vol dW (Ornstein-Uhlenbeck, Vasicek)."""

    name: ClassVar[str] = "ou"
    kappa: float
    theta: float
    vol: float

    def _native(self) -> tuple[str, float, float, float, float]:
        return ("ou", self.x0, self.kappa, self.theta, self.vol)


@dataclasses.dataclass(frozen=True, kw_only=True)
class CEV(_Model):
    """dX = mu X dt + vol X^beta dW, the Euler step reflected at 0."""

    name: ClassVar[str] = "cev"
    vol: float
    beta: float
    mu: float = 0.0

    def _native(self) -> tuple[str, float, float, float, float]:
        return ("cev", self.x0, self.mu, self.vol, self.beta)


@dataclasses.dataclass(frozen=True, kw_only=True)
class CIR(_Model):
    """dX = kappa (theta - X+) dt + vol sqrt(X+) dW, full truncation X+ = max(X, 0)."""

    name: ClassVar[str] = "cir"
    kappa: float
    theta: float
    vol: float

    def _native(self) -> tuple[str, float, float, float, float]:
        return ("cir", self.x0, self.kappa, self.theta, self.vol)


@dataclasses.dataclass(frozen=True, kw_only=True, eq=False)
class LocalVol(_Model):
    """dX = mu X dt + sigma(t, X) X dW, the plain Euler step, with sigma given on a grid:
    `vols[i, k]` at (`times[i]`, `states[k]`), both grids strictly increasing.

    Between the states sigma is the natural cubic spline through each time's nodes (its
    first and second derivatives, which the weights need, are continuous), beyond the
    end states the spline's linear continuation (still C2); between the times it is
    linear, before the first and after the last flat. The step from t_j = j T / N uses
    sigma(t_j, X). Vega is d price / d e for the surface (1 + e) sigma: the sensitivity
    to a relative parallel shift of every local vol. The surface is checked and its
    spline built once, when the model is made (copied: later changes to the arrays do not
    reach it).
    """

    name: ClassVar[str] = "local_vol"
    #: The scale whose derivative vega is: sigma -> vol sigma at vol = 1.
    vol: ClassVar[float] = 1.0
    times: NDArray[np.float64]
    states: NDArray[np.float64]
    vols: NDArray[np.float64]
    mu: float = 0.0
    _handle: int = dataclasses.field(init=False, repr=False, default=0)

    def __init__(self, *, x0: float, times: ArrayLike, states: ArrayLike, vols: ArrayLike,
                 mu: float = 0.0) -> None:
        from . import _fused  # the native module, on first use

        native: Any = _fused
        grids = [np.array(a, dtype=np.float64) for a in (times, states, vols)]
        for a in grids:
            a.setflags(write=False)
        handle = int(native._local_vol_surface(*grids))
        for name, value in zip(("x0", "times", "states", "vols", "mu", "_handle"),
                               (x0, *grids, mu, handle)):
            object.__setattr__(self, name, value)
        weakref.finalize(self, native._release_local_vol, float(handle))

    def __reduce__(self) -> tuple[Any, ...]:
        # Handles belong to a process: another one (a Dask worker) builds its own surface.
        return (_local_vol, (self.x0, self.times, self.states, self.vols, self.mu))

    def _native(self) -> tuple[str, float, float, float, float]:
        return ("local_vol", self.x0, float(self._handle), 1.0, self.mu)


def _local_vol(x0: float, times: Any, states: Any, vols: Any, mu: float) -> LocalVol:
    return LocalVol(x0=x0, times=times, states=states, vols=vols, mu=mu)


#: The C signature of a `Compiled` model's coefficient function.
SIGNATURE = "void (double t, double x, double *out)"


def _address(f: object) -> int:
    """The entry point of a compiled `void (double, double, double *)` function."""
    fn: Any = f  # duck-typed: none of the three is a dependency
    sig = getattr(fn, "_sig", None)
    if sig is not None and hasattr(fn, "address"):  # a Numba cfunc
        if str(sig) != "(float64, float64, float64*) -> none":
            raise TypeError(f"argument 'coefficients': expected a cfunc of signature "
                            f"void(float64, float64, CPointer(float64)), got {sig}")
        return int(fn.address)
    if type(f).__name__ == "LowLevelCallable":  # scipy's, a tuple (capsule, data, ...)
        signature, user_data = fn.signature, fn.user_data
        if signature.replace(" ", "") not in ("void(double,double,double*)",) or user_data:
            raise TypeError(f"argument 'coefficients': expected a LowLevelCallable of "
                            f"signature 'void (double, double, double *)' without user "
                            f"data, got {signature!r}")
        get = ctypes.pythonapi.PyCapsule_GetPointer
        get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
        return int(get(fn.function, signature.encode()))
    if isinstance(f, _ctypes.CFuncPtr):  # the base of every ctypes function type
        double = ctypes.c_double
        if (fn.restype is not None or tuple(fn.argtypes or ()) !=
                (double, double, ctypes.POINTER(double))):
            raise TypeError("argument 'coefficients': expected a ctypes function of "
                            "restype None and argtypes (c_double, c_double, "
                            "POINTER(c_double))")
        return int(ctypes.cast(fn, ctypes.c_void_p).value or 0)
    raise TypeError(f"argument 'coefficients': expected a Numba cfunc, a "
                    f"scipy.LowLevelCallable or a ctypes function of signature "
                    f"{SIGNATURE!r}, got {type(f).__qualname__}")


@dataclasses.dataclass(frozen=True, kw_only=True)
class Compiled(_Model):
    """dX = mu(t, X) dt + sigma(t, X) dW by the plain Euler step, with
    `coefficients(t, x, out)` writing mu, sigma, d mu/dx, d sigma/dx, d2 mu/dx2 and
    d2 sigma/dx2 at (t_j, x) to out[0..5], t_j = j horizon / n_steps. It is called
    from the worker threads at once, one state at a time, so it must be a pure
    function (a Numba `cfunc` compiled in nopython mode is). Vega is that of the bump
    sigma -> (1 + e) sigma divided by `vol`: d / d vol when sigma = vol g(t, x).

        from numba import cfunc, types

        @cfunc(types.void(types.float64, types.float64, types.CPointer(types.float64)))
        def gbm(t, x, out):
            out[0] = 0.05 * x; out[1] = 0.2 * x; out[2] = 0.05; out[3] = 0.2
            out[4] = 0.0; out[5] = 0.0

        model = Compiled(x0=1.0, coefficients=gbm, vol=0.2)
    """

    name: ClassVar[str] = "callback"
    coefficients: Any
    vol: float = 1.0

    def _native(self) -> tuple[str, float, float, float, float]:
        return ("callback", self.x0, float(_address(self.coefficients)), self.vol, 0.0)


Model = GBM | ABM | OU | CEV | CIR | LocalVol | Compiled


@dataclasses.dataclass(frozen=True, kw_only=True)
class Heston:
    """dS = mu S dt + sqrt(v) S (rho dB + sqrt(1 - rho^2) dZ),
    dv = kappa (theta - v) dt + xi sqrt(v) dB: the stochastic-volatility model of
    `quarnel.price_and_greeks_heston_fused` and `quarnel.simulate_heston`, with the
    scheme of `price_and_greeks_heston` (full-truncation Euler on v, log-Euler on S).
    Two assets' worth of noise a step, so it is no scalar model: the scalar fused
    functions refuse it."""

    name: ClassVar[str] = "heston"
    s0: float
    v0: float
    kappa: float
    theta: float
    xi: float
    rho: float
    mu: float = 0.0

    def _native(self) -> tuple[float, float, float, float, float, float, float]:
        return (self.s0, self.v0, self.kappa, self.theta, self.xi, self.rho, self.mu)


__all__ = ["ABM", "CEV", "CIR", "GBM", "OU", "Compiled", "Heston", "LocalVol", "Model"]
