"""Coefficient fields for the parameter weights of common model parameters."""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import _arrays
from ._batch import _describe
from ._types import SupportsDLPack


def _float64(name: str, a: object) -> NDArray[np.float64]:
    if _arrays.is_exporter(a):
        a = _arrays.from_exporter(name, a)
    if not isinstance(a, np.ndarray) or a.dtype != np.float64:
        raise TypeError(f"argument '{name}': expected a float64 numpy.ndarray, got "
                        f"{_describe(a)}")
    out: NDArray[np.float64] = a
    return out


def parallel_volatility_bump(
    sigma: NDArray[np.float64] | SupportsDLPack, d_sigma_dx: NDArray[np.float64] | SupportsDLPack
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
    """The fields `(d_mu_dp, d_sigma_dp, d2_mu_dx_dp, d2_sigma_dx_dp)` of the parallel
    volatility bump sigma -> (1 + e) sigma, drift unchanged, for
    `parameter_weights_tangent_flow`: its weights then give d/de at e = 0 (for
    sigma(x) = s x, s times d/ds). The drift fields are read-only zero-stride zeros of
    sigma's shape, so they cost no memory:

        q = parameter_weights_tangent_flow(
            states, dws, sig, dmu, dsig, d2mu, d2sig,
            *parallel_volatility_bump(sig, dsig), horizon)

    Both arrays are float64 of the same shape (CPU DLPack arrays are read in place).
    """
    s = _float64("sigma", sigma)
    ds = _float64("d_sigma_dx", d_sigma_dx)
    if s.shape != ds.shape:
        raise ValueError(f"sigma and d_sigma_dx must have the same shape, got {s.shape} and "
                         f"{ds.shape}")
    zeros: Any = np.broadcast_to(np.float64(0.0), s.shape)
    return zeros, s, zeros, ds
