// The chunk primitives of price_and_greeks_constant_flow and price_and_greeks_tangent_flow
// (see chunks.hpp for the scheme). Each per-path sample here comes from the single
// call's own per-path sample functions (quarnel/greeks_from_paths.hpp,
// greeks_tangent_flow.hpp); only the sums are carried across chunks.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "core/buffer.hpp"
#include "core/greeks.hpp"
#include "core/matrix.hpp"
#include "core/path_batch.hpp"
#include "core/result.hpp"
#include "core/view.hpp"

namespace quarnel {

// Sample columns of price_and_greeks_constant_flow over a chunk. Weights and pathwise
// estimators: (n, 5), the price, delta, gamma, vega and rho samples. The centred ones
// (the localised digitals, for the ramp half-width `width`, which may be 0 or NaN: the
// ramp is then off; the blended spreads): (n, 13), f, u[4], v[4] and u[i] * v[i] of
// their sums.
// With `rate_rho` the rho column is the discounted call's combined sample, rho - T f.
// The arguments are checked beforehand by the single call, on empty stand-ins.
Result<Matrix> greeks_constant_flow_chunk_samples(const View1D& terminal_states,
                                                  const View1D& w_terminals, double horizon,
                                                  double x0, double vol, std::string_view payoff,
                                                  double strike, std::string_view model,
                                                  std::string_view estimator, double width,
                                                  bool rate_rho, double strike2);

// The single calls' last steps on [means..., stderrs...] of the finished sums: 10
// numbers of the constant flow (finish_greeks) or 8 of the tangent flow's price,
// delta, gamma and bump vega (finish_tangent_greeks).
Result<Greeks> finish_chunked_greeks(const View1D& estimates, double horizon,
                                     std::optional<double> vol, std::optional<double> rate);

// [price and m Greek means, their m + 1 stderrs] of the localised digital from the final
// sums of its 1 + 3 m columns (f, u[m], v[m], u[i] * v[i]): each Greek centred on its
// weight by centre_on_weight, as the single calls do.
Result<Buffer> localised_digital_finish(const View1D& sums, std::size_t n);

// The default ramp half-width, twice the population standard deviation of n values,
// from their sums [S(x), S(x * x)].
Result<Buffer> default_half_width_of(const View1D& sums, std::size_t n);

// The kernel rows of price_and_greeks_tangent_flow over a chunk, with X_N in front:
// (n, 5) X_N, pi, pi_g, Y_N, H_N, and with vega (n, 7) adding V_N and the vega weight.
// A zero diffusion value is reported with its path's index in the batch.
Result<Matrix> greek_rows_tangent_flow_chunk(const SecondOrderPaths& batch, bool with_vega,
                                             std::size_t first_path);

// Samples of price_and_greeks_tangent_flow from rows of greek_rows_tangent_flow_chunk:
// (n, 4), price, delta, gamma and vega, or for the centred estimators (the localised
// digitals with ramp half-width `width`, the blended spreads) (n, 10), f, u[3], v[3]
// and u[i] * v[i].
Result<Matrix> greeks_tangent_flow_chunk_samples(const View2D& rows, std::string_view payoff,
                                                 double strike, std::string_view estimator,
                                                 double width, double strike2);

// greek_weights_tangent_flow over a chunk whose first row is path `first_path` of the
// batch, and its checks alone (for stand-ins of the whole batch).
Result<Matrix> greek_weights_tangent_flow_chunk(const SecondOrderPaths& batch,
                                                std::size_t first_path);
std::optional<ModelError> check_greek_weights_tangent_flow(const SecondOrderPaths& batch);

// parameter_weights_tangent_flow over a chunk whose first row is path `first_path` of
// the batch, and its checks alone.
Result<Buffer> parameter_weights_tangent_flow_chunk(const ParameterPaths& batch,
                                                    std::size_t first_path);
std::optional<ModelError> check_parameter_weights_tangent_flow(const ParameterPaths& batch);

// mixed_weights_tangent_flow over a chunk; its checks are the parameter weights'.
Result<Buffer> mixed_weights_tangent_flow_chunk(const ParameterPaths& batch,
                                                std::size_t first_path);

}  // namespace quarnel
