// Constant-flow BEL weights, for GBM (sigma(x) = s * x) and ABM (sigma constant):
//   pi[k] = W_T[k] / (T * sigma(X_0)).
#pragma once

#include "core/buffer.hpp"
#include "core/result.hpp"
#include "core/view.hpp"

namespace quarnel {

Result<Buffer> bel_weights_constant_flow(const View1D& w_terminals, double horizon,
                                         double sigma_at_x0);

}  // namespace quarnel
