# The primitives of quarnel._path_native (quarnel-py/src/modules/paths.cpp), which
# quarnel/_paths.py and quarnel/_dask_paths.py compose.
from typing import Any

import numpy as np

from ._types import Greeks

__all__ = ["__version__"]

__version__: str

def _rows(model: str, states: Any, dws: Any, sigma: Any, d_mu_dx: Any, d_sigma_dx: Any,
          d2_mu_dx2: Any, d2_sigma_dx2: Any, horizon: float, x0: float, vol: float,
          product: str, barrier: float, direction: str, knock: str, dates: Any,
          first_date: float, first_path: float, threads: str) -> np.ndarray: ...
def _sums(rows: Any, sums: Any, product: str, payoff: str, strike: float, rebate: float,
          estimator: str, half_width: float, rate: float, horizon: float,
          vega_weights: float) -> np.ndarray: ...
def _moments(rows: Any, column: float, sums: Any) -> np.ndarray: ...
def _finish(sums: Any, centred: float, vega: float) -> Greeks: ...
