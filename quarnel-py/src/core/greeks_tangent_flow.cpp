#include "core/greeks_tangent_flow.hpp"

#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "core/greeks_conventions.hpp"
#include "quarnel/from_paths.hpp"

namespace quarnel {
Result<GreeksTangentFlowCall> check_price_and_greeks_tangent_flow(
    const SecondOrderPaths& batch, std::string_view payoff, double strike,
    std::string_view estimator, std::optional<double> vol, std::optional<double> half_width,
    std::optional<double> rate, std::optional<double> strike2,
    std::optional<std::string_view> pairs) {
    // The covering rule of price_and_delta_tangent_flow: the same arrays are accepted.
    if (auto err = check_state_columns(batch.paths.states)) return *std::move(err);
    const BatchShape shape{batch.paths.states.rows, batch.paths.states.cols - 1};
    if (auto err = check_covering(batch, shape, FieldNames::suffixed)) return *std::move(err);
    const Result<GreekPayoff> kind = greek_payoff_named(payoff);
    if (!kind.ok()) return kind.error();
    const Result<Estimator> est = estimator_named(estimator);
    if (!est.ok()) return est.error();
    if (auto err = check_horizon(batch.paths.horizon)) return *std::move(err);
    if (auto err = check_finite(batch.paths.horizon, "horizon")) return *std::move(err);
    if (auto err = check_strikes(kind.value(), strike, strike2)) return *std::move(err);
    if (vol && !(*vol > 0.0)) return ModelError{"vol must be positive"};
    if (auto err = check_finite(vol, "vol")) return *std::move(err);
    if (auto err = check_half_width(half_width)) return *std::move(err);
    const bool localised = est.value() == Estimator::lowest_variance && is_digital(kind.value());
    if (auto err = check_half_width_use(half_width, localised)) return *std::move(err);
    if (auto err = check_finite(rate, "rate")) return *std::move(err);
    const Result<Pairs> paired = pairs_named(pairs);
    if (!paired.ok()) return paired.error();
    if (auto err = check_pairs(paired.value(), shape.n_paths)) return *std::move(err);
    return GreeksTangentFlowCall{shape, kind.value(), est.value(), paired.value()};
}

Greeks finish_tangent_greeks(Greeks g, std::optional<double> vol, std::optional<double> rate,
                             double horizon) noexcept {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (vol) {
        g.vega = g.vega / *vol;
        g.vega_stderr = g.vega_stderr / *vol;
    } else {
        g.vega = g.vega_stderr = nan;
    }
    g.rho = g.rho_stderr = nan;
    return finish_greeks(g, rate, horizon);
}

View1D terminal_states(const SecondOrderPaths& paths, const SecondOrderBatch& batch) noexcept {
    // An empty batch reads nothing.
    if (batch.n_paths == 0) return View1D{};
    const View2D& states = paths.paths.states;
    return View1D{
        states.row_ptr(0) + static_cast<std::ptrdiff_t>(batch.n_steps) * states.col_stride,
        batch.n_paths, states.row_stride};
}

SecondOrderBatch parallel_bump_batch(const SecondOrderPaths& paths, BatchShape shape) {
    SecondOrderBatch batch = make_second_order_batch(paths.paths.dws, paths.first, paths.second,
                                                     shape, paths.paths.horizon);
    // The zero fields are stride-0 views of one zero.
    static const double zero = 0.0;
    const View2D zeros{reinterpret_cast<const std::byte*>(&zero), batch.n_paths, batch.n_steps, 0,
                       0};
    batch.parameter = ParameterFields{.d_mu_dp = zeros,
                                      .d_sigma_dp = paths.first.sigma,
                                      .d2_mu_dx_dp = zeros,
                                      .d2_sigma_dx_dp = paths.first.d_sigma_dx};
    return batch;
}

Result<Greeks> price_and_greeks_tangent_flow(const SecondOrderPaths& paths, std::string_view payoff,
                                             double strike, std::string_view estimator,
                                             std::optional<double> vol,
                                             std::optional<double> half_width,
                                             std::optional<double> rate,
                                             std::optional<double> strike2,
                                             std::optional<std::string_view> pairs) {
    const Result<GreeksTangentFlowCall> call = check_price_and_greeks_tangent_flow(
        paths, payoff, strike, estimator, vol, half_width, rate, strike2, pairs);
    if (!call.ok()) return call.error();
    const GreekPayoff kind = call.value().payoff;
    const double k2 = strike2 ? *strike2 : 0.0;
    const SecondOrderBatch batch = parallel_bump_batch(paths, call.value().shape);
    const bool with_vega = vol.has_value();
    const double horizon = paths.paths.horizon;
    const View1D terminal = terminal_states(paths, batch);

    // sums.add of each path's `sample(x, row)` in path order, or of each antithetic
    // pair's mean sample in pair order; the count of what was added.
    const Pairs mode = call.value().pairs;
    const std::size_t n_means = mode == Pairs::none ? batch.n_paths : batch.n_paths / 2;
    auto add_samples = [&](auto& sums, auto sample) -> std::optional<ZeroSigma> {
        if (mode == Pairs::none) {
            return for_each_greek_row(batch, with_vega, [&](std::size_t k, const PathRow& r) {
                sums.add(sample(terminal[k], r));
            });
        }
        return for_each_greek_row_pair(
            batch, with_vega, mode,
            [&](std::size_t ka, const PathRow& ra, std::size_t kb, const PathRow& rb) {
                sums.add(pair_mean(sample(terminal[ka], ra), sample(terminal[kb], rb)));
            });
    };
    std::optional<ZeroSigma> met;
    const Greeks out = estimate_tangent_greeks(
        kind, call.value().estimator, strike, k2, n_means, with_vega, vol, rate, horizon,
        [&] { return half_width ? *half_width : default_half_width(terminal); },
        [&](auto& sums, auto sample) {
            met = add_samples(sums, sample);
            return !met;
        });
    if (met) return zero_sigma_error(*met, FieldNames::suffixed);
    return out;
}

}  // namespace quarnel
