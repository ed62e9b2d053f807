from typing import Literal, SupportsFloat, overload

import numpy as np
from numpy.typing import NDArray

from ._batch import PathBatch
from ._types import Greeks, SupportsDLPack

# A float64 ndarray, or a CPU array exporting DLPack; the dtype is checked at run time.
_Array = NDArray[np.float64] | SupportsDLPack
_Floats = NDArray[np.float64]
_DeltaPayoff = Literal["identity", "call", "put", "digital_call"]
_Payoff = Literal["identity", "call", "put", "digital_call", "digital", "digital_put",
                  "call_spread", "put_spread"]
_Estimator = Literal["weights", "lowest_variance"]
_Model = Literal["gbm", "abm"]

def price_from_samples(samples: _Array) -> tuple[float, float]: ...
def bel_weights_constant_flow(
    w_terminals: _Array, horizon: SupportsFloat, sigma_at_x0: SupportsFloat
) -> _Floats: ...
def price_and_delta_constant_flow(
    terminal_states: _Array,
    w_terminals: _Array,
    horizon: SupportsFloat,
    sigma_at_x0: SupportsFloat,
    payoff: _DeltaPayoff,
    strike: SupportsFloat = 0.0,
) -> tuple[float, float, float, float]: ...
def greek_weights_constant_flow(
    w_terminals: _Array,
    horizon: SupportsFloat,
    x0: SupportsFloat,
    vol: SupportsFloat,
    model: _Model = "gbm",
) -> _Floats: ...
def price_and_greeks_constant_flow(
    terminal_states: _Array,
    w_terminals: _Array,
    horizon: SupportsFloat,
    x0: SupportsFloat,
    vol: SupportsFloat,
    payoff: _Payoff,
    strike: SupportsFloat = 0.0,
    model: _Model = "gbm",
    estimator: _Estimator = "lowest_variance",
    half_width: SupportsFloat | None = None,
    rate: SupportsFloat | None = None,
    strike2: SupportsFloat | None = None,
    pairs: Literal["halves", "adjacent"] | None = None,
) -> Greeks: ...
@overload
def bel_weights_tangent_flow(batch: PathBatch, /) -> _Floats: ...
@overload
def bel_weights_tangent_flow(
    states: _Array,
    dws: _Array,
    sigma: _Array,
    d_mu_dx: _Array,
    d_sigma_dx: _Array,
    horizon: SupportsFloat,
) -> _Floats: ...
@overload
def bel_weights_tangent_flow_parallel(batch: PathBatch, /) -> _Floats: ...
@overload
def bel_weights_tangent_flow_parallel(
    states: _Array,
    dws: _Array,
    sigma: _Array,
    d_mu_dx: _Array,
    d_sigma_dx: _Array,
    horizon: SupportsFloat,
) -> _Floats: ...
@overload
def price_and_delta_tangent_flow(
    batch: PathBatch, /, payoff: _DeltaPayoff, strike: SupportsFloat = 0.0
) -> tuple[float, float, float, float]: ...
@overload
def price_and_delta_tangent_flow(
    states: _Array,
    dws: _Array,
    sigma_field: _Array,
    d_mu_dx_field: _Array,
    d_sigma_dx_field: _Array,
    horizon: SupportsFloat,
    payoff: _DeltaPayoff,
    strike: SupportsFloat = 0.0,
) -> tuple[float, float, float, float]: ...
@overload
def greek_weights_tangent_flow(batch: PathBatch, /) -> _Floats: ...
@overload
def greek_weights_tangent_flow(
    states: _Array,
    dws: _Array,
    sigma: _Array,
    d_mu_dx: _Array,
    d_sigma_dx: _Array,
    d2_mu_dx2: _Array,
    d2_sigma_dx2: _Array,
    horizon: SupportsFloat,
) -> _Floats: ...
@overload
def greek_weights_tangent_flow_parallel(batch: PathBatch, /) -> _Floats: ...
@overload
def greek_weights_tangent_flow_parallel(
    states: _Array,
    dws: _Array,
    sigma: _Array,
    d_mu_dx: _Array,
    d_sigma_dx: _Array,
    d2_mu_dx2: _Array,
    d2_sigma_dx2: _Array,
    horizon: SupportsFloat,
) -> _Floats: ...
@overload
def parameter_weights_tangent_flow(batch: PathBatch, /, parameter: str) -> _Floats: ...
@overload
def parameter_weights_tangent_flow(
    states: _Array,
    dws: _Array,
    sigma: _Array,
    d_mu_dx: _Array,
    d_sigma_dx: _Array,
    d2_mu_dx2: _Array,
    d2_sigma_dx2: _Array,
    d_mu_dp: _Array,
    d_sigma_dp: _Array,
    d2_mu_dx_dp: _Array,
    d2_sigma_dx_dp: _Array,
    horizon: SupportsFloat,
) -> _Floats: ...
@overload
def mixed_weights_tangent_flow(batch: PathBatch, /, parameter: str) -> _Floats: ...
@overload
def mixed_weights_tangent_flow(
    states: _Array,
    dws: _Array,
    sigma: _Array,
    d_mu_dx: _Array,
    d_sigma_dx: _Array,
    d2_mu_dx2: _Array,
    d2_sigma_dx2: _Array,
    d_mu_dp: _Array,
    d_sigma_dp: _Array,
    d2_mu_dx_dp: _Array,
    d2_sigma_dx_dp: _Array,
    horizon: SupportsFloat,
) -> _Floats: ...
@overload
def price_and_greeks_tangent_flow(
    batch: PathBatch,
    /,
    payoff: _Payoff,
    strike: SupportsFloat = 0.0,
    estimator: _Estimator = "lowest_variance",
    vol: SupportsFloat | None = None,
    half_width: SupportsFloat | None = None,
    rate: SupportsFloat | None = None,
    strike2: SupportsFloat | None = None,
    pairs: Literal["halves", "adjacent"] | None = None,
) -> Greeks: ...
@overload
def price_and_greeks_tangent_flow(
    states: _Array,
    dws: _Array,
    sigma_field: _Array,
    d_mu_dx_field: _Array,
    d_sigma_dx_field: _Array,
    d2_mu_dx2_field: _Array,
    d2_sigma_dx2_field: _Array,
    horizon: SupportsFloat,
    payoff: _Payoff,
    strike: SupportsFloat = 0.0,
    estimator: _Estimator = "lowest_variance",
    vol: SupportsFloat | None = None,
    half_width: SupportsFloat | None = None,
    rate: SupportsFloat | None = None,
    strike2: SupportsFloat | None = None,
    pairs: Literal["halves", "adjacent"] | None = None,
) -> Greeks: ...
