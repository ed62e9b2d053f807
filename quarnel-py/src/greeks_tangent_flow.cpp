#include "greeks_tangent_flow.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "payoffs.hpp"
#include "quarnel/from_paths.hpp"
#include "quarnel/greeks_from_paths.hpp"
#include "tangent_flow2.hpp"

namespace quarnel {
namespace {

// One row of the kernel output (SecondOrderKind::all; greeks leaves v and q unread).
struct PathRow {
    double pi, pi_g, y, h, v, q;
};

// Slopes of the Lipschitz built-in payoffs; 0 at the kink (a set of measure zero).
struct Pathwise {
    PayoffKind kind;
    double strike;
    double slope(double x) const noexcept {
        if (kind == PayoffKind::call) return x > strike ? 1.0 : 0.0;
        if (kind == PayoffKind::put) return x < strike ? -1.0 : 0.0;
        return 1.0;
    }
};

// The digital split into a ramp fs from 0 at K - e to 1 at K + e, taken pathwise, and
// the remainder g = f - fs, taken by weights and centred on each weight by its own
// regression coefficient (centre_on_weight). A half-width that is not a positive finite
// number (paths with no spread) turns the ramp off.
struct Localised {
    double strike, lo, hi, inv2e;
    Localised(double k, double e) noexcept
        : strike(k), lo(std::numeric_limits<double>::infinity()), hi(lo), inv2e(0.0) {
        if (e > 0.0 && e < std::numeric_limits<double>::infinity()) {
            lo = k - e;
            hi = k + e;
            inv2e = 1.0 / (2.0 * e);
        }
    }
    double ramp(double x) const noexcept {
        return x <= lo ? 0.0 : (x >= hi ? 1.0 : (x - lo) * inv2e);
    }
    double ramp_slope(double x) const noexcept { return (lo < x && x < hi) ? inv2e : 0.0; }
    double remainder(double x) const noexcept { return (x > strike ? 1.0 : 0.0) - ramp(x); }
};

// The localised digital's sums, left to right in path order: the price's, and per Greek
// (delta, gamma, vega) those of u = ramp' * m + g * v and of the weight v that
// centre_on_weight expands into the sums of u - c v once c is known.
struct CentringSums {
    double sp = 0.0, spp = 0.0;
    double su[3] = {0.0, 0.0, 0.0}, suu[3] = {0.0, 0.0, 0.0}, suv[3] = {0.0, 0.0, 0.0};
    double sv[3] = {0.0, 0.0, 0.0}, svv[3] = {0.0, 0.0, 0.0};
    void add(double f, const double (&u)[3], const double (&v)[3]) noexcept {
        sp = sp + f;
        spp = spp + f * f;
        for (int i = 0; i < 3; ++i) {
            su[i] = su[i] + u[i];
            suu[i] = suu[i] + u[i] * u[i];
            suv[i] = suv[i] + u[i] * v[i];
            sv[i] = sv[i] + v[i];
            svv[i] = svv[i] + v[i] * v[i];
        }
    }
    Greeks finish(std::size_t n, bool with_vega) const noexcept {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        const MeanStderr p = mean_stderr(sp, spp, n);
        MeanStderr g[3];
        for (int i = 0; i < 3; ++i) {
            const CentredSums c = centre_on_weight(su[i], suu[i], suv[i], sv[i], svv[i], n);
            g[i] = mean_stderr(c.s1, c.s2, n);
        }
        if (!with_vega) g[2] = {nan, nan};
        return {p.mean,    g[0].mean,    g[1].mean,    g[2].mean,    nan,
                p.stderr_, g[0].stderr_, g[1].stderr_, g[2].stderr_, nan};
    }
};

struct Samples {
    double price, delta, gamma, vega;
};

// The four sample streams, summed left to right in path order.
struct GreekSums {
    TwoStreamSums price_delta, gamma_vega;
    void add(const Samples& s) noexcept {
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

// Runs the kernel over the batch in blocks and hands each path's (X_N, row) to `visit`
// in path order. The block is small enough for the cache and long enough for the
// kernel's lanes to walk long row runs.
template <class Visit>
std::optional<ModelError> for_each_row(const SecondOrderBatch& batch, SecondOrderKind kind,
                                       const View1D& terminal, bool with_vega, Visit visit) {
    constexpr std::size_t kBlock = 512;
    const std::size_t width = columns(kind);
    std::vector<double> rows(kBlock * width);
    for (std::size_t first = 0; first < batch.n_paths; first += kBlock) {
        const std::size_t count = std::min(kBlock, batch.n_paths - first);
        if (auto zero = second_order_rows(kind, batch, first, count, rows.data())) {
            return ModelError{"sigma_field[" + std::to_string(zero->path) + ", " +
                              std::to_string(zero->step) +
                              "] = 0 produces division by zero in BEL weight"};
        }
        for (std::size_t i = 0; i < count; ++i) {
            const double* r = rows.data() + i * width;
            const PathRow row{
                r[0], r[1], r[2], r[3], with_vega ? r[4] : 0.0, with_vega ? r[5] : 0.0};
            visit(terminal[first + i], row);
        }
    }
    return std::nullopt;
}

// The four sample streams of `sample(x, row)`, summed left to right in path order.
template <class Sample>
Result<Greeks> accumulate(const SecondOrderBatch& batch, SecondOrderKind kind,
                          const View1D& terminal, bool with_vega, Sample sample) {
    GreekSums sums;
    if (auto err = for_each_row(batch, kind, terminal, with_vega,
                                [&](double x, const PathRow& r) { sums.add(sample(x, r)); })) {
        return *std::move(err);
    }
    return sums.finish(batch.n_paths, with_vega);
}

}  // namespace

Result<Greeks> price_and_greeks_tangent_flow(
    const View2D& states, const View2D& dws, const View2D& sigma_field, const View2D& d_mu_dx_field,
    const View2D& d_sigma_dx_field, const View2D& d2_mu_dx2_field, const View2D& d2_sigma_dx2_field,
    double horizon, std::string_view payoff, double strike, std::string_view estimator,
    std::optional<std::string_view> vega, std::optional<double> half_width) {
    Result<BatchShape> shape =
        check_batch_shapes(states, {{"dws", &dws},
                                    {"sigma_field", &sigma_field},
                                    {"d_mu_dx_field", &d_mu_dx_field},
                                    {"d_sigma_dx_field", &d_sigma_dx_field},
                                    {"d2_mu_dx2_field", &d2_mu_dx2_field},
                                    {"d2_sigma_dx2_field", &d2_sigma_dx2_field}});
    if (!shape.ok()) return shape.error();
    const std::optional<PayoffKind> kind = parse_payoff(payoff);
    if (!kind) {
        return ModelError{"unknown payoff '" + std::string(payoff) +
                          "': expected 'identity', 'call', 'put', or 'digital_call'"};
    }
    const std::optional<Estimator> est = parse_estimator(estimator);
    if (!est) {
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

    SecondOrderBatch batch =
        make_second_order_batch(dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, d2_mu_dx2_field,
                                d2_sigma_dx2_field, shape.value(), horizon);
    // The parallel bump: d sigma/de = sigma, d2 sigma/dx de = sigma', drift unchanged
    // (zero fields read through stride-0 views of one zero).
    static const double zero = 0.0;
    const View2D zeros{reinterpret_cast<const std::byte*>(&zero), batch.n_paths, batch.n_steps, 0,
                       0};
    batch.d_mu_dp = zeros;
    batch.d_sigma_dp = sigma_field;
    batch.d2_mu_dx_dp = zeros;
    batch.d2_sigma_dx_dp = d_sigma_dx_field;
    const bool with_vega = vega.has_value();
    const SecondOrderKind rows = with_vega ? SecondOrderKind::all : SecondOrderKind::greeks;
    // The last column of `states`; an empty batch reads nothing.
    const View1D terminal =
        batch.n_paths == 0 ? View1D{}
                           : View1D{states.row_ptr(0) + static_cast<std::ptrdiff_t>(batch.n_steps) *
                                                            states.col_stride,
                                    batch.n_paths, states.row_stride};

    if (*est == Estimator::weights) {
        return with_payoff(*kind, strike, [&](auto f) {
            return accumulate(batch, rows, terminal, with_vega, [f](double x, const PathRow& r) {
                const double fx = f(x);
                return Samples{fx, fx * r.pi, fx * r.pi_g, fx * r.q};
            });
        });
    }
    if (*kind != PayoffKind::digital_call) {
        return with_payoff(*kind, strike, [&](auto f) {
            const Pathwise pw{*kind, strike};
            return accumulate(batch, rows, terminal, with_vega,
                              [f, pw](double x, const PathRow& r) {
                                  const double d = pw.slope(x);
                                  return Samples{f(x), d * r.y, d * ((r.y * r.pi) + r.h), d * r.v};
                              });
        });
    }
    // One cheap pass over X_N before the kernel for the default width; the centring
    // coefficients come out of the sums at the end.
    const Localised loc(strike, half_width ? *half_width : default_half_width(terminal));
    const DigitalCallPayoff f{strike};
    CentringSums sums;
    if (auto err = for_each_row(batch, rows, terminal, with_vega, [&](double x, const PathRow& r) {
            const double s = loc.ramp_slope(x);
            const double g = loc.remainder(x);
            const double v[3] = {r.pi, r.pi_g, r.q};
            const double u[3] = {s * r.y + g * r.pi, s * ((r.y * r.pi) + r.h) + g * r.pi_g,
                                 s * r.v + g * r.q};
            sums.add(f(x), u, v);
        })) {
        return *std::move(err);
    }
    return sums.finish(batch.n_paths, with_vega);
}

}  // namespace quarnel
