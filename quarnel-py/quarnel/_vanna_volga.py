"""Vanna and volga of GBM and ABM from exactly sampled terminal data."""

from __future__ import annotations

from typing import Any, Literal, SupportsFloat, cast

from . import _greeks
from ._types import VannaVolga

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
