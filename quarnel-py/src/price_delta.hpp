// The high-level price-and-delta routines for the built-in payoffs.
#pragma once

#include <string_view>

#include "quarnel/from_paths.hpp"
#include "result.hpp"
#include "view.hpp"

namespace quarnel {

// Constant flow: delta = mean of f(X_T) * W_T / (T * sigma(X_0)). Checks, in order: the
// lengths, the payoff name, then horizon > 0 and sigma_at_x0 > 0.
Result<PriceDelta> price_and_delta_constant_flow(const View1D& terminal_states,
                                                 const View1D& w_terminals, double horizon,
                                                 double sigma_at_x0, std::string_view payoff,
                                                 double strike);

// Tangent flow over a whole path batch, in one pass: each path's weight is computed
// and used at once, so no weight array is made. Checks, in order: the column count of
// `states`, the payoff name, horizon > 0, then that each per-step matrix covers the
// batch (it may be larger: extra rows and columns are ignored; an empty batch reads
// nothing and checks no size).
Result<PriceDelta> price_and_delta_tangent_flow(const View2D& states, const View2D& dws,
                                                const View2D& sigma_field,
                                                const View2D& d_mu_dx_field,
                                                const View2D& d_sigma_dx_field, double horizon,
                                                std::string_view payoff, double strike);

}  // namespace quarnel
