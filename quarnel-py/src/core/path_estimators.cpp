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

// One path's samples: per Greek y (the weights sample, or the pathwise one where no
// weight exists), x1 = y - the pathwise sample and x2 = the weight, both of mean zero.
void add(Sums& sums, double price, const double (&y)[3], const double (&x1)[3],
         const double (&x2)[3], double df) noexcept {
    auto& s = sums.s;
    const double p = price * df;
    s[0] = s[0] + p;
    s[1] = s[1] + p * p;
    for (std::size_t i = 0; i < 3; ++i) {
        const double a = y[i] * df, b = x1[i] * df, c = x2[i] * df;
        double* g = s.data() + 2 + 9 * i;
        g[0] = g[0] + a;
        g[1] = g[1] + a * a;
        g[2] = g[2] + b;
        g[3] = g[3] + c;
        g[4] = g[4] + b * b;
        g[5] = g[5] + c * c;
        g[6] = g[6] + b * c;
        g[7] = g[7] + a * b;
        g[8] = g[8] + a * c;
    }
    s[Sums::kSize - 1] = s[Sums::kSize - 1] + 1.0;
}

// The samples of both estimators of one Greek into (y, x1, x2).
void pack(double pathwise, double weights, double weight, bool has_pathwise, bool has_weights,
          double& y, double& x1, double& x2) noexcept {
    if (!has_weights) {
        y = pathwise;
        x1 = 0.0;
        x2 = 0.0;
        return;
    }
    y = weights;
    x1 = has_pathwise ? weights - pathwise : 0.0;
    x2 = weight;
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

namespace {

// The samples of a split (pathwise part S, weights part U) at one row.
struct Parts {
    double price, u[3];
};

Parts barrier_parts(const Split& sp, const double* r) noexcept {
    const double a = r[kA];
    Parts out{0.0, {0.0, 0.0, 0.0}};
    if (sp.smooth) {
        const double c = sp.fs - sp.rs;
        out.price = sp.rs + c * a;
        out.u[0] = (sp.fsp * r[kY]) * a + c * r[kDA];
        out.u[1] = sp.fsp * (((r[kY] * a) * r[kPi] + r[kH] * a) + r[kY] * r[kLA]) +
                   c * (r[kDA] * r[kPi] + r[kLDA]);
        out.u[2] = (sp.fsp * r[kV]) * a + c * r[kVA];
    }
    if (sp.rough) {
        const double c = sp.g - sp.ru;
        const double uu = sp.ru + c * a;
        out.price = out.price + uu;
        out.u[0] = out.u[0] + (uu * r[kPi] + c * r[kLA]);
        out.u[1] = out.u[1] + (uu * r[kPiG] + c * ((2.0 * r[kLA]) * r[kPi] + r[kLLA]));
        out.u[2] = out.u[2] + (uu * r[kPiV] + c * r[kLVA]);
    }
    return out;
}

Parts asian_parts(const Split& sp, const double* r) noexcept {
    Parts out{0.0, {0.0, 0.0, 0.0}};
    if (sp.smooth) {
        out.price = sp.fs;
        const double d = sp.fsp * r[kDAvg];
        out.u[0] = d;
        out.u[1] = d * (r[kPi1] + r[kHY]);
        out.u[2] = sp.fsp * r[kVAvg];
    }
    if (sp.rough) {
        out.price = out.price + sp.g;
        out.u[0] = out.u[0] + sp.g * r[kPi1];
        out.u[1] = out.u[1] + sp.g * r[kPi1G];
        out.u[2] = out.u[2] + sp.g * r[kPiV1];
    }
    return out;
}

// Under "weights" only the weights sample; under "lowest_variance" both samples, the
// pathwise split (where the product allows it) and the weights.
template <class PartsOf>
void add_samples(const EstimatorSpec& spec, bool pathwise_allowed, const double* rows,
                 std::size_t n, std::size_t width, std::size_t weight_column, PartsOf parts_of,
                 Sums& sums) noexcept {
    EstimatorSpec weights_only = spec;
    weights_only.estimator = Estimator::weights;
    const bool both = spec.estimator == Estimator::lowest_variance;
    for (std::size_t k = 0; k < n; ++k) {
        const double* r = rows + k * width;
        const double x = r[0];
        const Parts w = parts_of(split(weights_only, false, x), r);
        double y[3], x1[3], x2[3];
        if (both) {
            const bool pw = pathwise_allowed;
            const Parts p = pw ? parts_of(split(spec, true, x), r) : w;
            for (std::size_t i = 0; i < 3; ++i) {
                const bool has_weights = i < 2 || spec.vega_weights;
                pack(p.u[i], w.u[i], r[weight_column + i], pw, has_weights, y[i], x1[i], x2[i]);
            }
        } else {
            for (std::size_t i = 0; i < 3; ++i) {
                y[i] = w.u[i];
                x1[i] = 0.0;
                x2[i] = 0.0;
            }
        }
        add(sums, w.price, y, x1, x2, spec.discount);
    }
}

}  // namespace

void add_barrier_samples(const EstimatorSpec& spec, bool continuous, const double* rows,
                         std::size_t n, Sums& sums) noexcept {
    add_samples(spec, continuous, rows, n, kBarrierColumns, kPi, &barrier_parts, sums);
}

void add_asian_samples(const EstimatorSpec& spec, const double* rows, std::size_t n,
                       Sums& sums) noexcept {
    add_samples(spec, true, rows, n, kAsianColumns, kPi1, &asian_parts, sums);
}

namespace {

// Y - b1 X1 - b2 X2 with (b1, b2) the least-squares coefficients from the sums of the
// same paths (X1, X2 have mean zero, so any constants keep the estimate unbiased; these
// bias it by O(1/n_paths)). A control with no spread beyond rounding is left out.
CentredSums regress(const double* g, std::size_t n) noexcept {
    const double count = static_cast<double>(n);
    const double my = g[0] / count, m1 = g[2] / count, m2 = g[3] / count;
    const double c11 = g[4] / count - m1 * m1, c22 = g[5] / count - m2 * m2;
    const double c12 = g[6] / count - m1 * m2;
    const double c1y = g[7] / count - m1 * my, c2y = g[8] / count - m2 * my;
    const bool use1 = c11 > 0x1p-26 * (g[4] / count);
    const bool use2 = c22 > 0x1p-26 * (g[5] / count);
    double b1 = 0.0, b2 = 0.0;
    if (use1 && use2) {
        const double det = c11 * c22 - c12 * c12;
        if (det > 0x1p-26 * (c11 * c22)) {
            b1 = (c1y * c22 - c2y * c12) / det;
            b2 = (c2y * c11 - c1y * c12) / det;
        } else {
            b1 = c1y / c11;
        }
    } else if (use1) {
        b1 = c1y / c11;
    } else if (use2) {
        b2 = c2y / c22;
    }
    const double s1 = (g[0] - b1 * g[2]) - b2 * g[3];
    const double s2 = ((((g[1] - (2.0 * b1) * g[7]) - (2.0 * b2) * g[8]) + (b1 * b1) * g[4]) +
                       (2.0 * (b1 * b2)) * g[6]) +
                      (b2 * b2) * g[5];
    return {s1, s2};
}

}  // namespace

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
        const double* t = s.data() + 2 + 9 * i;
        if (centred) {
            const CentredSums c = regress(t, n);
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
