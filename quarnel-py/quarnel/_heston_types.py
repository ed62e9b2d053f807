"""The result type of quarnel.price_and_greeks_heston."""

from __future__ import annotations

from typing import NamedTuple


class HestonGreeks(NamedTuple):
    """Price and Greeks of one payoff under Heston, each with the population standard
    error of its per-path sample (discounted when a rate was given). ``vega`` is
    d price / d sqrt(v0), the initial volatility; ``rho`` is the correlation's Greek."""

    price: float
    delta: float
    gamma: float
    vega: float
    kappa: float
    theta: float
    xi: float
    rho: float
    price_stderr: float
    delta_stderr: float
    gamma_stderr: float
    vega_stderr: float
    kappa_stderr: float
    theta_stderr: float
    xi_stderr: float
    rho_stderr: float
