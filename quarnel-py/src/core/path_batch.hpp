// A simulated Euler batch as the core receives it: the arrays by name, grouped as the
// package's PathBatch groups them (the paths, the first-order coefficient fields, the
// second-order ones, a model parameter's four), and the one place where their shapes are
// checked and the messages of those checks are written.
//
// The records build these with designated initializers (.sigma = sigma, ...), so two
// arrays swapped between the binding and the kernel do not compile.
#pragma once

#include <array>
#include <cstddef>
#include <optional>

#include "core/result.hpp"
#include "core/view.hpp"

namespace quarnel {

// The paths: `states` of shape (n_paths, n_steps + 1), whose shape is the batch's, the
// Brownian increments `dws` of shape (n_paths, n_steps), and the horizon T of the grid.
struct PathArrays {
    View2D states;
    View2D dws;
    double horizon = 0.0;
};

// The coefficients and their derivatives in x at the state at the start of each step,
// each of shape (n_paths, n_steps). kNames are the parameter names, in the order the
// fields are checked.
struct FirstOrderFields {
    View2D sigma, d_mu_dx, d_sigma_dx;

    static constexpr std::array<const char*, 3> kNames{"sigma", "d_mu_dx", "d_sigma_dx"};
    std::array<const View2D*, 3> views() const noexcept { return {&sigma, &d_mu_dx, &d_sigma_dx}; }
};

struct SecondOrderFields {
    View2D d2_mu_dx2, d2_sigma_dx2;

    static constexpr std::array<const char*, 2> kNames{"d2_mu_dx2", "d2_sigma_dx2"};
    std::array<const View2D*, 2> views() const noexcept { return {&d2_mu_dx2, &d2_sigma_dx2}; }
};

// The derivatives of the coefficients in one model parameter p.
struct ParameterFields {
    View2D d_mu_dp, d_sigma_dp, d2_mu_dx_dp, d2_sigma_dx_dp;

    static constexpr std::array<const char*, 4> kNames{"d_mu_dp", "d_sigma_dp", "d2_mu_dx_dp",
                                                       "d2_sigma_dx_dp"};
    std::array<const View2D*, 4> views() const noexcept {
        return {&d_mu_dp, &d_sigma_dp, &d2_mu_dx_dp, &d2_sigma_dx_dp};
    }
};

// The batches by what they feed: the first-order weights and delta, the second-order
// (gamma) weights and Greeks, and the weights of a model parameter.
struct FirstOrderPaths {
    PathArrays paths;
    FirstOrderFields first;
};

struct SecondOrderPaths {
    PathArrays paths;
    FirstOrderFields first;
    SecondOrderFields second;
};

struct ParameterPaths {
    PathArrays paths;
    FirstOrderFields first;
    SecondOrderFields second;
    ParameterFields parameter;
};

// How a function names its coefficient fields: "sigma" (the weight functions) or
// "sigma_field" (the estimators); "states" and "dws" never take the suffix.
enum class FieldNames { bare, suffixed };

struct BatchShape {
    std::size_t n_paths;
    std::size_t n_steps;
};

// The first zero diffusion value met, in path-then-step order.
struct ZeroSigma {
    std::size_t path;
    std::size_t step;
};

// "horizon must be positive" unless horizon > 0 (NaN included).
std::optional<ModelError> check_horizon(double horizon);

// `states` has at least 2 columns: n_paths = rows, n_steps = columns - 1.
std::optional<ModelError> check_state_columns(const View2D& states);

// The exact rule: the states columns, then every other array exactly (n_paths, n_steps),
// in the order of the struct's fields: "{name} shape [r, c] != expected (n, N)".
Result<BatchShape> exact_shape(const FirstOrderPaths& batch, FieldNames names);
Result<BatchShape> exact_shape(const SecondOrderPaths& batch, FieldNames names);
Result<BatchShape> exact_shape(const ParameterPaths& batch, FieldNames names);

// The check order of every weight function: horizon > 0, then the exact rule with the
// bare names.
Result<BatchShape> weights_shape(const FirstOrderPaths& batch);
Result<BatchShape> weights_shape(const SecondOrderPaths& batch);
Result<BatchShape> weights_shape(const ParameterPaths& batch);

// The covering rule of price_and_delta_tangent_flow, after its states check: every step
// array at least (n_paths, n_steps), its extra rows and columns ignored, in field order:
// "{name} shape [r, c] is smaller than required (n, N)".
std::optional<ModelError> check_covering(const FirstOrderPaths& batch, BatchShape shape,
                                         FieldNames names);
std::optional<ModelError> check_covering(const SecondOrderPaths& batch, BatchShape shape,
                                         FieldNames names);

// A result of `columns` doubles a path that fits in memory (long broadcast inputs could
// wrap its size).
std::optional<ModelError> check_result_size(BatchShape shape, std::size_t columns);

// The same for a result of `columns` doubles per element of the 1-D input `name`:
// "{name} is too long: the result would not fit in memory".
std::optional<ModelError> check_result_length(std::size_t n, std::size_t columns, const char* name);

// The zero diffusion value's message, naming sigma as the function names it: the weight
// functions' "sigma[k, j] = 0 produces division by zero in BEL weight", the estimators'
// "sigma_field[k, j] = 0 produces division by zero".
ModelError zero_sigma_error(ZeroSigma at, FieldNames names);

}  // namespace quarnel

namespace quarnel {

// One step array against the batch's shape, with the exact rule's message: for batches
// that have no states array (their shape comes from the first array).
std::optional<ModelError> check_exact_shape(const char* name, const View2D& v, BatchShape shape);

}  // namespace quarnel
