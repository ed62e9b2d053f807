#include "core/greeks_constant_flow.hpp"

#include <limits>
#include <string>

#include "core/greeks_conventions.hpp"
#include "core/greeks_pairs.hpp"
#include "core/greeks_payoffs.hpp"
#include "core/price_delta.hpp"

namespace quarnel {
namespace {

ModelError unknown_model(std::string_view name) {
    return {"unknown model '" + std::string(name) + "': expected 'gbm' or 'abm'"};
}

// horizon, x0 (positive under GBM only: ABM never uses it) and vol, as negated
// comparisons so that NaN fails them; then each must be finite (an infinite horizon or
// vol gives weights of 0 and a confident-looking price). x0 is refused non-finite under
// ABM too: it is unused there, but a NaN in it is a mistake in the caller's setup.
std::optional<ModelError> check_flow_numbers(Model model, double horizon, double x0, double vol) {
    if (!(horizon > 0.0)) return ModelError{"horizon must be positive"};
    if (auto err = check_finite(horizon, "horizon")) return err;
    if (model == Model::gbm && !(x0 > 0.0)) return ModelError{"x0 must be positive"};
    if (auto err = check_finite(x0, "x0")) return err;
    if (!(vol > 0.0)) return ModelError{"vol must be positive"};
    if (auto err = check_finite(vol, "vol")) return err;
    return std::nullopt;
}

// price_and_greeks_constant_flow's estimators over the means of antithetic pairs.
template <class States, class Brownians, class Flow>
PriceGreeks paired_greeks(const States& x, const Brownians& w, const Flow& flow, GreekPayoff kind,
                          Estimator est, double strike, double k2, std::optional<double> half_width,
                          bool rate_rho, Pairs mode) {
    const std::size_t n = x.size();
    if (est == Estimator::weights) {
        return with_greek_payoff(kind, strike, k2, [&](auto f) {
            GreekSampleSums sums;
            add_pair_means(sums, mode, n, [&](std::size_t k) {
                return greeks_by_weights_sample(flow, f, x[k], w[k], rate_rho);
            });
            return sums.finish(n / 2);
        });
    }
    if (is_spread(kind)) {
        return with_greek_slope(kind, strike, k2, [&](auto f, auto slope) {
            CentringSums<4> sums;
            add_pair_means(sums, mode, n, [&](std::size_t k) {
                return greeks_blended_sample(flow, f, slope, x[k], w[k], rate_rho);
            });
            return finish_centred(sums, n / 2);
        });
    }
    if (!is_digital(kind)) {
        return with_greek_slope(kind, strike, k2, [&](auto f, auto slope) {
            GreekSampleSums sums;
            add_pair_means(sums, mode, n, [&](std::size_t k) {
                return greeks_pathwise_sample(flow, f, slope, x[k], w[k], rate_rho);
            });
            return sums.finish(n / 2);
        });
    }
    const LocalisedDigital digital(strike, half_width ? *half_width : default_half_width(x),
                                   kind == GreekPayoff::digital_put);
    CentringSums<4> sums;
    add_pair_means(sums, mode, n, [&](std::size_t k) {
        return greeks_localised_digital_sample(digital, flow, x[k], w[k], rate_rho);
    });
    return finish_centred(sums, n / 2);
}

Greeks to_greeks(const PriceGreeks& r) noexcept {
    return {r.price,        r.delta,        r.gamma,        r.vega,        r.rho,
            r.price_stderr, r.delta_stderr, r.gamma_stderr, r.vega_stderr, r.rho_stderr};
}

}  // namespace

Result<Matrix> greek_weights_constant_flow(const View1D& w_terminals, double horizon, double x0,
                                           double vol, std::string_view model) {
    const std::optional<Model> m = parse_model(model);
    if (!m) return unknown_model(model);
    if (auto err = check_flow_numbers(*m, horizon, x0, vol)) return *std::move(err);
    const std::size_t n = w_terminals.size();
    // NumPy bounds n * 8 bytes, not the result's 4 n * 8: a long broadcast input could
    // wrap the size of the allocation.
    if (n > std::numeric_limits<std::size_t>::max() / (4 * sizeof(double))) {
        return ModelError{"w_terminals is too long: the result would not fit in memory"};
    }
    Buffer out = Buffer::allocate_rows(n, 4);
    double* rows = out.data();
    const std::size_t size = out.size();
    with_flow(*m, horizon, x0, vol, [&](const auto& flow) {
        with_dense_views(
            [&](const auto& w) {
                // Bounded by the buffer's own size, which the analyser can follow.
                for (std::size_t k = 0; 4 * k < size; ++k) {
                    const GreekTerms t = flow.weights(w[k]);
                    double* row = rows + 4 * k;
                    row[0] = t.delta;
                    row[1] = t.gamma;
                    row[2] = t.vega;
                    row[3] = t.rho;
                }
            },
            w_terminals);
    });
    return Matrix{std::move(out), n, 4};
}

Result<ConstantFlowCall> check_price_and_greeks_constant_flow(
    const View1D& terminal_states, const View1D& w_terminals, double horizon, double x0, double vol,
    std::string_view payoff, double strike, std::string_view model, std::string_view estimator,
    std::optional<double> half_width, std::optional<double> rate, std::optional<double> strike2,
    std::optional<std::string_view> pairs) {
    if (terminal_states.size() != w_terminals.size()) {
        return ModelError{"terminal_states and w_terminals must have the same length"};
    }
    const Result<GreekPayoff> kind = greek_payoff_named(payoff);
    if (!kind.ok()) return kind.error();
    const std::optional<Model> m = parse_model(model);
    if (!m) return unknown_model(model);
    const Result<Estimator> est = estimator_named(estimator);
    if (!est.ok()) return est.error();
    if (auto err = check_flow_numbers(*m, horizon, x0, vol)) return *std::move(err);
    if (auto err = check_strikes(kind.value(), strike, strike2)) return *std::move(err);
    if (auto err = check_half_width(half_width)) return *std::move(err);
    const bool localised = est.value() == Estimator::lowest_variance && is_digital(kind.value());
    if (auto err = check_half_width_use(half_width, localised)) return *std::move(err);
    if (auto err = check_finite(rate, "rate")) return *std::move(err);
    const Result<Pairs> paired = pairs_named(pairs);
    if (!paired.ok()) return paired.error();
    if (auto err = check_pairs(paired.value(), terminal_states.size())) return *std::move(err);
    return ConstantFlowCall{kind.value(), *m, est.value(), paired.value(), localised};
}

Result<Greeks> price_and_greeks_constant_flow(
    const View1D& terminal_states, const View1D& w_terminals, double horizon, double x0, double vol,
    std::string_view payoff, double strike, std::string_view model, std::string_view estimator,
    std::optional<double> half_width, std::optional<double> rate, std::optional<double> strike2,
    std::optional<std::string_view> pairs) {
    const Result<ConstantFlowCall> call = check_price_and_greeks_constant_flow(
        terminal_states, w_terminals, horizon, x0, vol, payoff, strike, model, estimator,
        half_width, rate, strike2, pairs);
    if (!call.ok()) return call.error();
    const Result<GreekPayoff> kind = call.value().payoff;
    const std::optional<Model> m = call.value().model;
    const Result<Estimator> est = call.value().estimator;
    const Pairs mode = call.value().pairs;
    const bool localised = call.value().localised;
    const bool rate_rho = rate.has_value();
    const double k2 = strike2 ? *strike2 : 0.0;

    const PriceGreeks r = with_flow(*m, horizon, x0, vol, [&](const auto& flow) {
        return with_dense_views(
            [&](const auto& x, const auto& w) -> PriceGreeks {
                if (mode != Pairs::none) {
                    return paired_greeks(x, w, flow, kind.value(), est.value(), strike, k2,
                                         half_width, rate_rho, mode);
                }
                if (est.value() == Estimator::weights) {
                    return with_greek_payoff(kind.value(), strike, k2, [&](auto f) {
                        return greeks_by_weights_from_paths(x, w, flow, f, rate_rho);
                    });
                }
                if (is_spread(kind.value())) {
                    return with_greek_slope(kind.value(), strike, k2, [&](auto f, auto slope) {
                        return greeks_blended_from_paths(x, w, flow, f, slope, rate_rho);
                    });
                }
                if (!localised) {
                    return with_greek_slope(kind.value(), strike, k2, [&](auto f, auto slope) {
                        return greeks_pathwise_from_paths(x, w, flow, f, slope, rate_rho);
                    });
                }
                // The default width costs one pass over the states before the main one.
                const double e = half_width ? *half_width : default_half_width(x);
                return greeks_localised_digital_from_paths(
                    x, w, flow, strike, e, rate_rho, kind.value() == GreekPayoff::digital_put);
            },
            terminal_states, w_terminals);
    });
    return finish_greeks(to_greeks(r), rate, horizon);
}

}  // namespace quarnel
