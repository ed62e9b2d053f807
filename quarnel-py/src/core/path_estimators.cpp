// The estimator stage of the path-dependent products: per-path samples from the rows of
// path_kernels.cpp, summed left to right in path order.
//
// A barrier's payoff F = R + (f(X_N) - R) A, A the survival P (or 1 - P knocking in), is
// split into a part S taken pathwise and a part U taken by weights:
//   S = r_s + (f_s - r_s) A,   U = r_u + (g - r_u) A,   f = f_s + g, R = r_s + r_u.
// Since L X_N = 0, the weights part needs only the L-derivatives of A:
//   delta  f_s' Y A + (f_s - r_s) DA + U pi + (g - r_u) LA
//   gamma  f_s' (Y A pi + H A + Y LA) + (f_s - r_s)(DA pi + LDA)
//          + U pi_G + (g - r_u)(2 LA pi + LLA)
//   vega   f_s' V A + (f_s - r_s) VA + U pi_V + (g - r_u) L_V A
// (the gamma of S is d/dx0 of its pathwise delta by the same rule). Calls and puts under
// "lowest_variance" are all S; digitals a ramp f_s of half-width e around the strike
// plus the remainder g, centred on the weights; "weights" and discrete monitoring (whose
// indicator has no pathwise derivative) are all U.
#include <cmath>
#include <limits>
#include <string>

#include "core/path_products.hpp"
#include "quarnel/greeks_from_paths.hpp"

namespace quarnel::paths {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Value {
    double f, slope;
};

// The payoff at x and its slope (0 for the digitals).
Value payoff_at(PayoffName p, double k, double x) noexcept {
    switch (p) {
        case PayoffName::call: return x > k ? Value{x - k, 1.0} : Value{0.0, 0.0};
        case PayoffName::put: return x < k ? Value{k - x, -1.0} : Value{0.0, 0.0};
        case PayoffName::digital: return {x > k ? 1.0 : 0.0, 0.0};
        case PayoffName::digital_put: break;
    }
    return {x < k ? 1.0 : 0.0, 0.0};
}

bool is_digital(PayoffName p) noexcept {
    return p == PayoffName::digital || p == PayoffName::digital_put;
}

// The ramp of a digital from 0 at K - e to 1 at K + e (the put's from 1 to 0); off (zero)
// when e is not a positive finite number.
Value ramp_at(PayoffName p, double k, double e, double x) noexcept {
    if (!(e > 0.0 && e < std::numeric_limits<double>::infinity())) return {0.0, 0.0};
    const double lo = k - e, hi = k + e, inv2e = 1.0 / (2.0 * e);
    double r = 0.0, slope = 0.0;
    if (x >= hi) {
        r = 1.0;
    } else if (x > lo) {
        r = (x - lo) * inv2e;
        slope = inv2e;
    }
    if (p == PayoffName::digital_put) return {1.0 - r, -slope};
    return {r, slope};
}

// How a call splits the payoff between the two parts.
struct Split {
    bool smooth, rough;  // which parts are in use
    double fs, fsp, rs, g, ru;
};

Split split(const EstimatorSpec& spec, bool pathwise_allowed, double x) noexcept {
    const Value v = payoff_at(spec.payoff, spec.strike, x);
    if (spec.estimator == Estimator::weights || !pathwise_allowed) {
        return {false, true, 0.0, 0.0, 0.0, v.f, spec.rebate};
    }
    if (!is_digital(spec.payoff)) return {true, false, v.f, v.slope, spec.rebate, 0.0, 0.0};
    const Value r = ramp_at(spec.payoff, spec.strike, spec.half_width, x);
    return {true, true, r.f, r.slope, spec.rebate, v.f - r.f, 0.0};
}

void add(Sums& sums, double price, const double (&u)[3], const double (&v)[3], double df) noexcept {
    auto& s = sums.s;
    const double p = price * df;
    s[0] = s[0] + p;
    s[1] = s[1] + p * p;
    for (std::size_t i = 0; i < 3; ++i) {
        const double ui = u[i] * df, vi = v[i] * df;
        double* g = s.data() + 2 + 5 * i;
        g[0] = g[0] + ui;
        g[1] = g[1] + ui * ui;
        g[2] = g[2] + ui * vi;
        g[3] = g[3] + vi;
        g[4] = g[4] + vi * vi;
    }
    s[Sums::kSize - 1] = s[Sums::kSize - 1] + 1.0;
}

}  // namespace

Result<PayoffName> payoff_named(std::string_view name) {
    if (name == "call") return PayoffName::call;
    if (name == "put") return PayoffName::put;
    if (name == "digital") return PayoffName::digital;
    if (name == "digital_put") return PayoffName::digital_put;
    return ModelError{"unknown payoff '" + std::string(name) +
                      "': expected 'call', 'put', 'digital' or 'digital_put'"};
}

void add_barrier_samples(const EstimatorSpec& spec, bool continuous, const double* rows,
                         std::size_t n, Sums& sums) noexcept {
    for (std::size_t k = 0; k < n; ++k) {
        const double* r = rows + k * kBarrierColumns;
        const Split sp = split(spec, continuous, r[kX]);
        const double a = r[kA];
        double price = 0.0, u[3] = {0.0, 0.0, 0.0};
        if (sp.smooth) {
            const double c = sp.fs - sp.rs;
            price = sp.rs + c * a;
            u[0] = (sp.fsp * r[kY]) * a + c * r[kDA];
            u[1] = sp.fsp * (((r[kY] * a) * r[kPi] + r[kH] * a) + r[kY] * r[kLA]) +
                   c * (r[kDA] * r[kPi] + r[kLDA]);
            u[2] = (sp.fsp * r[kV]) * a + c * r[kVA];
        }
        if (sp.rough) {
            const double c = sp.g - sp.ru;
            const double uu = sp.ru + c * a;
            price = price + uu;
            u[0] = u[0] + (uu * r[kPi] + c * r[kLA]);
            u[1] = u[1] + (uu * r[kPiG] + c * ((2.0 * r[kLA]) * r[kPi] + r[kLLA]));
            u[2] = u[2] + (uu * r[kPiV] + c * r[kLVA]);
        }
        const double v[3] = {r[kPi], r[kPiG], r[kPiV]};
        add(sums, price, u, v, spec.discount);
    }
}

void add_asian_samples(const EstimatorSpec& spec, const double* rows, std::size_t n,
                       Sums& sums) noexcept {
    for (std::size_t k = 0; k < n; ++k) {
        const double* r = rows + k * kAsianColumns;
        const Split sp = split(spec, true, r[kAvg]);
        double price = 0.0, u[3] = {0.0, 0.0, 0.0};
        if (sp.smooth) {
            price = sp.fs;
            const double d = sp.fsp * r[kDAvg];
            u[0] = d;
            u[1] = d * (r[kPi1] + r[kHY]);
            u[2] = sp.fsp * r[kVAvg];
        }
        if (sp.rough) {
            price = price + sp.g;
            u[0] = u[0] + sp.g * r[kPi1];
            u[1] = u[1] + sp.g * r[kPi1G];
            u[2] = u[2] + sp.g * r[kPiV1];
        }
        const double v[3] = {r[kPi1], r[kPi1G], r[kPiV1]};
        add(sums, price, u, v, spec.discount);
    }
}

Greeks finish(const Sums& sums, bool centred, bool vega) noexcept {
    const auto& s = sums.s;
    const auto n = static_cast<std::size_t>(s[Sums::kSize - 1]);
    auto finite = [](MeanStderr m) {
        if (!std::isfinite(m.mean)) m.stderr_ = kNaN;
        return m;
    };
    const MeanStderr p = finite(mean_stderr(s[0], s[1], n));
    MeanStderr g[3];
    for (std::size_t i = 0; i < 3; ++i) {
        const double* t = s.data() + 2 + 5 * i;
        if (centred) {
            const CentredSums c = centre_on_weight(t[0], t[1], t[2], t[3], t[4], n);
            g[i] = finite(mean_stderr(c.s1, c.s2, n));
        } else {
            g[i] = finite(mean_stderr(t[0], t[1], n));
        }
    }
    if (!vega) g[2] = {kNaN, kNaN};
    return {p.mean,    g[0].mean,    g[1].mean,    g[2].mean,    kNaN,
            p.stderr_, g[0].stderr_, g[1].stderr_, g[2].stderr_, kNaN};
}

double default_half_width(const double* rows, std::size_t n, std::size_t columns,
                          std::size_t column) noexcept {
    double s1 = 0.0, s2 = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        const double x = rows[k * columns + column];
        s1 = s1 + x;
        s2 = s2 + x * x;
    }
    const double count = static_cast<double>(n);
    const double mean = s1 / count;
    double var = s2 / count - mean * mean;
    var = var > 0.0 ? var : 0.0;
    return 2.0 * std::sqrt(var);
}

}  // namespace quarnel::paths
