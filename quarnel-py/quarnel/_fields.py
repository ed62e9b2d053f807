"""Coefficient fields for the parameter weights of common model parameters."""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray


def parallel_volatility_bump(
    sigma: NDArray[np.float64], d_sigma_dx: NDArray[np.float64]
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
    """The fields `(d_mu_dp, d_sigma_dp, d2_mu_dx_dp, d2_sigma_dx_dp)` of the parallel
    volatility bump sigma -> (1 + e) sigma, drift unchanged, for
    `parameter_weights_tangent_flow`: its weights then give d/de at e = 0 (for
    sigma(x) = s x, s times d/ds). The drift fields are read-only zero-stride zeros of
    sigma's shape, so they cost no memory:

        q = parameter_weights_tangent_flow(
            states, dws, sig, dmu, dsig, d2mu, d2sig,
            *parallel_volatility_bump(sig, dsig), horizon)
    """
    zeros = np.broadcast_to(np.float64(0.0), np.shape(sigma))
    return zeros, sigma, zeros, d_sigma_dx
