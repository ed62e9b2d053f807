"""The package's functions: the native ones, with the batch form and DLPack arrays.

`_quarnel` and `_greeks` stay as they are; each function here is its native function
wrapped once by `accepts_batch`, which reads the native signature to decide what the
batch feeds.
"""

from __future__ import annotations

import _quarnel

from . import _greeks
from ._batch import accepts_batch

bel_weights_constant_flow = accepts_batch(_quarnel.bel_weights_constant_flow)
bel_weights_tangent_flow = accepts_batch(_quarnel.bel_weights_tangent_flow)
bel_weights_tangent_flow_parallel = accepts_batch(_quarnel.bel_weights_tangent_flow_parallel)
price_and_delta_constant_flow = accepts_batch(_quarnel.price_and_delta_constant_flow)
price_and_delta_tangent_flow = accepts_batch(_quarnel.price_and_delta_tangent_flow)
price_from_samples = accepts_batch(_quarnel.price_from_samples)
greek_weights_constant_flow = accepts_batch(_greeks.greek_weights_constant_flow)
greek_weights_tangent_flow = accepts_batch(_greeks.greek_weights_tangent_flow)
greek_weights_tangent_flow_parallel = accepts_batch(_greeks.greek_weights_tangent_flow_parallel)
parameter_weights_tangent_flow = accepts_batch(_greeks.parameter_weights_tangent_flow)
mixed_weights_tangent_flow = accepts_batch(_greeks.mixed_weights_tangent_flow)
price_and_greeks_constant_flow = accepts_batch(_greeks.price_and_greeks_constant_flow)
price_and_greeks_tangent_flow = accepts_batch(_greeks.price_and_greeks_tangent_flow)
