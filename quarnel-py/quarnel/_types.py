"""Result types of the package (imported by the native modules to build results)."""

from __future__ import annotations

from typing import Any, Literal, NamedTuple, Protocol, TypeAlias

# The choices of the package's text arguments, named once for every signature. (The
# type checker's stub test cannot compare a Literal alias with its run-time value: the
# names are on its allow list.)
DeltaPayoff: TypeAlias = Literal["identity", "call", "put", "digital_call"]
Payoff: TypeAlias = Literal["identity", "call", "put", "digital_call", "digital", "digital_put",
                            "call_spread", "put_spread"]
#: The payoffs of a path functional, of a Heston terminal value and of a basket's level.
LevelPayoff: TypeAlias = Literal["call", "put", "digital", "digital_put"]
BasketPayoff: TypeAlias = Literal["call", "put", "digital", "digital_put", "spread", "exchange",
                                  "best_of_call", "best_of_put", "worst_of_call", "worst_of_put"]
Estimator: TypeAlias = Literal["weights", "lowest_variance"]
Model: TypeAlias = Literal["gbm", "abm"]
Pairs: TypeAlias = Literal["halves", "adjacent"]
Direction: TypeAlias = Literal["down", "up"]
Knock: TypeAlias = Literal["out", "in"]
Average: TypeAlias = Literal["arithmetic", "geometric"]


class Greeks(NamedTuple):
    """Price E[f(X_T)] (times exp(-r T) when the call was given `rate=r`) and its
    sensitivities, each with the population standard error of its Monte Carlo mean.
    `vega` is always d price / d vol, the absolute volatility. A Greek that was not
    computed is NaN, and so is the standard error of an estimate that is not finite."""

    price: float
    delta: float
    gamma: float
    vega: float
    rho: float
    price_stderr: float
    delta_stderr: float
    gamma_stderr: float
    vega_stderr: float
    rho_stderr: float


class VannaVolga(NamedTuple):
    """Vanna d2 price / (dx0 dvol) and volga d2 price / dvol2 (vol the absolute
    volatility), each with the population standard error of its Monte Carlo mean; times
    exp(-r T) when the call was given `rate=r`."""

    vanna: float
    volga: float
    vanna_stderr: float
    volga_stderr: float


class SupportsDLPack(Protocol):
    """An array that exports its memory by DLPack (a PyTorch tensor, a JAX array)."""

    def __dlpack__(self, *args: Any, **kwargs: Any) -> Any: ...
    def __dlpack_device__(self) -> tuple[Any, Any]: ...
