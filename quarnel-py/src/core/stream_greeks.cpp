// price_and_greeks of a streamed accumulator: the estimators of
// price_and_greeks_tangent_flow (greeks_tangent_flow.cpp) over the rows the accumulator
// holds instead of rows recomputed from a stored batch. The samples are the same
// functions of the same rows, summed left to right in path order, so the estimates are
// the batch call's bits.
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "core/greeks_conventions.hpp"
#include "core/greeks_tangent_flow.hpp"
#include "core/stream.hpp"
#include "quarnel/from_paths.hpp"
#include "quarnel/greeks_from_paths.hpp"

namespace quarnel {

Result<Greeks> TangentFlowStream::price_and_greeks(const View1D& terminal, std::string_view payoff,
                                                   double strike, std::string_view estimator,
                                                   std::optional<double> vol,
                                                   std::optional<double> half_width,
                                                   std::optional<double> rate,
                                                   std::optional<double> strike2) const {
    if (auto err = check_complete()) return *std::move(err);
    if (terminal.length != n_paths_) {
        return ModelError{"terminal_states has " + std::to_string(terminal.length) +
                          " values, expected n_paths = " + std::to_string(n_paths_)};
    }
    const Result<GreekPayoff> kind = greek_payoff_named(payoff);
    if (!kind.ok()) return kind.error();
    const Result<Estimator> est = estimator_named(estimator);
    if (!est.ok()) return est.error();
    if (order_ == StreamOrder::first) {
        return ModelError{"price_and_greeks needs a second-order accumulator (second_order=True)"};
    }
    if (vol && order_ != StreamOrder::second_vega) {
        return ModelError{"vol= (a vega) needs an accumulator with vega=True"};
    }
    if (auto err = check_strikes(kind.value(), strike, strike2)) return *std::move(err);
    if (auto err = check_finite(vol, "vol")) return *std::move(err);
    if (vol && !(*vol > 0.0)) return ModelError{"vol must be positive"};
    if (auto err = check_half_width(half_width)) return *std::move(err);
    if (auto err = check_half_width_use(
            half_width, est.value() == Estimator::lowest_variance && is_digital(kind.value()))) {
        return *std::move(err);
    }
    if (auto err = check_finite(rate, "rate")) return *std::move(err);
    const bool with_vega = vol.has_value();
    const double *acc = acc_.data(), *accl = accl_.data(), *y = y_.data(), *h = h_.data();
    // Path k's kernel row, as for_each_greek_row hands it over.
    auto row = [&](std::size_t k) {
        return PathRow{acc[k], acc[k] * acc[k] + accl[k],      y[k],
                       h[k],   with_vega ? v_.data()[k] : 0.0, with_vega ? vega_weight(k) : 0.0};
    };
    return estimate_tangent_greeks(
        kind.value(), est.value(), strike, strike2 ? *strike2 : 0.0, n_paths_, with_vega, vol, rate,
        horizon_, [&] { return half_width ? *half_width : default_half_width(terminal); },
        [&](auto& sums, auto sample) {
            for (std::size_t k = 0; k < n_paths_; ++k) sums.add(sample(terminal[k], row(k)));
            return true;
        });
}

}  // namespace quarnel
