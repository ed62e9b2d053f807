"""Vanna and volga of GBM and ABM from exactly sampled terminal data."""

from __future__ import annotations

import math
from typing import Any, Literal, SupportsFloat, cast, overload

from . import _greeks
from ._batch import PathBatch, accepts_batch
from ._types import Estimator, Pairs, Payoff, VannaVolga

_native: Any = cast(Any, _greeks)  # the private estimator is not in the public stub


def vanna_volga_constant_flow(
    terminal_states: Any,
    w_terminals: Any,
    horizon: SupportsFloat,
    x0: SupportsFloat,
    vol: SupportsFloat,
    payoff: Literal["identity", "call", "put", "digital_call", "digital", "digital_put",
                    "call_spread", "put_spread"],
    strike: SupportsFloat = 0.0,
    model: Literal["gbm", "abm"] = "gbm",
    estimator: Literal["weights", "lowest_variance"] = "lowest_variance",
    half_width: SupportsFloat | None = None,
    rate: SupportsFloat | None = None,
    strike2: SupportsFloat | None = None,
    pairs: Literal["halves", "adjacent"] | None = None,
) -> VannaVolga:
    """Vanna (d2 / dx0 dvol) and volga (d2 / dvol2) of a built-in payoff under GBM or
    ABM, with standard errors, from the arrays and with the arguments, checks and
    conventions of `price_and_greeks_constant_flow`.

    "weights": f(X_T) times the vanna and volga weights (with pi_D the delta and pi_V
    the vega weight, GBM: pi_D pi_V + 1/(s x0) - 2 W/(s^2 T x0) and
    pi_V^2 + 1/s^2 + 3 W/s - 3 W^2/(s^2 T) - T; ABM: pi_D pi_V - 2 W/(s^2 T) and
    pi_V^2 + 1/s^2 - 3 W^2/(s^2 T)). "lowest_variance" (default): for the identity,
    calls, puts and spreads f'(X_T) times the vol-derivative of the pathwise delta and
    vega (GBM: (X/x0) pi_V and X ((W - sT) pi_V - W/s); ABM: pi_V and W pi_V - W/s);
    for the digitals the ramp of the localised estimator taken that way, the rest by
    the weights, centred. With `rate` both come back times exp(-rate T).

        vv = vanna_volga_constant_flow(x_t, w_t, 1.0, 100.0, 0.2, "call", strike=100.0)
        vv.vanna, vv.vanna_stderr
    """
    out = _native._vanna_volga_constant_flow(terminal_states, w_terminals, horizon, x0, vol,
                                             payoff, strike, model, estimator, half_width,
                                             rate, strike2, pairs)
    return VannaVolga(float(out[0]), float(out[1]), float(out[2]), float(out[3]))


_vanna_tangent_flow = accepts_batch(_native._vanna_tangent_flow, name="vanna_tangent_flow")


@overload
def vanna_tangent_flow(batch: PathBatch, /, payoff: Payoff, vol: SupportsFloat,
                       strike: SupportsFloat = 0.0, estimator: Estimator = "lowest_variance",
                       half_width: SupportsFloat | None = None,
                       rate: SupportsFloat | None = None, strike2: SupportsFloat | None = None,
                       pairs: Pairs | None = None) -> VannaVolga: ...
@overload
def vanna_tangent_flow(states: Any, dws: Any, sigma_field: Any, d_mu_dx_field: Any,
                       d_sigma_dx_field: Any, d2_mu_dx2_field: Any, d2_sigma_dx2_field: Any,
                       horizon: SupportsFloat, payoff: Payoff, vol: SupportsFloat,
                       strike: SupportsFloat = 0.0, estimator: Estimator = "lowest_variance",
                       half_width: SupportsFloat | None = None,
                       rate: SupportsFloat | None = None, strike2: SupportsFloat | None = None,
                       pairs: Pairs | None = None) -> VannaVolga: ...
def vanna_tangent_flow(*args: Any, **kwargs: Any) -> VannaVolga:
    """Vanna (d2 / dx0 dvol) of a built-in payoff from a path batch of any scalar model
    simulated by the Euler scheme, exact for that scheme, with its standard error.

    Arguments, checks and conventions as for `price_and_greeks_tangent_flow`, with `vol`
    (the level the batch's sigma scales with, sigma(x) = vol * s(x)) required. Volga
    would need the second derivatives of the coefficients in vol, which a batch does
    not hold: it is NaN.

    "weights": f(X_T) times the mixed weight of `mixed_weights_tangent_flow` for the
    parallel volatility bump, over `vol`. "lowest_variance" (default): for the identity,
    calls, puts and spreads the pathwise form f'(X_T) (Y_T q + M Y_T), q the bump's
    weight and M Y_T the bump-derivative of the tangent along the direction that leaves
    X_T fixed; for the digitals the ramp taken that way and the rest by the weight,
    centred (`half_width` as there).

        vv = vanna_tangent_flow(batch, "call", vol=0.2, strike=100.0)
        vv.vanna, vv.vanna_stderr
    """
    out = _vanna_tangent_flow(*args, **kwargs)
    return VannaVolga(float(out[0]), math.nan, float(out[1]), math.nan)
