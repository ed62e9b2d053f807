from typing import SupportsFloat

import numpy as np
from numpy.typing import NDArray

from ._types import Greeks

__all__ = ["normals", "simulate", "price_and_greeks", "price_and_delta", "rows", "state_sum",

           "width",
           "__version__"]

__version__: str

def normals(seed_lo: SupportsFloat, seed_hi: SupportsFloat, n_paths: SupportsFloat,
            n_steps: SupportsFloat, first_path: SupportsFloat = 0.0) -> NDArray[np.float64]: ...
def simulate(model: str, x0: SupportsFloat, a: SupportsFloat, b: SupportsFloat,
             c: SupportsFloat, n_paths: SupportsFloat, n_steps: SupportsFloat,
             horizon: SupportsFloat, seed_lo: SupportsFloat,
             seed_hi: SupportsFloat, pairs: str | None = None) -> NDArray[np.float64]: ...
def price_and_greeks(model: str, x0: SupportsFloat, a: SupportsFloat, b: SupportsFloat,
                     c: SupportsFloat, n_paths: SupportsFloat, n_steps: SupportsFloat,
                     horizon: SupportsFloat, seed_lo: SupportsFloat, seed_hi: SupportsFloat,
                     payoff: str, strike: SupportsFloat = 0.0, estimator: str = "lowest_variance",
                     half_width: SupportsFloat | None = None,
                     rate: SupportsFloat | None = None,
                     strike2: SupportsFloat | None = None,
                     pairs: str | None = None) -> Greeks: ...
def price_and_delta(model: str, x0: SupportsFloat, a: SupportsFloat, b: SupportsFloat,
                    c: SupportsFloat, n_paths: SupportsFloat, n_steps: SupportsFloat,
                    horizon: SupportsFloat, seed_lo: SupportsFloat, seed_hi: SupportsFloat,
                    payoff: str, strike: SupportsFloat = 0.0,
                    rate: SupportsFloat | None = None) -> tuple[float, float, float, float]: ...
def rows(width: SupportsFloat, kind: SupportsFloat, model: str, x0: SupportsFloat, a: SupportsFloat,
         b: SupportsFloat, c: SupportsFloat, n_paths: SupportsFloat, n_steps: SupportsFloat,
         horizon: SupportsFloat, seed_lo: SupportsFloat,
         seed_hi: SupportsFloat) -> NDArray[np.float64] | None: ...
def state_sum(model: str, x0: SupportsFloat, a: SupportsFloat, b: SupportsFloat,
              c: SupportsFloat, n_paths: SupportsFloat, n_steps: SupportsFloat,
              horizon: SupportsFloat, seed_lo: SupportsFloat,
              seed_hi: SupportsFloat) -> tuple[float, float]: ...
def width() -> int: ...
