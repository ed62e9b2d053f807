#include "core/path_batch.hpp"

#include <limits>
#include <string>
#include <utility>

namespace quarnel {
namespace {

// Appended piece by piece: GCC 12 reports a false overlap in "[" + std::to_string(...).
std::string pair_text(const char* open, std::size_t a, std::size_t b, const char* close) {
    std::string text = open;
    text += std::to_string(a);
    text += ", ";
    text += std::to_string(b);
    text += close;
    return text;
}

std::string shape_text(const View2D& v) { return pair_text("[", v.rows, v.cols, "]"); }

std::string shape_text(BatchShape shape) {
    return pair_text("(", shape.n_paths, shape.n_steps, ")");
}

std::string field_name(const char* name, FieldNames names) {
    return names == FieldNames::suffixed ? std::string(name) + "_field" : std::string(name);
}

// The one walk over a batch's step arrays in check order: dws, then each group's fields.
// `check(name, names, view)` returns an error to stop at; the name is spelt out only then.
template <class Check, class... Groups>
std::optional<ModelError> each_step_array(Check&& check, FieldNames names, const View2D& dws,
                                          const Groups&... groups) {
    if (auto err = check("dws", FieldNames::bare, dws)) return err;
    std::optional<ModelError> found;
    auto group = [&](const auto& fields) {
        const auto views = fields.views();
        for (std::size_t i = 0; i < views.size() && !found; ++i) {
            found = check(fields.kNames[i], names, *views[i]);
        }
    };
    (group(groups), ...);
    return found;
}

template <class... Groups>
Result<BatchShape> exact_shape_of(FieldNames names, const PathArrays& paths,
                                  const Groups&... groups) {
    if (auto err = check_state_columns(paths.states)) return *std::move(err);
    const BatchShape shape{paths.states.rows, paths.states.cols - 1};
    auto exact = [&](const char* name, FieldNames spelling,
                     const View2D& v) -> std::optional<ModelError> {
        if (v.rows == shape.n_paths && v.cols == shape.n_steps) return std::nullopt;
        return ModelError{field_name(name, spelling) + " shape " + shape_text(v) + " != expected " +
                          shape_text(shape)};
    };
    if (auto err = each_step_array(exact, names, paths.dws, groups...)) return *std::move(err);
    return shape;
}

}  // namespace

std::optional<ModelError> check_horizon(double horizon) {
    if (!(horizon > 0.0)) return ModelError{"horizon must be positive"};
    return std::nullopt;
}

std::optional<ModelError> check_state_columns(const View2D& states) {
    if (states.cols < 2) return ModelError{"states must have at least 2 columns (n_steps + 1)"};
    return std::nullopt;
}

Result<BatchShape> exact_shape(const FirstOrderPaths& batch, FieldNames names) {
    return exact_shape_of(names, batch.paths, batch.first);
}

Result<BatchShape> exact_shape(const SecondOrderPaths& batch, FieldNames names) {
    return exact_shape_of(names, batch.paths, batch.first, batch.second);
}

Result<BatchShape> exact_shape(const ParameterPaths& batch, FieldNames names) {
    return exact_shape_of(names, batch.paths, batch.first, batch.second, batch.parameter);
}

namespace {

template <class Paths>
Result<BatchShape> weights_shape_of(const Paths& batch) {
    if (auto err = check_horizon(batch.paths.horizon)) return *std::move(err);
    return exact_shape(batch, FieldNames::bare);
}

}  // namespace

Result<BatchShape> weights_shape(const FirstOrderPaths& batch) { return weights_shape_of(batch); }
Result<BatchShape> weights_shape(const SecondOrderPaths& batch) { return weights_shape_of(batch); }
Result<BatchShape> weights_shape(const ParameterPaths& batch) { return weights_shape_of(batch); }

namespace {

template <class... Groups>
std::optional<ModelError> check_covering_of(BatchShape shape, FieldNames names, const View2D& dws,
                                            const Groups&... groups) {
    // A step array may be larger than the batch (extra rows and columns are ignored), but
    // never smaller: that is the caller's mistake, reported before anything is read.
    auto covers = [&](const char* name, FieldNames spelling,
                      const View2D& v) -> std::optional<ModelError> {
        if (v.rows >= shape.n_paths && v.cols >= shape.n_steps) return std::nullopt;
        return ModelError{field_name(name, spelling) + " shape " + shape_text(v) +
                          " is smaller than required " + shape_text(shape)};
    };
    return each_step_array(covers, names, dws, groups...);
}

}  // namespace

std::optional<ModelError> check_covering(const FirstOrderPaths& batch, BatchShape shape,
                                         FieldNames names) {
    return check_covering_of(shape, names, batch.paths.dws, batch.first);
}

std::optional<ModelError> check_covering(const SecondOrderPaths& batch, BatchShape shape,
                                         FieldNames names) {
    return check_covering_of(shape, names, batch.paths.dws, batch.first, batch.second);
}

std::optional<ModelError> check_result_size(BatchShape shape, std::size_t columns) {
    if (shape.n_paths > std::numeric_limits<std::size_t>::max() / (columns * sizeof(double))) {
        return ModelError{"states has too many rows: the result would not fit in memory"};
    }
    return std::nullopt;
}

std::optional<ModelError> check_result_length(std::size_t n, std::size_t columns,
                                              const char* name) {
    if (n > std::numeric_limits<std::size_t>::max() / (columns * sizeof(double))) {
        return ModelError{std::string(name) + " is too long: the result would not fit in memory"};
    }
    return std::nullopt;
}

ModelError zero_sigma_error(ZeroSigma at, FieldNames names) {
    std::string text = field_name("sigma", names);
    text += pair_text("[", at.path, at.step, "] = 0 produces division by zero");
    if (names == FieldNames::bare) text += " in BEL weight";
    return ModelError{text};
}

}  // namespace quarnel

namespace quarnel {

std::optional<ModelError> check_exact_shape(const char* name, const View2D& v, BatchShape shape) {
    if (v.rows == shape.n_paths && v.cols == shape.n_steps) return std::nullopt;
    return ModelError{std::string(name) + " shape " + shape_text(v) + " != expected " +
                      shape_text(shape)};
}

}  // namespace quarnel
