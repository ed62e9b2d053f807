"""A ladder of strikes from one pass over a constant-flow batch."""

from __future__ import annotations

import importlib
from dataclasses import dataclass
from typing import Any, Literal, SupportsFloat, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _greeks
from ._types import Greeks

_native: Any = cast(Any, _greeks)  # the private estimator is not in the public stub

Floats = NDArray[np.float64]


@dataclass(frozen=True)
class GreeksLadder:
    """The `Greeks` of every strike of a ladder: each field an array with one entry a
    strike, in the order of `strikes`. `ladder[i]` is strike i's `Greeks`, equal bit
    for bit to `price_and_greeks_constant_flow` with that strike; `to_frame()` gives a
    pandas DataFrame indexed by strike (pandas is needed for that alone)."""

    strikes: Floats
    values: Floats  # (n_strikes, 10), the Greeks fields in their order

    def __len__(self) -> int:
        return int(self.values.shape[0])

    def __getitem__(self, i: int) -> Greeks:
        return Greeks(*(float(v) for v in self.values[i]))

    def __getattr__(self, name: str) -> Floats:
        if name in Greeks._fields:
            column: Floats = self.values[:, Greeks._fields.index(name)]
            return column
        raise AttributeError(name)

    def to_frame(self) -> Any:
        """A pandas DataFrame: one row a strike (the index, named "strike"), one column
        a field of `Greeks`."""
        # An optional dependency, imported by name: no stubs are required to type-check.
        pd: Any = importlib.import_module("pandas")
        return pd.DataFrame(self.values, columns=list(Greeks._fields),
                            index=pd.Index(self.strikes, name="strike"))


def price_and_greeks_ladder_constant_flow(
    terminal_states: Any,
    w_terminals: Any,
    horizon: SupportsFloat,
    x0: SupportsFloat,
    vol: SupportsFloat,
    payoff: Literal["identity", "call", "put", "digital_call", "digital", "digital_put"],
    strikes: ArrayLike,
    model: Literal["gbm", "abm"] = "gbm",
    estimator: Literal["weights", "lowest_variance"] = "lowest_variance",
    half_width: SupportsFloat | None = None,
    rate: SupportsFloat | None = None,
) -> GreeksLadder:
    """`price_and_greeks_constant_flow` for every strike of `strikes` (a 1-D float64
    array or sequence) from one pass over the paths: the weights and the pathwise
    multipliers of a path are formed once, each strike keeps its own sums in path
    order, so strike i's numbers are the single call's bit for bit. Arguments, checks
    and conventions are the single call's (a strike that is not finite:
    "strikes[i] must be finite, got nan"); the spreads have no ladder.

        ladder = price_and_greeks_ladder_constant_flow(x_t, w_t, 1.0, 100.0, 0.2, "call",
                                                       np.linspace(80.0, 120.0, 41))
        ladder.delta, ladder[0].gamma, ladder.to_frame()
    """
    ks = np.ascontiguousarray(strikes, dtype=np.float64)
    if ks.ndim != 1:
        raise TypeError(f"argument 'strikes': expected a 1-D array of strikes, got "
                        f"ndim={ks.ndim}")
    out = _native._price_and_greeks_ladder_constant_flow(
        terminal_states, w_terminals, horizon, x0, vol, payoff, ks, model, estimator,
        half_width, rate)
    return GreeksLadder(ks.copy(), out)
