"""quarnel: fast Monte Carlo prices and Greeks of scalar SDEs, on NumPy arrays.

You simulate the paths of dX = mu(X) dt + sigma(X) dW with NumPy (or anything that
gives float64 arrays); quarnel takes the arrays as they are (any strides, no copies)
and returns the price and its sensitivities, each with its standard error. Deltas,
gammas and vegas come from integration-by-parts (BEL) weights, which need no bumped
revaluation and stay well defined for discontinuous payoffs such as digitals.

- Delta: `price_and_delta_constant_flow` (GBM and ABM, exact terminal sampling) and
  `price_and_delta_tangent_flow` (any scalar model on an Euler grid), or the per-path
  weights `bel_weights_constant_flow`, `bel_weights_tangent_flow` and
  `bel_weights_tangent_flow_parallel` to combine with your own payoff.
- Gamma, vega and drift rho beside delta under GBM and ABM:
  `price_and_greeks_constant_flow` (built-in payoffs, lowest-variance estimators by
  default) and the per-path weights `greek_weights_constant_flow`.
- Delta, gamma and vega of any scalar model on an Euler grid, exact for the simulated
  scheme: `price_and_greeks_tangent_flow`, or the per-path weights
  `greek_weights_tangent_flow` (and `_parallel`) and `parameter_weights_tangent_flow`
  (any model parameter; `parallel_volatility_bump` gives the fields of vega).
- Vanna and volga under GBM and ABM: `vanna_volga_constant_flow`; the vanna of any
  scalar model on an Euler grid: `vanna_tangent_flow`, or the per-path weights of any
  cross sensitivity d2/dx0 dp, `mixed_weights_tangent_flow`.
- A ladder of strikes from one pass: `price_and_greeks_ladder_constant_flow`.
- `price_from_samples`: the Monte Carlo mean and standard error of payoff samples.
- `PathBatch`: a simulated batch held by name, which every tangent-flow function takes
  in place of its arrays (`bel_weights_tangent_flow(batch)`).

Arrays are float64 NumPy arrays or CPU arrays exporting DLPack (PyTorch, JAX), read in
place whatever their strides.

Prices are undiscounted unless `rate=` is given to a price-and-Greeks function (the
six functions of `_quarnel` have no rate: multiply by exp(-r T)). Floating point is
reproducible bit for bit on every platform and thread count. `quarnel.dask` runs the
same estimators over Dask arrays, with results equal to one call.
"""

from __future__ import annotations

from . import _greeks

#: The package's version (the CHANGELOG's), which `quarnel._greeks` carries from the
#: build; `_quarnel.__version__` is that extension's own and stays as it is specified.
__version__: str = _greeks.__version__
from ._api import (
    bel_weights_constant_flow,
    bel_weights_tangent_flow,
    bel_weights_tangent_flow_parallel,
    greek_weights_constant_flow,
    greek_weights_tangent_flow,
    greek_weights_tangent_flow_parallel,
    mixed_weights_tangent_flow,
    parameter_weights_tangent_flow,
    price_and_delta_constant_flow,
    price_and_delta_tangent_flow,
    price_and_greeks_constant_flow,
    price_and_greeks_tangent_flow,
    price_from_samples,
)
from ._batch import ParameterFields, PathBatch
from ._fields import parallel_volatility_bump
from ._ladder import GreeksLadder, price_and_greeks_ladder_constant_flow
from ._types import Greeks, VannaVolga
from ._vanna_volga import vanna_tangent_flow, vanna_volga_constant_flow

#: Raised for an internal fault of the native code (a broken invariant), never for a
#: bad argument. Like SystemExit it derives from BaseException, so `except Exception`
#: does not swallow it.
PanicException: type[BaseException] = _greeks._panic_exception()

__all__ = [
    "Greeks",
    "PanicException",
    "ParameterFields",
    "PathBatch",
    "__version__",
    "bel_weights_constant_flow",
    "bel_weights_tangent_flow",
    "bel_weights_tangent_flow_parallel",
    "greek_weights_constant_flow",
    "greek_weights_tangent_flow",
    "greek_weights_tangent_flow_parallel",
    "mixed_weights_tangent_flow",
    "parallel_volatility_bump",
    "parameter_weights_tangent_flow",
    "price_and_delta_constant_flow",
    "price_and_delta_tangent_flow",
    "price_and_greeks_constant_flow",
    "price_and_greeks_tangent_flow",
    "price_from_samples",
    "VannaVolga",
    "vanna_tangent_flow",
    "vanna_volga_constant_flow",
    "GreeksLadder",
    "price_and_greeks_ladder_constant_flow",
]

# Several correlated assets: the delta vector, gamma matrix and vega vector.
from ._basket_api import (  # noqa: E402
    BasketGreeks,
    BasketWeights,
    greek_weights_basket,
    price_and_greeks_basket,
)

__all__ += ["BasketGreeks", "BasketWeights", "greek_weights_basket", "price_and_greeks_basket"]
# Heston: tangents, Greek weights and price-and-Greeks from the caller's increments.
from ._heston import greek_weights_heston, price_and_greeks_heston, tangents_heston  # noqa: E402
from ._heston_types import HestonGreeks  # noqa: E402

__all__ += ["HestonGreeks", "greek_weights_heston", "price_and_greeks_heston", "tangents_heston"]
# Path-dependent products: barriers, Asians, and weights for any payoff of the path.
from ._paths import (  # noqa: E402
    path_weights_gbm,
    path_weights_gbm_parallel,
    path_weights_tangent_flow,
    path_weights_tangent_flow_parallel,
    price_and_greeks_asian_gbm,
    price_and_greeks_asian_tangent_flow,
    price_and_greeks_barrier_gbm,
    price_and_greeks_barrier_tangent_flow,
)

__all__ += [
    "path_weights_gbm",
    "path_weights_gbm_parallel",
    "path_weights_tangent_flow",
    "path_weights_tangent_flow_parallel",
    "price_and_greeks_asian_gbm",
    "price_and_greeks_asian_tangent_flow",
    "price_and_greeks_barrier_gbm",
    "price_and_greeks_barrier_tangent_flow",
]
# Simulation and estimation in one pass, for the built-in models of quarnel.models.
from . import models  # noqa: E402
from ._fused_api import (  # noqa: E402
    normals,
    price_and_delta_fused,
    price_and_greeks_fused,
    price_and_greeks_heston_fused,
    simulate,
    simulate_heston,
)

__all__ += ["models", "normals", "price_and_delta_fused", "price_and_greeks_fused",
            "price_and_greeks_heston_fused", "simulate", "simulate_heston"]
# Users who simulate themselves: the tangent flow fed one Euler step at a time.
from ._stream_api import TangentFlowAccumulator  # noqa: E402

__all__ += ["TangentFlowAccumulator"]
