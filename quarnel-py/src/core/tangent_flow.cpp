#include "core/tangent_flow.hpp"

#include "core/lane_driver.hpp"
#include "core/lanes.hpp"

namespace quarnel {

TangentFlowBatch make_batch(const View2D& dws, const FirstOrderFields& first, BatchShape shape,
                            double horizon) noexcept {
    return TangentFlowBatch{dws,           first,
                            shape.n_paths, shape.n_steps,
                            1.0 / horizon, horizon / static_cast<double>(shape.n_steps)};
}

Result<TangentFlowBatch> validate_path_batch(const FirstOrderPaths& batch) {
    Result<BatchShape> shape = weights_shape(batch);
    if (!shape.ok()) return shape.error();
    return make_batch(batch.paths.dws, batch.first, shape.value(), batch.paths.horizon);
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
    Constants constants;

    template <class T>
    QUARNEL_LANES_INLINE static State<T> start(T zeros) noexcept {
        return {zeros + 1.0, zeros};
    }
    QUARNEL_LANES_INLINE Constants at_step(std::size_t /*j*/) const noexcept { return constants; }
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
            case 0: return batch->first.sigma;
            case 1: return batch->dws;
            case 2: return batch->first.d_mu_dx;
            default: return batch->first.d_sigma_dx;
        }
    }
    std::size_t n_paths() const noexcept { return batch->n_paths; }
    std::size_t n_steps() const noexcept { return batch->n_steps; }
};

}  // namespace

std::optional<ZeroSigma> weights_one_by_one(const TangentFlowBatch& b, std::size_t first,
                                            std::size_t count, double* out) noexcept {
    return lane_driver::rows_one_by_one(FirstOrderRecurrence{&b, {b.inv_t, b.dt}}, first, count,
                                        out);
}

// Two 2-lane vectors: the width every 64-bit target has (SSE2 on x86-64, NEON on
// AArch64).
std::optional<ZeroSigma> weights_baseline(const TangentFlowBatch& b, std::size_t first,
                                          std::size_t count, double* out) noexcept {
    return lane_driver::rows_in_lanes<FirstOrderRecurrence, 2, 2>(
        FirstOrderRecurrence{&b, {b.inv_t, b.dt}}, first, count, out);
}

#if QUARNEL_TANGENT_FLOW_AVX2
// No "fma" here: with contraction off it would change nothing, and leaving it out
// documents that no fused multiply-add is wanted.
[[gnu::target("avx2")]] std::optional<ZeroSigma> weights_avx2(const TangentFlowBatch& b,
                                                              std::size_t first, std::size_t count,
                                                              double* out) noexcept {
    return lane_driver::rows_in_lanes<FirstOrderRecurrence, 4, 1>(
        FirstOrderRecurrence{&b, {b.inv_t, b.dt}}, first, count, out);
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

Result<Buffer> bel_weights_of(const TangentFlowBatch& batch, std::size_t first_path) {
    Buffer out = Buffer::allocate(batch.n_paths);
    if (auto zero = tangent_flow_weights(batch, 0, batch.n_paths, out.data())) {
        return zero_sigma_error({first_path + zero->path, zero->step}, FieldNames::bare);
    }
    return out;
}

Result<Buffer> bel_weights_tangent_flow(const FirstOrderPaths& batch) {
    Result<TangentFlowBatch> checked = validate_path_batch(batch);
    if (!checked.ok()) return checked.error();
    return bel_weights_of(checked.value(), 0);
}

}  // namespace quarnel
