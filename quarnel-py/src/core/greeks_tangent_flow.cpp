#include "core/greeks_tangent_flow.hpp"

#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "core/greeks_conventions.hpp"
#include "quarnel/from_paths.hpp"

namespace quarnel {
namespace {

// The four sample streams, summed left to right in path order.
struct GreekSums {
    TwoStreamSums price_delta, gamma_vega;
    void add(const TangentGreekSamples& s) noexcept {
        price_delta.add(s.price, s.delta);
        gamma_vega.add(s.gamma, s.vega);
    }
    Greeks finish(std::size_t n, bool with_vega) const noexcept {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        const MeanStderr p = mean_stderr(price_delta.sum_a(), price_delta.sum_sq_a(), n);
        const MeanStderr d = mean_stderr(price_delta.sum_b(), price_delta.sum_sq_b(), n);
        const MeanStderr g = mean_stderr(gamma_vega.sum_a(), gamma_vega.sum_sq_a(), n);
        MeanStderr v = mean_stderr(gamma_vega.sum_b(), gamma_vega.sum_sq_b(), n);
        if (!with_vega) v = {nan, nan};
        return {p.mean,    d.mean,    g.mean,    v.mean,    nan,
                p.stderr_, d.stderr_, g.stderr_, v.stderr_, nan};
    }
};

Greeks finish_localised(const CentringSums<3>& sums, std::size_t n, bool with_vega) noexcept {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const MeanStderr p = sums.price(n);
    MeanStderr g[3];
    for (std::size_t i = 0; i < 3; ++i) g[i] = sums.greek(i, n);
    if (!with_vega) g[2] = {nan, nan};
    return {p.mean,    g[0].mean,    g[1].mean,    g[2].mean,    nan,
            p.stderr_, g[0].stderr_, g[1].stderr_, g[2].stderr_, nan};
}

}  // namespace

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
    const View2D& states = paths.paths.states;
    // The last column of `states`; an empty batch reads nothing.
    const View1D terminal =
        batch.n_paths == 0 ? View1D{}
                           : View1D{states.row_ptr(0) + static_cast<std::ptrdiff_t>(batch.n_steps) *
                                                            states.col_stride,
                                    batch.n_paths, states.row_stride};

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
    // The four sample streams, summed left to right.
    auto accumulate = [&](auto sample) -> Result<Greeks> {
        GreekSums sums;
        if (auto zero = add_samples(sums, sample)) {
            return zero_sigma_error(*zero, FieldNames::suffixed);
        }
        return finish_tangent_greeks(sums.finish(n_means, with_vega), vol, rate, horizon);
    };
    if (call.value().estimator == Estimator::weights) {
        return with_greek_payoff(kind, strike, k2, [&](auto f) {
            return accumulate([f](double x, const PathRow& r) {
                return tangent_greeks_by_weights_sample(f, x, r);
            });
        });
    }
    // The centred sums of the digitals' and the spreads' samples.
    auto centred = [&](auto sample) -> Result<Greeks> {
        CentringSums<3> sums;
        if (auto zero = add_samples(sums, sample)) {
            return zero_sigma_error(*zero, FieldNames::suffixed);
        }
        return finish_tangent_greeks(finish_localised(sums, n_means, with_vega), vol, rate,
                                     horizon);
    };
    if (is_spread(kind)) {
        return with_greek_slope(kind, strike, k2, [&](auto f, auto slope) {
            return centred([f, slope](double x, const PathRow& r) {
                return tangent_greeks_blended_sample(f, slope, x, r);
            });
        });
    }
    if (!is_digital(kind)) {
        return with_greek_slope(kind, strike, k2, [&](auto f, auto slope) {
            return accumulate([f, slope](double x, const PathRow& r) {
                return tangent_greeks_pathwise_sample(f, slope, x, r);
            });
        });
    }
    // One cheap pass over X_N before the kernel for the default width; the centring
    // coefficients come out of the sums at the end.
    const LocalisedDigital digital(strike, half_width ? *half_width : default_half_width(terminal),
                                   kind == GreekPayoff::digital_put);
    return centred([&digital](double x, const PathRow& r) {
        return tangent_greeks_localised_digital_sample(digital, x, r);
    });
}

}  // namespace quarnel
