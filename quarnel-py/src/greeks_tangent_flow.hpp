// Price and Greeks of a built-in payoff from a path batch of any scalar model, through
// the second-order tangent flow (tangent_flow2.hpp): delta and gamma of the simulated
// Euler scheme exactly, vega as the derivative under the parallel volatility bump
// sigma -> (1 + e) sigma at e = 0 (for GBM, sigma(x) = s x, that is s times d/ds).
#pragma once

#include <optional>
#include <string_view>

#include "greeks.hpp"
#include "result.hpp"
#include "view.hpp"

namespace quarnel {

// "weights": every Greek is the mean of f(X_N) times its weight.
// "lowest_variance": identity, call and put pathwise (delta f'(X_N) Y_N, gamma
// f'(X_N) (Y_N pi + H_N), vega f'(X_N) V_N); digital_call localised around the strike
// with a ramp of half-width `half_width` (default: twice the population standard
// deviation of X_N, which biases the estimates by O(1/n)), the remainder centred.
// `vega`: "parallel_bump", or nullopt to skip it (NaN). Rho is always NaN.
// Checks, in order: the states columns and the exact shapes of the six step matrices,
// payoff, estimator, vega, horizon, half_width; then zero diffusion values.
Result<Greeks> price_and_greeks_tangent_flow(
    const View2D& states, const View2D& dws, const View2D& sigma_field, const View2D& d_mu_dx_field,
    const View2D& d_sigma_dx_field, const View2D& d2_mu_dx2_field, const View2D& d2_sigma_dx2_field,
    double horizon, std::string_view payoff, double strike, std::string_view estimator,
    std::optional<std::string_view> vega, std::optional<double> half_width);

}  // namespace quarnel
