// d correlated assets with exact terminal sampling, GBM or ABM:
//   GBM  ln X_i(T) = ln x0_i + (mu_i - s_i^2 / 2) T + s_i (L W)_i
//   ABM  X_i(T)    = x0_i + mu_i T + s_i (L W)_i
// with W the independent Brownian values at T and L L^T the correlation matrix. The
// likelihood weights of the delta vector, the gamma matrix and the vega vector depend
// on W alone; everything that does not vary by path is factored once here.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "core/greeks.hpp"
#include "core/result.hpp"
#include "core/view.hpp"

namespace quarnel {

struct BasketModel {
    Model model = Model::gbm;
    std::size_t d = 0;
    double horizon = 0.0;
    std::vector<double> chol;     // L, lower triangle, row-major d x d
    std::vector<double> inv_lt;   // L^-T, upper triangle, row-major d x d
    std::vector<double> g_scale;  // 1 / (T s_i)
    std::vector<double> inv_x0;   // GBM 1 / x0_i, ABM 1 (so that the delta formula is one)
    std::vector<double> q;        // the constant of the gamma weight, full d x d
    std::vector<double> inv_s;    // 1 / s_i
    std::vector<double> s_t;      // s_i T (GBM only: the drift's share of d X_i / d s_i)
};

// Validates, in order: model, d >= 1, lengths of x0 and vols, the correlation's shape,
// horizon > 0, x0 (finite, positive under GBM), vols > 0 and finite, the correlation
// (finite, symmetric, unit diagonal, entries in [-1, 1], positive definite).
Result<BasketModel> make_basket_model(std::size_t d, const View1D& x0, const View1D& vols,
                                      const View2D& correlation, double horizon,
                                      std::string_view model);

// Per path: p the delta weights, lw = (L W)_i and vw the vega weights, from the d
// Brownian values w (all arrays of length d). The gamma weight of (i, j) is
// gamma_weight(m, p, i, j).
template <Model M>
inline void basket_terms(const BasketModel& m, const double* w, double* p, double* lw,
                         double* vw) noexcept {
    const std::size_t d = m.d;
    for (std::size_t i = 0; i < d; ++i) {
        // g = (1/T) diag(s)^-1 L^-T W, each row's sum left to right.
        const double* a = m.inv_lt.data() + i * d;
        double g = 0.0;
        for (std::size_t j = i; j < d; ++j) g = g + a[j] * w[j];
        g = g * m.g_scale[i];
        const double* l = m.chol.data() + i * d;
        double y = 0.0;
        for (std::size_t j = 0; j <= i; ++j) y = y + l[j] * w[j];
        lw[i] = y;
        p[i] = g * m.inv_x0[i];
        if constexpr (M == Model::gbm) {
            vw[i] = g * (y - m.s_t[i]) - m.inv_s[i];
        } else {
            vw[i] = g * y - m.inv_s[i];
        }
    }
}

template <Model M>
inline double gamma_weight(const BasketModel& m, const double* p, std::size_t i,
                           std::size_t j) noexcept {
    const double qij = m.q[i * m.d + j];
    if constexpr (M == Model::gbm) {
        // The diagonal in the scalar kernel's order: (p * p - p / x0) - q.
        if (i == j) return (p[i] * p[i] - p[i] * m.inv_x0[i]) - qij;
    }
    return p[i] * p[j] - qij;
}

}  // namespace quarnel
