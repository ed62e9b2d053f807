#include "core/basket_model.hpp"

#include <cmath>
#include <string>

namespace quarnel {
namespace {

// Entries that differ by less than this are taken as equal: a correlation estimated and
// symmetrised in floating point is off by a few ulps, and that is not a user's mistake.
constexpr double kTolerance = 1e-12;
// The smallest pivot of the factorisation accepted: the share of an asset's variance not
// explained by the assets before it. Below it the weights divide by almost nothing.
constexpr double kMinPivot = 1e-12;

// "correlation[i, j]", built by appending (GCC 12 misreads a chain of temporaries here
// as an overlapping copy).
std::string at(std::size_t i, std::size_t j) {
    std::string s = "correlation[";
    s.append(std::to_string(i)).append(", ").append(std::to_string(j)).append("]");
    return s;
}

std::optional<ModelError> check_vectors(const BasketModel& m, const View1D& x0,
                                        const View1D& vols) {
    for (std::size_t i = 0; i < m.d; ++i) {
        const double x = x0[i];
        if (!std::isfinite(x)) return ModelError{"x0[" + std::to_string(i) + "] is not finite"};
        if (m.model == Model::gbm && !(x > 0.0)) {
            return ModelError{"x0[" + std::to_string(i) + "] must be positive, got " +
                              std::to_string(x)};
        }
    }
    for (std::size_t i = 0; i < m.d; ++i) {
        const double s = vols[i];
        if (!(s > 0.0 && std::isfinite(s))) {
            return ModelError{"vols[" + std::to_string(i) + "] must be positive and finite, got " +
                              std::to_string(s)};
        }
    }
    return std::nullopt;
}

std::optional<ModelError> check_correlation(std::size_t d, const View2D& r) {
    for (std::size_t i = 0; i < d; ++i) {
        for (std::size_t j = 0; j < d; ++j) {
            const double v = r(i, j);
            if (!std::isfinite(v)) return ModelError{at(i, j) + " is not finite"};
            if (!(std::fabs(v) <= 1.0 + kTolerance)) {
                return ModelError{at(i, j) + " must lie in [-1, 1], got " + std::to_string(v)};
            }
        }
        if (!(std::fabs(r(i, i) - 1.0) <= kTolerance)) {
            return ModelError{"correlation must have a unit diagonal: " + at(i, i) + " is " +
                              std::to_string(r(i, i))};
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (!(std::fabs(r(i, j) - r(j, i)) <= kTolerance)) {
                return ModelError{"correlation must be symmetric: " + at(i, j) + " = " +
                                  std::to_string(r(i, j)) + " but " + at(j, i) + " = " +
                                  std::to_string(r(j, i))};
            }
        }
    }
    return std::nullopt;
}

// Cholesky factor of the lower triangle (unit diagonal taken as exactly 1).
std::optional<ModelError> factorise(BasketModel& m, const View2D& r) {
    const std::size_t d = m.d;
    m.chol.assign(d * d, 0.0);
    for (std::size_t i = 0; i < d; ++i) {
        for (std::size_t j = 0; j <= i; ++j) {
            double s = i == j ? 1.0 : r(i, j);
            for (std::size_t k = 0; k < j; ++k) s = s - m.chol[i * d + k] * m.chol[j * d + k];
            if (i == j) {
                if (!(s > kMinPivot)) {
                    return ModelError{"correlation is not positive definite: its leading " +
                                      std::to_string(i + 1) + " x " + std::to_string(i + 1) +
                                      " block is singular or indefinite"};
                }
                m.chol[i * d + i] = std::sqrt(s);
            } else {
                m.chol[i * d + j] = s / m.chol[j * d + j];
            }
        }
    }
    // L^-1 by forward substitution, stored transposed: inv_lt = L^-T (upper).
    std::vector<double> inv(d * d, 0.0);
    for (std::size_t j = 0; j < d; ++j) {
        for (std::size_t i = j; i < d; ++i) {
            double s = i == j ? 1.0 : 0.0;
            for (std::size_t k = j; k < i; ++k) s = s - m.chol[i * d + k] * inv[k * d + j];
            inv[i * d + j] = s / m.chol[i * d + i];
        }
    }
    m.inv_lt.assign(d * d, 0.0);
    for (std::size_t i = 0; i < d; ++i) {
        for (std::size_t j = 0; j <= i; ++j) m.inv_lt[j * d + i] = inv[i * d + j];
    }
    return std::nullopt;
}

}  // namespace

Result<BasketModel> make_basket_model(std::size_t d, const View1D& x0, const View1D& vols,
                                      const View2D& correlation, double horizon,
                                      std::string_view model) {
    BasketModel m;
    const std::optional<Model> parsed = parse_model(model);
    if (!parsed)
        return ModelError{"unknown model '" + std::string(model) + "': expected 'gbm' or 'abm'"};
    m.model = *parsed;
    m.d = d;
    if (d == 0) return ModelError{"the batch has no assets (d = 0)"};
    if (x0.size() != d) {
        return ModelError{"x0 has " + std::to_string(x0.size()) +
                          " entries, expected one per asset (" + std::to_string(d) + ")"};
    }
    if (vols.size() != d) {
        return ModelError{"vols has " + std::to_string(vols.size()) +
                          " entries, expected one per asset (" + std::to_string(d) + ")"};
    }
    if (correlation.rows != d || correlation.cols != d) {
        return ModelError{"correlation has shape (" + std::to_string(correlation.rows) + ", " +
                          std::to_string(correlation.cols) + "), expected (" + std::to_string(d) +
                          ", " + std::to_string(d) + ")"};
    }
    if (!(horizon > 0.0 && std::isfinite(horizon))) {
        return ModelError{"horizon must be positive and finite"};
    }
    m.horizon = horizon;
    if (auto err = check_vectors(m, x0, vols)) return *std::move(err);
    if (auto err = check_correlation(d, correlation)) return *std::move(err);
    if (auto err = factorise(m, correlation)) return *std::move(err);

    m.g_scale.resize(d);
    m.inv_x0.resize(d);
    m.inv_s.resize(d);
    m.s_t.resize(d);
    for (std::size_t i = 0; i < d; ++i) {
        const double s = vols[i];
        m.g_scale[i] = 1.0 / (horizon * s);
        m.inv_x0[i] = m.model == Model::gbm ? 1.0 / x0[i] : 1.0;
        m.inv_s[i] = 1.0 / s;
        m.s_t[i] = s * horizon;
    }
    // (T Sigma)^-1 = (1/T) diag(s)^-1 (L^-T L^-1) diag(s)^-1, and under GBM scaled by
    // 1 / (x0_i x0_j) like the rest of the gamma weight.
    m.q.assign(d * d, 0.0);
    for (std::size_t i = 0; i < d; ++i) {
        for (std::size_t j = 0; j < d; ++j) {
            double r = 0.0;
            for (std::size_t k = i > j ? i : j; k < d; ++k) {
                r = r + m.inv_lt[i * d + k] * m.inv_lt[j * d + k];
            }
            m.q[i * d + j] =
                ((r * m.g_scale[i]) * m.g_scale[j]) * horizon * m.inv_x0[i] * m.inv_x0[j];
        }
    }
    return m;
}

}  // namespace quarnel
