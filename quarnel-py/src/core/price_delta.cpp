#include "core/price_delta.hpp"

#include <optional>
#include <string>
#include <utility>

#include "core/payoffs.hpp"
#include "core/tangent_flow.hpp"

namespace quarnel {
Result<PayoffKind> check_constant_flow_pair(const View1D& terminal_states,
                                            const View1D& w_terminals, std::string_view payoff) {
    if (terminal_states.size() != w_terminals.size()) {
        return ModelError{"terminal_states and w_terminals must have the same length"};
    }
    return payoff_named(payoff);
}

Result<PayoffKind> check_price_and_delta_constant_flow(const View1D& terminal_states,
                                                       const View1D& w_terminals, double horizon,
                                                       double sigma_at_x0,
                                                       std::string_view payoff) {
    Result<PayoffKind> kind = check_constant_flow_pair(terminal_states, w_terminals, payoff);
    if (!kind.ok()) return kind;
    // Caller errors, so ValueErrors like everywhere else; checked here, after the
    // length and the payoff, so the estimator's own preconditions always hold.
    if (!(horizon > 0.0)) return ModelError{"horizon must be positive"};
    if (!(sigma_at_x0 > 0.0)) return ModelError{"sigma_at_x0 must be positive"};
    return kind;
}

Result<PriceDelta> price_and_delta_constant_flow(const View1D& terminal_states,
                                                 const View1D& w_terminals, double horizon,
                                                 double sigma_at_x0, std::string_view payoff,
                                                 double strike) {
    const Result<PayoffKind> kind = check_price_and_delta_constant_flow(
        terminal_states, w_terminals, horizon, sigma_at_x0, payoff);
    if (!kind.ok()) return kind.error();
    return with_payoff(kind.value(), strike, [&](auto f) {
        return with_dense_views(
            [&](const auto& x, const auto& w) {
                return bel_delta_constant_flow_from_paths(x, w, horizon, sigma_at_x0, f);
            },
            terminal_states, w_terminals);
    });
}

Result<TangentFlowEstimate> check_price_and_delta_tangent_flow(const FirstOrderPaths& batch,
                                                               std::string_view payoff) {
    const View2D& states = batch.paths.states;
    if (auto err = check_state_columns(states)) return *std::move(err);
    const std::optional<PayoffKind> kind = parse_payoff(payoff);
    if (!kind) return ModelError{"unknown payoff '" + std::string(payoff) + "'"};

    // A horizon that is not positive would give a plausible-looking wrong delta.
    if (auto err = check_horizon(batch.paths.horizon)) return *std::move(err);

    const BatchShape shape{states.rows, states.cols - 1};
    if (shape.n_paths > 0) {
        if (auto err = check_covering(batch, shape, FieldNames::suffixed)) return *std::move(err);
    }
    return TangentFlowEstimate{make_batch(batch.paths.dws, batch.first, shape, batch.paths.horizon),
                               *kind};
}

Result<PriceDelta> price_and_delta_tangent_flow(const FirstOrderPaths& paths,
                                                std::string_view payoff, double strike) {
    Result<TangentFlowEstimate> checked = check_price_and_delta_tangent_flow(paths, payoff);
    if (!checked.ok()) return checked.error();
    const TangentFlowEstimate& est = checked.value();
    const TangentFlowBatch& batch = est.batch;

    return with_payoff(est.payoff, strike, [&](auto f) -> Result<PriceDelta> {
        TwoStreamSums sums;
        if (auto zero = tangent_flow_samples(batch, paths.paths.states, f,
                                             [&sums](double p, double d) { sums.add(p, d); })) {
            return zero_sigma_error(*zero, FieldNames::suffixed);
        }
        const MeanStderr price = mean_stderr(sums.sum_a(), sums.sum_sq_a(), batch.n_paths);
        const MeanStderr delta = mean_stderr(sums.sum_b(), sums.sum_sq_b(), batch.n_paths);
        return PriceDelta{price.mean, delta.mean, price.stderr_, delta.stderr_};
    });
}

}  // namespace quarnel
