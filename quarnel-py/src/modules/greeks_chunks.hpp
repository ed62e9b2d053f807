// The primitives of quarnel.dask: per-path samples of a chunk of paths, and running
// sums continued across chunks in chunk order, so that a result assembled from chunks
// equals one call on the whole batch bit for bit. Private functions of quarnel._greeks.
#pragma once

#include <span>

#include "bind/module.hpp"

namespace quarnel::py {

std::span<const Method> chunked_methods();

}  // namespace quarnel::py
