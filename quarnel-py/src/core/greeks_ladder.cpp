#include "core/greeks_ladder.hpp"

#include <cstddef>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/greeks_constant_flow.hpp"
#include "core/greeks_conventions.hpp"
#include "core/greeks_payoffs.hpp"
#include "core/path_batch.hpp"
#include "core/sample_layout.hpp"
#include "quarnel/from_paths.hpp"
#include "quarnel/greeks_from_paths.hpp"

namespace quarnel {
namespace {

// The built-in payoffs and slopes as plain selects of the same values as payoffs.hpp's
// (d > 0 ? d : 0 is positive_part exactly: -0.0 and NaN give +0.0), which the loop over
// the strikes can vectorise where the payoff objects' scalar intrinsics would stop it.
enum class Shape { identity, call, put, digital_call, digital_put };

inline Shape shape_of(GreekPayoff kind) noexcept {
    switch (kind) {
        case GreekPayoff::call: return Shape::call;
        case GreekPayoff::put: return Shape::put;
        case GreekPayoff::digital_call: return Shape::digital_call;
        case GreekPayoff::digital_put: return Shape::digital_put;
        default: break;
    }
    return Shape::identity;
}

template <Shape S>
inline double value_at(double x, double k) noexcept {
    if constexpr (S == Shape::call) {
        const double d = x - k;
        return d > 0.0 ? d : 0.0;
    } else if constexpr (S == Shape::put) {
        const double d = k - x;
        return d > 0.0 ? d : 0.0;
    } else if constexpr (S == Shape::digital_call) {
        return x > k ? 1.0 : 0.0;
    } else if constexpr (S == Shape::digital_put) {
        return x < k ? 1.0 : 0.0;
    } else {
        return x;
    }
}

template <Shape S>
inline double slope_at(double x, double k) noexcept {
    if constexpr (S == Shape::call) {
        return x > k ? 1.0 : 0.0;
    } else if constexpr (S == Shape::put) {
        return x < k ? -1.0 : 0.0;
    } else {
        return 1.0;
    }
}

template <class F>
decltype(auto) with_shape(Shape shape, F&& f) {
    switch (shape) {
        case Shape::call: return f(std::integral_constant<Shape, Shape::call>{});
        case Shape::put: return f(std::integral_constant<Shape, Shape::put>{});
        case Shape::digital_call: return f(std::integral_constant<Shape, Shape::digital_call>{});
        case Shape::digital_put: return f(std::integral_constant<Shape, Shape::digital_put>{});
        case Shape::identity: break;
    }
    return f(std::integral_constant<Shape, Shape::identity>{});
}

// One path's five plain samples at strike k: f times the weights (Weights) or the slope
// times the pathwise multipliers, each formed as greeks_by_weights_sample and
// greeks_pathwise_sample form it (the weights: w * 1 and scale for delta), rho less T f
// with a rate.
struct PlainSamples {
    double f, v1, v2, v3, v4;
};

template <Shape S, bool Weights, bool RateRho>
inline PlainSamples plain_samples(double k, double x, double w, double scale, const GreekTerms& t,
                                  double horizon) noexcept {
    const double f = value_at<S>(x, k);
    const double d = Weights ? f : slope_at<S>(x, k);
    const double r = d * t.rho;
    return {f, Weights ? (f * w) * scale : d * t.delta, d * t.gamma, d * t.vega,
            RateRho ? r - horizon * f : r};
}

// Per strike the sums of the five plain sample streams, stream-major so that the loop
// over the strikes runs along each array.
class PlainLadder {
public:
    explicit PlainLadder(std::size_t m) : m_(m), s1_(5 * m, 0.0), s2_(5 * m, 0.0) {}

    void add(std::size_t j, const GreekSamples& s) noexcept {
        const double v[5] = {s.price, s.greeks.delta, s.greeks.gamma, s.greeks.vega, s.greeks.rho};
        for (std::size_t i = 0; i < 5; ++i) {
            double& a = s1_[i * m_ + j];
            double& b = s2_[i * m_ + j];
            a = a + v[i];
            b = b + v[i] * v[i];
        }
    }

    // One path's samples for every strike (plain_samples), each added to its strike's sums.
    template <Shape S, bool Weights, bool RateRho>
    void add_path(const double* __restrict ks, double x, double w, double scale,
                  const GreekTerms& t, double horizon) noexcept {
        double* __restrict s1 = s1_.data();
        double* __restrict s2 = s2_.data();
        const std::size_t m = m_;
        for (std::size_t j = 0; j < m; ++j) {
            const PlainSamples v =
                plain_samples<S, Weights, RateRho>(ks[j], x, w, scale, t, horizon);
            const double f = v.f, v1 = v.v1, v2 = v.v2, v3 = v.v3, v4 = v.v4;
            s1[j] = s1[j] + f;
            s2[j] = s2[j] + f * f;
            s1[m + j] = s1[m + j] + v1;
            s2[m + j] = s2[m + j] + v1 * v1;
            s1[2 * m + j] = s1[2 * m + j] + v2;
            s2[2 * m + j] = s2[2 * m + j] + v2 * v2;
            s1[3 * m + j] = s1[3 * m + j] + v3;
            s2[3 * m + j] = s2[3 * m + j] + v3 * v3;
            s1[4 * m + j] = s1[4 * m + j] + v4;
            s2[4 * m + j] = s2[4 * m + j] + v4 * v4;
        }
    }

    PriceGreeks finish(std::size_t j, std::size_t n) const noexcept {
        const double s1[4] = {s1_[m_ + j], s1_[2 * m_ + j], s1_[3 * m_ + j], s1_[4 * m_ + j]};
        const double s2[4] = {s2_[m_ + j], s2_[2 * m_ + j], s2_[3 * m_ + j], s2_[4 * m_ + j]};
        return detail::finish(s1_[j], s2_[j], s1, s2, n);
    }

private:
    std::size_t m_;
    std::vector<double> s1_, s2_;
};

Greeks to_greeks(const PriceGreeks& r) noexcept {
    return {r.price,        r.delta,        r.gamma,        r.vega,        r.rho,
            r.price_stderr, r.delta_stderr, r.gamma_stderr, r.vega_stderr, r.rho_stderr};
}

}  // namespace

Result<Matrix> price_and_greeks_ladder_constant_flow(
    const View1D& terminal_states, const View1D& w_terminals, double horizon, double x0, double vol,
    std::string_view payoff, const View1D& strikes, std::string_view model,
    std::string_view estimator, std::optional<double> half_width, std::optional<double> rate) {
    const Result<ConstantFlowCall> checked = check_price_and_greeks_constant_flow(
        terminal_states, w_terminals, horizon, x0, vol, payoff, 0.0, model, estimator, half_width,
        rate, std::nullopt, std::nullopt);
    if (!checked.ok()) return checked.error();
    const ConstantFlowCall call = checked.value();
    if (is_spread(call.payoff)) {
        return ModelError{"payoff '" + std::string(payoff) +
                          "' has no ladder: its second strike would need one of its own"};
    }
    const std::size_t m = strikes.size();
    // Each strike read once, here; the loops read the copy.
    std::vector<double> ks(m);
    for (std::size_t j = 0; j < m; ++j) {
        ks[j] = strikes[j];
        if (auto err = check_finite(ks[j], ("strikes[" + std::to_string(j) + "]").c_str())) {
            return *std::move(err);
        }
    }
    if (m > std::numeric_limits<std::size_t>::max() / (10 * sizeof(double))) {
        return ModelError{"strikes is too long: the result would not fit in memory"};
    }
    const bool rate_rho = rate.has_value();
    const std::size_t n = terminal_states.size();
    std::vector<PriceGreeks> results(m);

    with_flow(call.model, horizon, x0, vol, [&](const auto& flow) {
        with_dense_views(
            [&](const auto& x, const auto& w) {
                if (call.estimator == Estimator::weights || !call.localised) {
                    PlainLadder sums(m);
                    const bool by_weights = call.estimator == Estimator::weights;
                    with_shape(shape_of(call.payoff), [&](auto shape) {
                        constexpr Shape S = decltype(shape)::value;
                        auto run = [&](auto weights, auto rate_term) {
                            constexpr bool W = decltype(weights)::value;
                            constexpr bool R = decltype(rate_term)::value;
                            for (std::size_t k = 0; k < n; ++k) {
                                const double xk = x[k], wk = w[k];
                                const GreekTerms t = W ? flow.weights(wk) : flow.pathwise(xk, wk);
                                sums.template add_path<S, W, R>(ks.data(), xk, wk, flow.scale(), t,
                                                                horizon);
                            }
                        };
                        using Yes = std::true_type;
                        using No = std::false_type;
                        if (by_weights) {
                            rate_rho ? run(Yes{}, Yes{}) : run(Yes{}, No{});
                        } else {
                            rate_rho ? run(No{}, Yes{}) : run(No{}, No{});
                        }
                    });
                    for (std::size_t j = 0; j < m; ++j) results[j] = sums.finish(j, n);
                    return;
                }
                // The digitals: one width for every strike (it depends on the states
                // alone), a ramp and centred sums per strike.
                const double e = half_width ? *half_width : default_half_width(x);
                const bool put = call.payoff == GreekPayoff::digital_put;
                std::vector<LocalisedDigital> digitals;
                digitals.reserve(m);
                for (std::size_t j = 0; j < m; ++j) digitals.emplace_back(ks[j], e, put);
                std::vector<CentringSums<4>> sums(m);
                for (std::size_t k = 0; k < n; ++k) {
                    const double xk = x[k], wk = w[k];
                    for (std::size_t j = 0; j < m; ++j) {
                        sums[j].add(
                            greeks_localised_digital_sample(digitals[j], flow, xk, wk, rate_rho));
                    }
                }
                for (std::size_t j = 0; j < m; ++j) {
                    const MeanStderr p = sums[j].price(n);
                    MeanStderr g[4];
                    for (std::size_t i = 0; i < 4; ++i) g[i] = sums[j].greek(i, n);
                    results[j] = {p.mean,       g[0].mean,   g[1].mean,    g[2].mean,
                                  g[3].mean,    p.stderr_,   g[0].stderr_, g[1].stderr_,
                                  g[2].stderr_, g[3].stderr_};
                }
            },
            terminal_states, w_terminals);
    });

    Matrix out = Matrix::allocate(m, 10);  // NOLINT(clang-analyzer-unix.Malloc)
    for (std::size_t j = 0; j < m; ++j) {
        const Greeks g = finish_greeks(to_greeks(results[j]), rate, horizon);
        const double values[10] = {g.price,       g.delta,        g.gamma,        g.vega,
                                   g.rho,         g.price_stderr, g.delta_stderr, g.gamma_stderr,
                                   g.vega_stderr, g.rho_stderr};
        double* row = out.row(j);
        for (std::size_t i = 0; i < 10; ++i) row[i] = values[i];
    }
    return out;
}

Result<Matrix> ladder_constant_flow_chunk_samples(const View1D& terminal_states,
                                                  const View1D& w_terminals, double horizon,
                                                  double x0, double vol, std::string_view payoff,
                                                  const View1D& strikes, std::string_view model,
                                                  std::string_view estimator, double width,
                                                  bool rate_rho) {
    const std::optional<GreekPayoff> kind = parse_greek_payoff(payoff);
    const std::optional<Model> mod = parse_model(model);
    const std::optional<Estimator> est = parse_estimator(estimator);
    if (!kind || !mod || !est || is_spread(*kind) || terminal_states.size() != w_terminals.size()) {
        return ModelError{"the arguments were not checked before the chunks ran"};
    }
    const std::size_t m = strikes.size();
    std::vector<double> ks(m);
    for (std::size_t j = 0; j < m; ++j) ks[j] = strikes[j];
    const SampleLayout layout = sample_layout(SampledEstimate::ladder, *kind, *est);
    const bool centred = layout.centred;
    const std::size_t per_strike = layout.columns;
    if (m > std::numeric_limits<std::size_t>::max() / (per_strike * sizeof(double))) {
        return ModelError{"strikes is too long: the result would not fit in memory"};
    }
    const std::size_t cols = per_strike * m;
    const std::size_t n = terminal_states.size();
    if (cols != 0) {
        if (auto err = check_result_length(n, cols, "terminal_states")) return *std::move(err);
    }
    Matrix out = Matrix::allocate(n, cols);  // NOLINT(clang-analyzer-unix.Malloc)
    // Rows the buffer holds, a bound the analyser can follow.
    const std::size_t rows = cols == 0 ? 0 : out.buffer.size() / cols;

    with_flow(*mod, horizon, x0, vol, [&](const auto& flow) {
        with_dense_views(
            [&](const auto& x, const auto& w) {
                if (!centred) {
                    with_shape(shape_of(*kind), [&](auto shape) {
                        constexpr Shape S = decltype(shape)::value;
                        auto run = [&](auto weights, auto rate_term) {
                            constexpr bool W = decltype(weights)::value;
                            constexpr bool R = decltype(rate_term)::value;
                            for (std::size_t k = 0; k < rows; ++k) {
                                const double xk = x[k], wk = w[k];
                                const GreekTerms t = W ? flow.weights(wk) : flow.pathwise(xk, wk);
                                double* r = out.row(k);
                                for (std::size_t j = 0; j < m; ++j) {
                                    const PlainSamples v = plain_samples<S, W, R>(
                                        ks[j], xk, wk, flow.scale(), t, horizon);
                                    double* c = r + 5 * j;
                                    c[0] = v.f;
                                    c[1] = v.v1;
                                    c[2] = v.v2;
                                    c[3] = v.v3;
                                    c[4] = v.v4;
                                }
                            }
                        };
                        using Yes = std::true_type;
                        using No = std::false_type;
                        if (*est == Estimator::weights) {
                            rate_rho ? run(Yes{}, Yes{}) : run(Yes{}, No{});
                        } else {
                            rate_rho ? run(No{}, Yes{}) : run(No{}, No{});
                        }
                    });
                    return;
                }
                const bool put = *kind == GreekPayoff::digital_put;
                std::vector<LocalisedDigital> digitals;
                digitals.reserve(m);
                for (std::size_t j = 0; j < m; ++j) digitals.emplace_back(ks[j], width, put);
                for (std::size_t k = 0; k < rows; ++k) {
                    const double xk = x[k], wk = w[k];
                    double* r = out.row(k);
                    for (std::size_t j = 0; j < m; ++j) {
                        const LocalisedSamples<4> s =
                            greeks_localised_digital_sample(digitals[j], flow, xk, wk, rate_rho);
                        double* c = r + 13 * j;
                        c[0] = s.price;
                        for (std::size_t i = 0; i < 4; ++i) {
                            c[1 + i] = s.u[i];
                            c[5 + i] = s.v[i];
                            c[9 + i] = s.u[i] * s.v[i];
                        }
                    }
                }
            },
            terminal_states, w_terminals);
    });
    return out;
}

}  // namespace quarnel
