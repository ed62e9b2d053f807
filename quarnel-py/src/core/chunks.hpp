// Estimators over a batch split by rows into chunks, with results equal bit for bit
// to one call on the whole batch. Every estimator here is a set of running sums, each
// a left-to-right chain over the paths, so a batch in chunks needs only:
// - the per-path samples of one chunk, formed by the single call's own code;
// - the sums continued over a chunk's samples from the sums of the chunks before it
//   (each sum is s1 = s1 + v and s2 = s2 + v * v, as TwoStreamSums does per lane);
// - the single call's mean and standard error from the final sums.
// A chunk's errors name paths by their index in the whole batch: `first_path` is the
// batch index of the chunk's first row.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "core/buffer.hpp"
#include "core/matrix.hpp"
#include "core/path_batch.hpp"
#include "core/result.hpp"
#include "core/view.hpp"

namespace quarnel {

// Samples (n_paths, 2) of price_and_delta_constant_flow: (f(X_T), delta sample). Checks
// as that function does.
Result<Matrix> constant_flow_chunk_samples(const View1D& terminal_states, const View1D& w_terminals,
                                           double horizon, double sigma_at_x0,
                                           std::string_view payoff, double strike);

// Samples (n_paths, 2) of price_and_delta_tangent_flow over one chunk of paths.
Result<Matrix> tangent_flow_chunk_samples(const FirstOrderPaths& batch, std::string_view payoff,
                                          double strike, std::size_t first_path);

// bel_weights_tangent_flow over one chunk of paths.
Result<Buffer> bel_weights_tangent_flow_chunk(const FirstOrderPaths& batch, std::size_t first_path);

// Only the checks of bel_weights_tangent_flow: a chunked batch is checked as a whole
// before any chunk runs, on stand-in arrays of its shape.
std::optional<ModelError> check_bel_weights_tangent_flow(const FirstOrderPaths& batch);

// The sums [s1_0 .. s1_{m-1}, s2_0 .. s2_{m-1}] of the m sample columns, continued from
// `start` (the same layout) over the rows of `samples` in order.
Result<Buffer> continue_sums(const View2D& samples, const View1D& start);

// [mean_0 .. mean_{m-1}, stderr_0 .. stderr_{m-1}] of n samples from final sums in the
// layout of continue_sums, by mean_stderr.
Result<Buffer> finish_sums(const View1D& sums, std::size_t n);

// A path count or index passed as a float: a whole number in [0, 2^53).
Result<std::size_t> to_count(double value, const char* name);

}  // namespace quarnel
