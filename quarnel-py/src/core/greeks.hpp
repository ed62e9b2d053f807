// Shared vocabulary of the Greeks routines: the result of a price-and-Greeks call, the
// estimator choice and the constant-flow model. No Python in here.
#pragma once

#include <cmath>
#include <optional>
#include <string>
#include <string_view>

#include "core/result.hpp"

namespace quarnel {

// Undiscounted price E[f(X_T)] and its derivatives, each with the population standard
// error of its sample mean. A Greek a routine does not compute is NaN, with a NaN error.
struct Greeks {
    double price, delta, gamma, vega, rho;
    double price_stderr, delta_stderr, gamma_stderr, vega_stderr, rho_stderr;
};

// "weights": every Greek is the mean of f(X_T) times its weight (any payoff composes
// the same way). "lowest_variance": per payoff the estimator with the lowest variance
// (pathwise for calls and puts, localisation and centring for digitals).
enum class Estimator { weights, lowest_variance };

inline std::optional<Estimator> parse_estimator(std::string_view name) noexcept {
    if (name == "weights") return Estimator::weights;
    if (name == "lowest_variance") return Estimator::lowest_variance;
    return std::nullopt;
}

// parse_estimator, or the error that lists the names.
inline Result<Estimator> estimator_named(std::string_view name) {
    if (const std::optional<Estimator> est = parse_estimator(name)) return *est;
    return ModelError{"unknown estimator '" + std::string(name) +
                      "': expected 'weights' or 'lowest_variance'"};
}

// An explicit ramp half-width of the localised digital must be a positive finite number.
inline std::optional<ModelError> check_half_width(std::optional<double> half_width) {
    if (half_width && !(*half_width > 0.0 && std::isfinite(*half_width))) {
        return ModelError{"half_width must be positive and finite"};
    }
    return std::nullopt;
}

// A half-width means something only to the localised digital; given anywhere else it
// would be silently ignored, which hides a mistaken call.
inline std::optional<ModelError> check_half_width_use(std::optional<double> half_width,
                                                      bool localised) {
    if (half_width && !localised) {
        return ModelError{
            "half_width applies only to a digital payoff with estimator 'lowest_variance'"};
    }
    return std::nullopt;
}

// Models with exact terminal sampling: dX = mu X dt + s X dW or dX = mu dt + s dW.
enum class Model { gbm, abm };

inline std::optional<Model> parse_model(std::string_view name) noexcept {
    if (name == "gbm") return Model::gbm;
    if (name == "abm") return Model::abm;
    return std::nullopt;
}

}  // namespace quarnel
