#include "core/vanna_volga.hpp"

#include <cmath>
#include <cstddef>
#include <utility>

#include "core/greeks_constant_flow.hpp"
#include "core/greeks_conventions.hpp"
#include "core/greeks_pairs.hpp"
#include "core/greeks_payoffs.hpp"
#include "core/path_batch.hpp"
#include "core/sample_layout.hpp"
#include "quarnel/from_paths.hpp"
#include "quarnel/greeks_from_paths.hpp"

namespace quarnel {
namespace {

struct CrossTerms {
    double vanna, volga;
};

// The constants once per call, in this order; every product rounded on its own.
class GbmCross {
public:
    GbmCross(double horizon, double x0, double vol) noexcept
        : horizon_(horizon),
          scale_(1.0 / (horizon * (vol * x0))),
          c1_(1.0 / x0),
          inv_st_(1.0 / (vol * horizon)),
          inv_s_(1.0 / vol),
          st_(vol * horizon),
          inv_sx0_(1.0 / (vol * x0)),
          two_over_sstx0_(2.0 / (((vol * vol) * horizon) * x0)),
          inv_s2_(1.0 / (vol * vol)),
          three_over_s_(3.0 / vol),
          three_over_s2t_(3.0 / ((vol * vol) * horizon)) {}

    CrossTerms weights(double w) const noexcept {
        const double pd = w * scale_;
        const double pv = (w * w - horizon_) * inv_st_ - w;
        return {(pd * pv + inv_sx0_) - w * two_over_sstx0_,
                (((pv * pv + inv_s2_) + w * three_over_s_) - (w * w) * three_over_s2t_) - horizon_};
    }

    CrossTerms pathwise(double x, double w) const noexcept {
        const double pv = (w * w - horizon_) * inv_st_ - w;
        return {(x * c1_) * pv, x * ((w - st_) * pv - w * inv_s_)};
    }

private:
    double horizon_, scale_, c1_, inv_st_, inv_s_, st_, inv_sx0_, two_over_sstx0_, inv_s2_,
        three_over_s_, three_over_s2t_;
};

class AbmCross {
public:
    AbmCross(double horizon, double vol) noexcept
        : horizon_(horizon),
          scale_(1.0 / (horizon * vol)),
          inv_st_(1.0 / (vol * horizon)),
          inv_s_(1.0 / vol),
          two_over_s2t_(2.0 / ((vol * vol) * horizon)),
          inv_s2_(1.0 / (vol * vol)),
          three_over_s2t_(3.0 / ((vol * vol) * horizon)) {}

    CrossTerms weights(double w) const noexcept {
        const double pd = w * scale_;
        const double pv = (w * w - horizon_) * inv_st_;
        return {pd * pv - w * two_over_s2t_, (pv * pv + inv_s2_) - (w * w) * three_over_s2t_};
    }

    CrossTerms pathwise(double /*x*/, double w) const noexcept {
        const double pv = (w * w - horizon_) * inv_st_;
        return {pv, w * pv - w * inv_s_};
    }

private:
    double horizon_, scale_, inv_st_, inv_s_, two_over_s2t_, inv_s2_, three_over_s2t_;
};

// One path's samples, in the centred form (price, u[2], v[2]); the plain estimators
// leave v at 0 and use u alone.
using CrossSamples = LocalisedSamples<2>;

template <class Flow, class Payoff>
CrossSamples by_weights(const Flow& flow, Payoff f, double x, double w) noexcept {
    const double fx = f(x);
    const CrossTerms t = flow.weights(w);
    return {fx, {fx * t.vanna, fx * t.volga}, {0.0, 0.0}};
}

template <class Flow, class Payoff, class Slope>
CrossSamples by_pathwise(const Flow& flow, Payoff f, Slope slope, double x, double w) noexcept {
    const double d = slope(x);
    const CrossTerms m = flow.pathwise(x, w);
    return {f(x), {d * m.vanna, d * m.volga}, {0.0, 0.0}};
}

template <class Flow>
CrossSamples localised(const LocalisedDigital& digital, const Flow& flow, double x,
                       double w) noexcept {
    const CrossTerms m = flow.pathwise(x, w);
    const CrossTerms v = flow.weights(w);
    const double mv[2] = {m.vanna, m.volga};
    const double vv[2] = {v.vanna, v.volga};
    return digital.sample(x, mv, vv);
}

// Sums of the two Greek streams alone.
struct CrossSums {
    double s1[2] = {0.0, 0.0}, s2[2] = {0.0, 0.0};
    void add(const CrossSamples& s) noexcept {
        for (std::size_t i = 0; i < 2; ++i) {
            s1[i] = s1[i] + s.u[i];
            s2[i] = s2[i] + s.u[i] * s.u[i];
        }
    }
    MeanStderr greek(std::size_t i, std::size_t n) const noexcept {
        return mean_stderr(s1[i], s2[i], n);
    }
};

// The sums of `sample(k)` in path order, or of the pair means in pair order.
template <class Sums, class Sample>
void add_all(Sums& sums, Pairs pairs, std::size_t n, Sample sample) {
    if (pairs != Pairs::none) return add_pair_means(sums, pairs, n, sample);
    for (std::size_t k = 0; k < n; ++k) sums.add(sample(k));
}

// Calls f with the cross terms of the model.
template <class F>
decltype(auto) with_cross(Model model, double horizon, double x0, double vol, F&& f) {
    if (model == Model::gbm) return f(GbmCross(horizon, x0, vol));
    return f(AbmCross(horizon, vol));
}

// Writes row k of `cols` doubles from `sample(k, row)`, for the rows the buffer holds (a
// bound the analyser can follow).
template <class Sample>
void write_rows(Buffer& out, std::size_t cols, Sample sample) {
    const std::size_t size = out.size();
    for (std::size_t k = 0; cols * k < size; ++k) sample(k, out.data() + k * cols);
}

}  // namespace

Result<Matrix> vanna_volga_constant_flow_chunk_samples(
    const View1D& terminal_states, const View1D& w_terminals, double horizon, double x0, double vol,
    std::string_view payoff, double strike, std::string_view model, std::string_view estimator,
    double width, double strike2) {
    const std::optional<GreekPayoff> kind = parse_greek_payoff(payoff);
    const std::optional<Model> m = parse_model(model);
    const std::optional<Estimator> est = parse_estimator(estimator);
    if (!kind || !m || !est || terminal_states.size() != w_terminals.size()) {
        return ModelError{"the arguments were not checked before the chunks ran"};
    }
    const std::size_t n = terminal_states.size();
    const SampleLayout layout = sample_layout(SampledEstimate::vanna_volga, *kind, *est);
    const bool centred = layout.centred;
    const std::size_t cols = layout.columns;
    if (auto err = check_result_length(n, cols, "terminal_states")) return *std::move(err);
    Buffer out = Buffer::allocate_rows(n, cols);
    // The single call's per-path samples, the columns its sums read.
    auto plain = [](const CrossSamples& s, double* r) {
        r[0] = s.u[0];
        r[1] = s.u[1];
    };
    with_cross(*m, horizon, x0, vol, [&](const auto& flow) {
        with_dense_views(
            [&](const auto& x, const auto& w) {
                if (*est == Estimator::weights) {
                    with_greek_payoff(*kind, strike, strike2, [&](auto f) {
                        write_rows(out, cols, [&](std::size_t k, double* r) {
                            plain(by_weights(flow, f, x[k], w[k]), r);
                        });
                    });
                } else if (!centred) {
                    with_greek_slope(*kind, strike, strike2, [&](auto f, auto slope) {
                        write_rows(out, cols, [&](std::size_t k, double* r) {
                            plain(by_pathwise(flow, f, slope, x[k], w[k]), r);
                        });
                    });
                } else {
                    const LocalisedDigital digital(strike, width,
                                                   *kind == GreekPayoff::digital_put);
                    write_rows(out, cols, [&](std::size_t k, double* r) {
                        const CrossSamples s = localised(digital, flow, x[k], w[k]);
                        r[0] = s.price;
                        for (std::size_t i = 0; i < 2; ++i) {
                            r[1 + i] = s.u[i];
                            r[3 + i] = s.v[i];
                            r[5 + i] = s.u[i] * s.v[i];
                        }
                    });
                }
            },
            terminal_states, w_terminals);
    });
    return Matrix{std::move(out), n, cols};
}

Result<Buffer> vanna_volga_constant_flow(const View1D& terminal_states, const View1D& w_terminals,
                                         double horizon, double x0, double vol,
                                         std::string_view payoff, double strike,
                                         std::string_view model, std::string_view estimator,
                                         std::optional<double> half_width,
                                         std::optional<double> rate, std::optional<double> strike2,
                                         std::optional<std::string_view> pairs) {
    const Result<ConstantFlowCall> checked = check_price_and_greeks_constant_flow(
        terminal_states, w_terminals, horizon, x0, vol, payoff, strike, model, estimator,
        half_width, rate, strike2, pairs);
    if (!checked.ok()) return checked.error();
    const ConstantFlowCall call = checked.value();
    const double k2 = strike2 ? *strike2 : 0.0;
    const std::size_t n = terminal_states.size();
    const std::size_t means = call.pairs == Pairs::none ? n : n / 2;

    auto estimate = [&](const auto& flow) -> Greeks {
        return with_dense_views(
            [&](const auto& x, const auto& w) -> Greeks {
                MeanStderr g[2];
                if (call.estimator == Estimator::weights || !call.localised) {
                    CrossSums sums;
                    if (call.estimator == Estimator::weights) {
                        with_greek_payoff(call.payoff, strike, k2, [&](auto f) {
                            add_all(sums, call.pairs, n,
                                    [&](std::size_t k) { return by_weights(flow, f, x[k], w[k]); });
                        });
                    } else {
                        with_greek_slope(call.payoff, strike, k2, [&](auto f, auto slope) {
                            add_all(sums, call.pairs, n, [&](std::size_t k) {
                                return by_pathwise(flow, f, slope, x[k], w[k]);
                            });
                        });
                    }
                    for (std::size_t i = 0; i < 2; ++i) g[i] = sums.greek(i, means);
                } else {
                    const LocalisedDigital digital(strike,
                                                   half_width ? *half_width : default_half_width(x),
                                                   call.payoff == GreekPayoff::digital_put);
                    CentringSums<2> sums;
                    add_all(sums, call.pairs, n,
                            [&](std::size_t k) { return localised(digital, flow, x[k], w[k]); });
                    for (std::size_t i = 0; i < 2; ++i) g[i] = sums.greek(i, means);
                }
                // The two in the vega and rho slots, so that finish_greeks applies the
                // package's conventions to them as to every other Greek.
                const double nan = std::nan("");
                return {nan, nan, nan, g[0].mean,    g[1].mean,
                        nan, nan, nan, g[0].stderr_, g[1].stderr_};
            },
            terminal_states, w_terminals);
    };
    const Greeks g = finish_greeks(call.model == Model::gbm ? estimate(GbmCross(horizon, x0, vol))
                                                            : estimate(AbmCross(horizon, vol)),
                                   rate, horizon);
    Buffer out = Buffer::allocate(4);
    out[0] = g.vega;
    out[1] = g.rho;
    out[2] = g.vega_stderr;
    out[3] = g.rho_stderr;
    return out;
}

}  // namespace quarnel
