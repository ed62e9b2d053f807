"""Result types of the package (imported by the native modules to build results)."""

from __future__ import annotations

from typing import Any, NamedTuple, Protocol


class Greeks(NamedTuple):
    """Undiscounted price E[f(X_T)] and its sensitivities, each with the population
    standard error of its Monte Carlo mean. A Greek that was not computed is NaN."""

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


class SupportsDLPack(Protocol):
    """An array that exports its memory by DLPack (a PyTorch tensor, a JAX array)."""

    def __dlpack__(self, *args: Any, **kwargs: Any) -> Any: ...
    def __dlpack_device__(self) -> tuple[Any, Any]: ...
