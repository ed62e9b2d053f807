#include "tangent_flow.hpp"

#include <string>

namespace quarnel {
namespace {

std::string shape_text(const View2D& v) {
    std::string text = "[";
    text += std::to_string(v.rows);
    text += ", ";
    text += std::to_string(v.cols);
    text += "]";
    return text;
}

}  // namespace

std::optional<ModelError> check_state_columns(const View2D& states) {
    if (states.cols < 2) return ModelError{"states must have at least 2 columns (n_steps + 1)"};
    return std::nullopt;
}

Result<BatchShape> validate_path_batch(double horizon, const View2D& states,
                                       const std::array<NamedView, 4>& matrices) {
    if (!(horizon > 0.0)) return ModelError{"horizon must be positive"};
    if (auto err = check_state_columns(states)) return *std::move(err);
    const BatchShape shape{states.rows, states.cols - 1};
    for (const NamedView& m : matrices) {
        if (m.view->rows != shape.n_paths || m.view->cols != shape.n_steps) {
            return ModelError{std::string(m.name) + " shape " + shape_text(*m.view) +
                              " != expected (" + std::to_string(shape.n_paths) + ", " +
                              std::to_string(shape.n_steps) + ")"};
        }
    }
    return shape;
}

TangentFlowBatch make_batch(const View2D& dws, const View2D& sigma, const View2D& d_mu_dx,
                            const View2D& d_sigma_dx, BatchShape shape, double horizon) noexcept {
    return TangentFlowBatch{dws,
                            sigma,
                            d_mu_dx,
                            d_sigma_dx,
                            shape.n_paths,
                            shape.n_steps,
                            1.0 / horizon,
                            horizon / static_cast<double>(shape.n_steps)};
}

std::optional<ZeroSigma> tangent_flow_weights(const TangentFlowBatch& b, std::size_t first,
                                              std::size_t count, double* out) noexcept {
    const double inv_t = b.inv_t;
    const double dt = b.dt;
    for (std::size_t p = 0; p < count; ++p) {
        const std::size_t k = first + p;
        const std::byte* dw_row = b.dws.row_ptr(k);
        const std::byte* s_row = b.sigma.row_ptr(k);
        const std::byte* mu_row = b.d_mu_dx.row_ptr(k);
        const std::byte* ds_row = b.d_sigma_dx.row_ptr(k);
        double y = 1.0;
        double acc = 0.0;
        for (std::size_t j = 0; j < b.n_steps; ++j) {
            const auto jj = static_cast<std::ptrdiff_t>(j);
            const double s = load_f64(s_row + jj * b.sigma.col_stride);
            if (s == 0.0) return ZeroSigma{k, j};
            const double dw = load_f64(dw_row + jj * b.dws.col_stride);
            const double mu = load_f64(mu_row + jj * b.d_mu_dx.col_stride);
            const double ds = load_f64(ds_row + jj * b.d_sigma_dx.col_stride);
            // Fixed association; the weight term uses Y from before this step's update.
            acc = acc + ((y / s) * inv_t) * dw;
            y = y + ((mu * y) * dt + (ds * y) * dw);
        }
        out[p] = acc;
    }
    return std::nullopt;
}

ModelError zero_sigma_error(ZeroSigma at) {
    return ModelError{"sigma[" + std::to_string(at.path) + ", " + std::to_string(at.step) +
                      "] = 0 produces division by zero in BEL weight"};
}

Result<Buffer> bel_weights_tangent_flow(const View2D& states, const View2D& dws,
                                        const View2D& sigma, const View2D& d_mu_dx,
                                        const View2D& d_sigma_dx, double horizon) {
    Result<BatchShape> shape = validate_path_batch(
        horizon, states,
        {{{"dws", &dws}, {"sigma", &sigma}, {"d_mu_dx", &d_mu_dx}, {"d_sigma_dx", &d_sigma_dx}}});
    if (!shape.ok()) return shape.error();
    const TangentFlowBatch batch = make_batch(dws, sigma, d_mu_dx, d_sigma_dx, shape.value(), horizon);
    Buffer out = Buffer::allocate(batch.n_paths);
    if (auto zero = tangent_flow_weights(batch, 0, batch.n_paths, out.data())) {
        return zero_sigma_error(*zero);
    }
    return out;
}

}  // namespace quarnel
