// The high-level price-and-delta routines for the built-in payoffs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string_view>

#include "core/path_batch.hpp"
#include "core/payoffs.hpp"
#include "core/result.hpp"
#include "core/tangent_flow.hpp"
#include "core/view.hpp"
#include "quarnel/from_paths.hpp"

namespace quarnel {

// What the tangent-flow checks establish: the kernel's batch and the payoff.
struct TangentFlowEstimate {
    TangentFlowBatch batch;
    PayoffKind payoff;
};

// The checks of price_and_delta_tangent_flow, in its order, and nothing else.
Result<TangentFlowEstimate> check_price_and_delta_tangent_flow(const FirstOrderPaths& batch,
                                                               std::string_view payoff);

// The per-path samples (f(X_N), pi * f(X_N)) of a checked batch, handed to `sink` in
// path order; stops at the first zero diffusion value, in path-then-step order. The
// weights are computed in blocks through the shared per-path recurrence, as long as an
// 8 KiB stack buffer allows, so the kernel's lanes walk long row runs.
template <class Payoff, class Sink>
std::optional<ZeroSigma> tangent_flow_samples(const TangentFlowBatch& batch, const View2D& states,
                                              Payoff f, Sink&& sink) {
    constexpr std::size_t kBlock = 1024;
    double weights[kBlock];
    const std::size_t last = batch.n_steps;
    for (std::size_t first = 0; first < batch.n_paths; first += kBlock) {
        const std::size_t count = std::min(kBlock, batch.n_paths - first);
        if (auto zero = tangent_flow_weights(batch, first, count, weights)) return zero;
        for (std::size_t i = 0; i < count; ++i) {
            const double p = f(states(first + i, last));
            sink(p, weights[i] * p);
        }
    }
    return std::nullopt;
}

// The first checks of both constant-flow estimators, in order: equal lengths, then the
// payoff name.
Result<PayoffKind> check_constant_flow_pair(const View1D& terminal_states,
                                            const View1D& w_terminals, std::string_view payoff);

// The checks of price_and_delta_constant_flow, in its order, and nothing else.
Result<PayoffKind> check_price_and_delta_constant_flow(const View1D& terminal_states,
                                                       const View1D& w_terminals, double horizon,
                                                       double sigma_at_x0, std::string_view payoff);

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
// nothing and checks no size). The fields are named `*_field`.
Result<PriceDelta> price_and_delta_tangent_flow(const FirstOrderPaths& batch,
                                                std::string_view payoff, double strike);

}  // namespace quarnel
