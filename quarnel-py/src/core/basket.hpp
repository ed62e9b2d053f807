// Price and Greeks of payoffs on d correlated assets (GBM or ABM, exact terminal
// sampling): the delta vector, the gamma matrix with its cross-gammas and the vega
// vector, each with its standard error, and the per-path weights behind them.
//
// Every estimate is a sample mean whose sum runs in blocks of kBasketBlock paths: each
// block's sum is a left-to-right chain from zero, and the total adds the block sums in
// path order. Blocks are independent, so the worker pool can form them in any order and
// on any number of threads, and a batch in chunks of any size (quarnel.dask) continues
// the same chains: the bits never depend on either.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "core/buffer.hpp"
#include "core/matrix.hpp"
#include "core/result.hpp"
#include "core/view.hpp"
#include "core/work_scope.hpp"

namespace quarnel {

inline constexpr std::size_t kBasketBlock = 1024;

struct BasketArgs {
    View2D terminal_states;  // (n_paths, d)
    View2D w_terminals;      // (n_paths, d), independent Brownian values at the horizon
    View1D x0;
    View1D vols;
    View2D correlation;
    double horizon = 0.0;
    std::string_view payoff;
    double strike = 0.0;
    View1D weights;  // of the basket payoffs; ignored by the others
    std::string_view model;
    std::string_view estimator;
    std::optional<double> half_width;
    std::optional<double> rate;
};

// The number of sample columns for d assets: price, d deltas, the d (d + 1) / 2 gammas
// of the upper triangle (row by row), d vegas.
inline constexpr std::size_t basket_columns(std::size_t d) noexcept {
    return 1 + d + d * (d + 1) / 2 + d;
}

// [means of the columns, their standard errors]. Checks, in order: the two arrays'
// shapes, payoff, estimator, the model (see make_basket_model), strike, weights,
// half_width, rate. Blocks run on the worker pool inside `scope`.
Result<Buffer> price_and_greeks_basket(const BasketArgs& args, const WorkScope& scope);

// (n_paths, 2 d + d * d): per path the delta weights, the gamma weights (d x d,
// row-major) and the vega weights.
Result<Matrix> greek_weights_basket(const View2D& w_terminals, const View1D& x0, const View1D& vols,
                                    const View2D& correlation, double horizon,
                                    std::string_view model, const WorkScope& scope);

// Chunk primitives of quarnel.dask, checked as the single call checks. `width` is the
// ramp half-width of the localised digitals (not positive: no ramp), which the chunked
// caller computes first from the levels' sums.
// (n, basket_columns(d)): the per-path samples of the single call.
Result<Matrix> basket_chunk_samples(const BasketArgs& args, double width);
// (ceil(n / kBasketBlock), 2 m): [sums, sums of squares] of each block of the chunk,
// its first row taken as the first path of a block.
Result<Matrix> basket_chunk_block_sums(const BasketArgs& args, double width);
// (n, 1): the basket level sum_i weights_i X_i of each path, whose sums give the
// digitals' default half-width.
Result<Matrix> basket_levels(const BasketArgs& args);

}  // namespace quarnel
