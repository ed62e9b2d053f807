#include "core/tangent_flow.hpp"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "core/lane_driver.hpp"
#include "core/lanes.hpp"

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

Result<BatchShape> check_batch_shapes(const View2D& states,
                                      std::initializer_list<NamedView> matrices) {
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
    return TangentFlowBatch{
        dws,           sigma,         d_mu_dx,       d_sigma_dx,
        shape.n_paths, shape.n_steps, 1.0 / horizon, horizon / static_cast<double>(shape.n_steps)};
}

Result<TangentFlowBatch> validate_path_batch(const View2D& states, const View2D& dws,
                                             const View2D& sigma, const View2D& d_mu_dx,
                                             const View2D& d_sigma_dx, double horizon) {
    if (!(horizon > 0.0)) return ModelError{"horizon must be positive"};
    Result<BatchShape> shape = check_batch_shapes(
        states,
        {{"dws", &dws}, {"sigma", &sigma}, {"d_mu_dx", &d_mu_dx}, {"d_sigma_dx", &d_sigma_dx}});
    if (!shape.ok()) return shape.error();
    return make_batch(dws, sigma, d_mu_dx, d_sigma_dx, shape.value(), horizon);
}

namespace detail {
namespace {

// The first-order recurrence of tangent_flow.hpp for the lane driver: per path the
// tangent Y and the weight's running sum, one double written.
struct FirstOrderRecurrence {
    const TangentFlowBatch* batch;

    static constexpr int kFields = 4;
    static constexpr std::size_t kColumns = 1;
    static constexpr std::size_t kTilePaths = quarnel::kTilePaths;

    template <class T>
    struct State {
        T y, acc;
    };
    struct Constants {
        double inv_t, dt;
    };

    template <class T>
    QUARNEL_LANES_INLINE static State<T> start(T zeros) noexcept {
        return {zeros + 1.0, zeros};
    }
    QUARNEL_LANES_INLINE Constants at_step(std::size_t /*j*/) const noexcept {
        return {batch->inv_t, batch->dt};
    }
    // Fixed association; the weight term uses Y from before this step's update.
    template <class T, class Load>
    QUARNEL_LANES_INLINE static void step(State<T>& st, T s, const Load& load,
                                          const Constants& c) noexcept {
        const T dw = load(1);
        const T mu = load(2);
        const T ds = load(3);
        st.acc = st.acc + ((st.y / s) * c.inv_t) * dw;
        st.y = st.y + ((mu * st.y) * c.dt + (ds * st.y) * dw);
    }
    template <class T>
    QUARNEL_LANES_INLINE static void finish(const State<T>& st, T* row) noexcept {
        row[0] = st.acc;
    }
    // In load order: sigma first, checked for zero before the rest are read.
    const View2D& field(int f) const noexcept {
        switch (f) {
            case 0: return batch->sigma;
            case 1: return batch->dws;
            case 2: return batch->d_mu_dx;
            default: return batch->d_sigma_dx;
        }
    }
    std::size_t n_paths() const noexcept { return batch->n_paths; }
    std::size_t n_steps() const noexcept { return batch->n_steps; }
};

}  // namespace

std::optional<ZeroSigma> weights_one_by_one(const TangentFlowBatch& b, std::size_t first,
                                            std::size_t count, double* out) noexcept {
    return lane_driver::rows_one_by_one(FirstOrderRecurrence{&b}, first, count, out);
}

// Two 2-lane vectors: the width every 64-bit target has (SSE2 on x86-64, NEON on
// AArch64).
std::optional<ZeroSigma> weights_baseline(const TangentFlowBatch& b, std::size_t first,
                                          std::size_t count, double* out) noexcept {
    return lane_driver::deal<FirstOrderRecurrence, 2, 2>(FirstOrderRecurrence{&b}, first, count,
                                                         out);
}

#if QUARNEL_TANGENT_FLOW_AVX2
// No "fma" here: with contraction off it would change nothing, and leaving it out
// documents that no fused multiply-add is wanted.
[[gnu::target("avx2")]] std::optional<ZeroSigma> weights_avx2(const TangentFlowBatch& b,
                                                              std::size_t first, std::size_t count,
                                                              double* out) noexcept {
    return lane_driver::deal<FirstOrderRecurrence, 4, 1>(FirstOrderRecurrence{&b}, first, count,
                                                         out);
}

bool cpu_has_avx2() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}
#endif

}  // namespace detail

namespace {

using WeightsFn = std::optional<ZeroSigma> (*)(const TangentFlowBatch&, std::size_t, std::size_t,
                                               double*) noexcept;

WeightsFn select_weights() noexcept {
#if QUARNEL_TANGENT_FLOW_AVX2
    if (detail::cpu_has_avx2()) return detail::weights_avx2;
#endif
    return detail::weights_baseline;
}

}  // namespace

std::optional<ZeroSigma> tangent_flow_weights(const TangentFlowBatch& b, std::size_t first,
                                              std::size_t count, double* out) noexcept {
    static const WeightsFn impl = select_weights();
    return impl(b, first, count, out);
}

ModelError zero_sigma_error(ZeroSigma at) {
    return ModelError{"sigma[" + std::to_string(at.path) + ", " + std::to_string(at.step) +
                      "] = 0 produces division by zero in BEL weight"};
}

Result<Buffer> bel_weights_of(const TangentFlowBatch& batch, std::size_t first_path) {
    Buffer out = Buffer::allocate(batch.n_paths);
    if (auto zero = tangent_flow_weights(batch, 0, batch.n_paths, out.data())) {
        return zero_sigma_error({first_path + zero->path, zero->step});
    }
    return out;
}

Result<Buffer> bel_weights_tangent_flow(const View2D& states, const View2D& dws,
                                        const View2D& sigma, const View2D& d_mu_dx,
                                        const View2D& d_sigma_dx, double horizon) {
    Result<TangentFlowBatch> checked =
        validate_path_batch(states, dws, sigma, d_mu_dx, d_sigma_dx, horizon);
    if (!checked.ok()) return checked.error();
    return bel_weights_of(checked.value(), 0);
}

}  // namespace quarnel
