// The conventions every price-and-Greeks function of the package applies to its
// numbers, written once: scalar inputs must be finite, a rate discounts the price and
// every Greek, and an estimate that is not finite has no meaningful error (NaN).
// `_quarnel` keeps its own specified behaviour and never comes through here.
#pragma once

#include <cmath>
#include <optional>
#include <string>

#include "core/fixed_math.hpp"
#include "core/greeks.hpp"
#include "core/result.hpp"

namespace quarnel {

inline const char* non_finite_text(double v) noexcept {
    if (std::isnan(v)) return "nan";
    return v > 0.0 ? "inf" : "-inf";
}

// "{name} must be finite, got nan" (or inf, -inf) unless v is finite.
inline std::optional<ModelError> check_finite(double v, const char* name) {
    if (std::isfinite(v)) return std::nullopt;
    return ModelError{std::string(name) + " must be finite, got " + non_finite_text(v)};
}

inline std::optional<ModelError> check_finite(const std::optional<double>& v, const char* name) {
    if (!v) return std::nullopt;
    return check_finite(*v, name);
}

// exp(-rate * T) with the library's own exp, so the factor has the same bits on every
// platform; quarnel.dask asks for it here rather than computing it in Python.
inline double discount_factor(double rate, double horizon) noexcept {
    return fixed::exp(-(rate * horizon));
}

// Each estimate and its error times df: the mean and the population standard error of
// the discounted per-path sample (df is one constant for every path).
inline Greeks discounted(const Greeks& g, double df) noexcept {
    return {g.price * df,       g.delta * df,        g.gamma * df,        g.vega * df,
            g.rho * df,         g.price_stderr * df, g.delta_stderr * df, g.gamma_stderr * df,
            g.vega_stderr * df, g.rho_stderr * df};
}

// A NaN or infinite estimate says the samples were not fit to average (a NaN input, an
// overflow); a standard error computed beside it would look like a confident number.
inline Greeks with_nan_errors(Greeks g) noexcept {
    const double nan = std::nan("");
    if (!std::isfinite(g.price)) g.price_stderr = nan;
    if (!std::isfinite(g.delta)) g.delta_stderr = nan;
    if (!std::isfinite(g.gamma)) g.gamma_stderr = nan;
    if (!std::isfinite(g.vega)) g.vega_stderr = nan;
    if (!std::isfinite(g.rho)) g.rho_stderr = nan;
    return g;
}

// The last steps of every price-and-Greeks call: the discount when a rate is given,
// then the NaN errors of non-finite estimates.
inline Greeks finish_greeks(const Greeks& g, std::optional<double> rate, double horizon) noexcept {
    return with_nan_errors(rate ? discounted(g, discount_factor(*rate, horizon)) : g);
}

}  // namespace quarnel
