// price_and_greeks of a streamed accumulator: the estimators of
// price_and_greeks_tangent_flow (greeks_tangent_flow.cpp) over the rows the accumulator
// holds instead of rows recomputed from a stored batch. The samples are the same
// functions of the same rows, summed left to right in path order, so the estimates are
// the batch call's bits.
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "core/fixed_math.hpp"
#include "core/greeks_tangent_flow.hpp"
#include "core/stream.hpp"
#include "quarnel/from_paths.hpp"
#include "quarnel/greeks_from_paths.hpp"

namespace quarnel {
namespace {

// The batch estimator's four sample streams and how it finishes them.
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

// Every sample discounted: the estimates are df times the undiscounted ones and the
// errors those of the discounted per-path samples. Without a rate nothing is multiplied.
TangentGreekSamples discounted(TangentGreekSamples s, double df) noexcept {
    return {s.price * df, s.delta * df, s.gamma * df, s.vega * df};
}
LocalisedSamples<3> discounted(LocalisedSamples<3> s, double df) noexcept {
    s.price = s.price * df;
    for (std::size_t i = 0; i < 3; ++i) {
        s.u[i] = s.u[i] * df;
        s.v[i] = s.v[i] * df;
    }
    return s;
}

}  // namespace

Result<Greeks> TangentFlowStream::price_and_greeks(const View1D& terminal, std::string_view payoff,
                                                   double strike, std::string_view estimator,
                                                   std::optional<std::string_view> vega,
                                                   std::optional<double> half_width,
                                                   std::optional<double> rate) const {
    if (auto err = check_complete()) return *std::move(err);
    if (terminal.length != n_paths_) {
        return ModelError{"terminal_states has " + std::to_string(terminal.length) +
                          " values, expected n_paths = " + std::to_string(n_paths_)};
    }
    const Result<PayoffKind> kind = payoff_named(payoff);
    if (!kind.ok()) return kind.error();
    const Result<Estimator> est = estimator_named(estimator);
    if (!est.ok()) return est.error();
    if (vega && *vega != "parallel_bump") {
        return ModelError{"unknown vega '" + std::string(*vega) +
                          "': expected 'parallel_bump' or None"};
    }
    if (order_ == StreamOrder::first) {
        return ModelError{"price_and_greeks needs a second-order accumulator (second_order=True)"};
    }
    if (vega && order_ != StreamOrder::second_vega) {
        return ModelError{
            "vega='parallel_bump' needs an accumulator with vega=True (or vega=None)"};
    }
    if (auto err = check_half_width(half_width)) return *std::move(err);
    if (!std::isfinite(strike))
        return ModelError{"strike must be finite, got " + detail::float_text(strike)};
    if (rate && !std::isfinite(*rate)) {
        return ModelError{"rate must be finite, got " + detail::float_text(*rate)};
    }
    const bool with_vega = vega.has_value();
    const double df = rate ? fixed::exp(-(*rate * horizon_)) : 1.0;
    const double *acc = acc_.data(), *accl = accl_.data(), *y = y_.data(), *h = h_.data();
    // Path k's kernel row, as for_each_greek_row hands it over.
    auto row = [&](std::size_t k) {
        return PathRow{acc[k], acc[k] * acc[k] + accl[k],      y[k],
                       h[k],   with_vega ? v_.data()[k] : 0.0, with_vega ? vega_weight(k) : 0.0};
    };
    auto accumulate = [&](auto sample) -> Greeks {
        GreekSums sums;
        for (std::size_t k = 0; k < n_paths_; ++k) {
            const TangentGreekSamples s = sample(terminal[k], row(k));
            sums.add(rate ? discounted(s, df) : s);
        }
        return sums.finish(n_paths_, with_vega);
    };
    if (est.value() == Estimator::weights) {
        return with_payoff(kind.value(), strike, [&](auto f) {
            return accumulate([f](double x, const PathRow& r) {
                return tangent_greeks_by_weights_sample(f, x, r);
            });
        });
    }
    if (kind.value() != PayoffKind::digital_call) {
        return with_slope(kind.value(), strike, [&](auto f, auto slope) {
            return accumulate([f, slope](double x, const PathRow& r) {
                return tangent_greeks_pathwise_sample(f, slope, x, r);
            });
        });
    }
    const LocalisedDigital digital(strike, half_width ? *half_width : default_half_width(terminal));
    CentringSums<3> sums;
    for (std::size_t k = 0; k < n_paths_; ++k) {
        const LocalisedSamples<3> s =
            tangent_greeks_localised_digital_sample(digital, terminal[k], row(k));
        sums.add(rate ? discounted(s, df) : s);
    }
    return finish_localised(sums, n_paths_, with_vega);
}

}  // namespace quarnel
