#include "chunked_greeks.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "greeks.hpp"
#include "payoffs.hpp"
#include "quarnel/from_paths.hpp"
#include "quarnel/greeks_from_paths.hpp"
#include "tangent_flow2.hpp"

namespace quarnel {
namespace {

// Slopes of the Lipschitz payoffs, as the single calls take them.
struct Slope {
    PayoffKind kind;
    double strike;
    double operator()(double x) const noexcept {
        if (kind == PayoffKind::call) return x > strike ? 1.0 : 0.0;
        if (kind == PayoffKind::put) return x < strike ? -1.0 : 0.0;
        return 1.0;
    }
};

// The digital's ramp from 0 at K - e to 1 at K + e, off unless e is positive and finite.
struct Ramp {
    double strike, lo, hi, inv2e;
    Ramp(double k, double e) noexcept
        : strike(k), lo(std::numeric_limits<double>::infinity()), hi(lo), inv2e(0.0) {
        if (e > 0.0 && e < std::numeric_limits<double>::infinity()) {
            lo = k - e;
            hi = k + e;
            inv2e = 1.0 / (2.0 * e);
        }
    }
    double value(double x) const noexcept {
        return x <= lo ? 0.0 : (x >= hi ? 1.0 : (x - lo) * inv2e);
    }
    double slope(double x) const noexcept { return (lo < x && x < hi) ? inv2e : 0.0; }
    double remainder(double x) const noexcept { return (x > strike ? 1.0 : 0.0) - value(x); }
};

ModelError unchecked(const char* what) {
    return {std::string(what) + " was not checked before the chunks ran"};
}

template <class F>
decltype(auto) with_flow(Model model, double horizon, double x0, double vol, F&& f) {
    if (model == Model::gbm) return f(GbmConstantFlow(horizon, x0, vol));
    return f(AbmConstantFlow(horizon, vol));
}

// Writes the samples of path k from `sample(x, w)` (an array of `cols` doubles).
template <class X, class W, class Sample>
void write_rows(const X& x, const W& w, std::size_t cols, double* out, Sample sample) {
    for (std::size_t k = 0; k < x.size(); ++k) sample(x[k], w[k], out + k * cols);
}

}  // namespace

Result<Matrix> greeks_constant_flow_chunk_samples(const View1D& terminal_states,
                                                  const View1D& w_terminals, double horizon,
                                                  double x0, double vol, std::string_view payoff,
                                                  double strike, std::string_view model,
                                                  std::string_view estimator, double width) {
    const std::optional<PayoffKind> kind = parse_payoff(payoff);
    const std::optional<Model> m = parse_model(model);
    const std::optional<Estimator> est = parse_estimator(estimator);
    if (!kind || !m || !est || terminal_states.size() != w_terminals.size()) {
        return unchecked("the arguments");
    }
    const std::size_t n = terminal_states.size();
    const bool localised = *est == Estimator::lowest_variance && *kind == PayoffKind::digital_call;
    const std::size_t cols = localised ? 13 : 5;
    Buffer out = Buffer::allocate(n * cols);
    double* rows = out.data();
    with_flow(*m, horizon, x0, vol, [&](const auto& flow) {
        with_dense_views(
            [&](const auto& xs, const auto& ws) {
                if (*est == Estimator::weights) {
                    // greeks_by_weights_from_paths
                    const double scale = flow.scale();
                    with_payoff(*kind, strike, [&](auto f) {
                        write_rows(xs, ws, cols, rows, [&](double x, double w, double* r) {
                            const double fx = f(x);
                            const GreekTerms t = flow.weights(w);
                            r[0] = fx;
                            r[1] = (fx * w) * scale;
                            r[2] = fx * t.gamma;
                            r[3] = fx * t.vega;
                            r[4] = fx * t.rho;
                        });
                    });
                } else if (!localised) {
                    // greeks_pathwise_from_paths
                    const Slope slope{*kind, strike};
                    with_payoff(*kind, strike, [&](auto f) {
                        write_rows(xs, ws, cols, rows, [&](double x, double w, double* r) {
                            const double d = slope(x);
                            const GreekTerms t = flow.pathwise(x, w);
                            r[0] = f(x);
                            r[1] = d * t.delta;
                            r[2] = d * t.gamma;
                            r[3] = d * t.vega;
                            r[4] = d * t.rho;
                        });
                    });
                } else {
                    // greeks_localised_digital_from_paths
                    const Ramp ramp(strike, width);
                    write_rows(xs, ws, cols, rows, [&](double x, double w, double* r) {
                        const double f = x > strike ? 1.0 : 0.0;
                        const double g = f - ramp.value(x);
                        const double fsp = ramp.slope(x);
                        const GreekTerms pm = flow.pathwise(x, w);
                        const GreekTerms pv = flow.weights(w);
                        const double mv[4] = {pm.delta, pm.gamma, pm.vega, pm.rho};
                        const double vv[4] = {pv.delta, pv.gamma, pv.vega, pv.rho};
                        r[0] = f;
                        for (int i = 0; i < 4; ++i) {
                            const double u = fsp * mv[i] + g * vv[i];
                            r[1 + i] = u;
                            r[5 + i] = vv[i];
                            r[9 + i] = u * vv[i];
                        }
                    });
                }
            },
            terminal_states, w_terminals);
    });
    return Matrix{std::move(out), n, cols};
}

Result<Buffer> localised_digital_finish(const View1D& sums, std::size_t n) {
    // Columns f, u[m], v[m], u[m] * v[m]: 2 (1 + 3 m) sums.
    if (sums.size() % 6 != 2) return ModelError{"sums must hold the sums of 1 + 3 m columns"};
    const std::size_t cols = sums.size() / 2;
    const std::size_t m = (cols - 1) / 3;
    auto s1 = [&](std::size_t c) { return sums[c]; };
    auto s2 = [&](std::size_t c) { return sums[cols + c]; };
    Buffer out = Buffer::allocate(2 * (1 + m));
    const MeanStderr price = mean_stderr(s1(0), s2(0), n);
    out[0] = price.mean;
    out[1 + m] = price.stderr_;
    for (std::size_t i = 0; i < m; ++i) {
        const CentredSums c = centre_on_weight(s1(1 + i), s2(1 + i), s1(1 + 2 * m + i),
                                               s1(1 + m + i), s2(1 + m + i), n);
        const MeanStderr g = mean_stderr(c.s1, c.s2, n);
        out[1 + i] = g.mean;
        out[2 + m + i] = g.stderr_;
    }
    return out;
}

Result<Buffer> default_half_width_of(const View1D& sums, std::size_t n) {
    if (sums.size() != 2) return ModelError{"sums must hold [S(x), S(x * x)]"};
    // default_half_width's arithmetic after its loop.
    const double count = static_cast<double>(n);
    const double mean = sums[0] / count;
    double var = sums[1] / count - mean * mean;
    var = var > 0.0 ? var : 0.0;
    Buffer out = Buffer::allocate(1);
    out[0] = 2.0 * std::sqrt(var);
    return out;
}

std::optional<ModelError> check_price_and_greeks_tangent_flow(
    const View2D& states, const View2D& dws, const View2D& sigma_field, const View2D& d_mu_dx_field,
    const View2D& d_sigma_dx_field, const View2D& d2_mu_dx2_field, const View2D& d2_sigma_dx2_field,
    double horizon, std::string_view payoff, std::string_view estimator,
    std::optional<std::string_view> vega, std::optional<double> half_width) {
    Result<BatchShape> shape =
        check_batch_shapes(states, {{"dws", &dws},
                                    {"sigma_field", &sigma_field},
                                    {"d_mu_dx_field", &d_mu_dx_field},
                                    {"d_sigma_dx_field", &d_sigma_dx_field},
                                    {"d2_mu_dx2_field", &d2_mu_dx2_field},
                                    {"d2_sigma_dx2_field", &d2_sigma_dx2_field}});
    if (!shape.ok()) return shape.error();
    if (!parse_payoff(payoff)) {
        return ModelError{"unknown payoff '" + std::string(payoff) +
                          "': expected 'identity', 'call', 'put', or 'digital_call'"};
    }
    if (!parse_estimator(estimator)) {
        return ModelError{"unknown estimator '" + std::string(estimator) +
                          "': expected 'weights' or 'lowest_variance'"};
    }
    if (vega && *vega != "parallel_bump") {
        return ModelError{"unknown vega '" + std::string(*vega) +
                          "': expected 'parallel_bump' or None"};
    }
    if (!(horizon > 0.0)) return ModelError{"horizon must be positive"};
    if (half_width && !(*half_width > 0.0 && std::isfinite(*half_width))) {
        return ModelError{"half_width must be positive and finite"};
    }
    return std::nullopt;
}

Result<Matrix> greek_rows_tangent_flow_chunk(const View2D& states, const View2D& dws,
                                             const View2D& sigma_field, const View2D& d_mu_dx_field,
                                             const View2D& d_sigma_dx_field,
                                             const View2D& d2_mu_dx2_field,
                                             const View2D& d2_sigma_dx2_field, double horizon,
                                             bool with_vega, std::size_t first_path) {
    Result<BatchShape> shape =
        check_batch_shapes(states, {{"dws", &dws},
                                    {"sigma_field", &sigma_field},
                                    {"d_mu_dx_field", &d_mu_dx_field},
                                    {"d_sigma_dx_field", &d_sigma_dx_field},
                                    {"d2_mu_dx2_field", &d2_mu_dx2_field},
                                    {"d2_sigma_dx2_field", &d2_sigma_dx2_field}});
    if (!shape.ok()) return shape.error();
    if (!(horizon > 0.0)) return unchecked("horizon");
    SecondOrderBatch batch =
        make_second_order_batch(dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, d2_mu_dx2_field,
                                d2_sigma_dx2_field, shape.value(), horizon);
    // The parallel volatility bump, as the single call sets it.
    static const double zero = 0.0;
    const View2D zeros{reinterpret_cast<const std::byte*>(&zero), batch.n_paths, batch.n_steps, 0,
                       0};
    batch.d_mu_dp = zeros;
    batch.d_sigma_dp = sigma_field;
    batch.d2_mu_dx_dp = zeros;
    batch.d2_sigma_dx_dp = d_sigma_dx_field;
    const SecondOrderKind kind = with_vega ? SecondOrderKind::all : SecondOrderKind::greeks;
    const std::size_t width = columns(kind);
    Buffer out = Buffer::allocate(batch.n_paths * (width + 1));
    constexpr std::size_t kBlock = 512;
    Buffer block = Buffer::allocate(kBlock * width);
    for (std::size_t first = 0; first < batch.n_paths; first += kBlock) {
        const std::size_t count = std::min(kBlock, batch.n_paths - first);
        if (auto z = second_order_rows(kind, batch, first, count, block.data())) {
            return ModelError{"sigma_field[" + std::to_string(first_path + z->path) + ", " +
                              std::to_string(z->step) +
                              "] = 0 produces division by zero in BEL weight"};
        }
        for (std::size_t i = 0; i < count; ++i) {
            double* row = out.data() + (first + i) * (width + 1);
            row[0] = states(first + i, batch.n_steps);
            for (std::size_t c = 0; c < width; ++c) row[1 + c] = block[i * width + c];
        }
    }
    return Matrix{std::move(out), batch.n_paths, width + 1};
}

Result<Matrix> greeks_tangent_flow_chunk_samples(const View2D& rows, std::string_view payoff,
                                                 double strike, std::string_view estimator,
                                                 double width) {
    const std::optional<PayoffKind> kind = parse_payoff(payoff);
    const std::optional<Estimator> est = parse_estimator(estimator);
    if (!kind || !est || (rows.cols != 5 && rows.cols != 7)) return unchecked("the arguments");
    const bool with_vega = rows.cols == 7;
    const bool localised = *est == Estimator::lowest_variance && *kind == PayoffKind::digital_call;
    const std::size_t n = rows.rows;
    const std::size_t cols = localised ? 10 : 4;
    Buffer out = Buffer::allocate(n * cols);
    // Per path as the single call's for_each_row() and its sample functions.
    const std::size_t size = out.size();
    auto each = [&](auto sample) {
        // Bounded by the buffer's own size (cols n), which the analyser can follow.
        for (std::size_t k = 0; cols * k < size; ++k) {
            const double x = rows(k, 0);
            const double pi = rows(k, 1), pi_g = rows(k, 2), y = rows(k, 3), h = rows(k, 4);
            const double v = with_vega ? rows(k, 5) : 0.0;
            const double q = with_vega ? rows(k, 6) : 0.0;
            double* r = out.data() + k * cols;
            sample(x, pi, pi_g, y, h, v, q, r);
        }
    };
    if (*est == Estimator::weights) {
        with_payoff(*kind, strike, [&](auto f) {
            each(
                [f](double x, double pi, double pi_g, double, double, double, double q, double* r) {
                    const double fx = f(x);
                    r[0] = fx;
                    r[1] = fx * pi;
                    r[2] = fx * pi_g;
                    r[3] = fx * q;
                });
        });
    } else if (!localised) {
        const Slope slope{*kind, strike};
        with_payoff(*kind, strike, [&](auto f) {
            each([f, slope](double x, double pi, double, double y, double h, double v, double,
                            double* r) {
                const double d = slope(x);
                r[0] = f(x);
                r[1] = d * y;
                r[2] = d * ((y * pi) + h);
                r[3] = d * v;
            });
        });
    } else {
        // The columns f, u[3], v[3] and u[i] * v[i] of the single call's CentringSums.
        const Ramp ramp(strike, width);
        const DigitalCallPayoff f{strike};
        each([f, ramp](double x, double pi, double pi_g, double y, double h, double v, double q,
                       double* r) {
            const double s = ramp.slope(x);
            const double g = ramp.remainder(x);
            const double w[3] = {pi, pi_g, q};
            const double u[3] = {s * y + g * pi, s * ((y * pi) + h) + g * pi_g, s * v + g * q};
            r[0] = f(x);
            for (int i = 0; i < 3; ++i) {
                r[1 + i] = u[i];
                r[4 + i] = w[i];
                r[7 + i] = u[i] * w[i];
            }
        });
    }
    return Matrix{std::move(out), n, cols};
}

Result<Matrix> greek_weights_tangent_flow_chunk(const View2D& states, const View2D& dws,
                                                const View2D& sigma, const View2D& d_mu_dx,
                                                const View2D& d_sigma_dx, const View2D& d2_mu_dx2,
                                                const View2D& d2_sigma_dx2, double horizon,
                                                std::size_t first_path) {
    // greek_weights_tangent_flow, with the zero's path counted in the batch.
    Result<SecondOrderBatch> batch = validate_greek_batch(states, dws, sigma, d_mu_dx, d_sigma_dx,
                                                          d2_mu_dx2, d2_sigma_dx2, horizon);
    if (!batch.ok()) return batch.error();
    const SecondOrderBatch& b = batch.value();
    constexpr std::size_t C = columns(SecondOrderKind::greeks);
    Buffer out = Buffer::allocate(b.n_paths * C);
    if (auto z = second_order_rows(SecondOrderKind::greeks, b, 0, b.n_paths, out.data())) {
        return zero_sigma_error({first_path + z->path, z->step});
    }
    return Matrix{std::move(out), b.n_paths, C};
}

std::optional<ModelError> check_greek_weights_tangent_flow(
    const View2D& states, const View2D& dws, const View2D& sigma, const View2D& d_mu_dx,
    const View2D& d_sigma_dx, const View2D& d2_mu_dx2, const View2D& d2_sigma_dx2, double horizon) {
    Result<SecondOrderBatch> batch = validate_greek_batch(states, dws, sigma, d_mu_dx, d_sigma_dx,
                                                          d2_mu_dx2, d2_sigma_dx2, horizon);
    if (!batch.ok()) return batch.error();
    return std::nullopt;
}

}  // namespace quarnel
