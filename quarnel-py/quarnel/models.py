"""The built-in models of the fused estimators (`quarnel.price_and_greeks_fused`,
`quarnel.simulate`), each simulated by the Euler scheme on a uniform grid.

`vol` is the volatility parameter s that `vega` differentiates in (the diffusion
coefficient is linear in it for every family):

- `GBM`: dX = mu X dt + s X dW
- `ABM`: dX = mu dt + s dW
- `OU`: dX = kappa (theta - X) dt + s dW
- `CEV`: dX = mu X dt + s X^beta dW, each Euler step reflected at 0 (X' = |X + ...|)
- `CIR`: dX = kappa (theta - X+) dt + s sqrt(X+) dW, X+ = max(X, 0) (full truncation)

The weights divide by the diffusion coefficient, so a CIR path that reaches zero (or a
CEV path that lands exactly on it) raises the zero-diffusion ValueError of the
stored-batch estimators: keep CIR's Feller ratio 2 kappa theta / s^2 well above 1 and
the grid fine enough for the paths not to cross zero. The CEV reflection is not in the
tangent (the stored-batch kernel has none either): keep x0 many standard deviations
from zero.
"""

from __future__ import annotations

import dataclasses
from typing import ClassVar


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


Model = GBM | ABM | OU | CEV | CIR

__all__ = ["ABM", "CEV", "CIR", "GBM", "OU", "Model"]
