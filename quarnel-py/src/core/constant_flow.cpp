#include "core/constant_flow.hpp"

#include "core/lanes.hpp"
#include "core/tangent_flow.hpp"

namespace quarnel {
namespace {

// out[k] = w[k] * scale over contiguous input, one rounded product per element: the
// compiler vectorises it at the width of the target it is compiled for.
QUARNEL_LANES_INLINE void scale_dense(const std::byte* w, std::size_t n, double scale,
                                      double* out) noexcept {
    for (std::size_t k = 0; k < n; ++k) {
        out[k] = load_f64(w + static_cast<std::ptrdiff_t>(k * sizeof(double))) * scale;
    }
}

void scale_baseline(const std::byte* w, std::size_t n, double scale, double* out) noexcept {
    scale_dense(w, n, scale, out);
}

#if QUARNEL_TANGENT_FLOW_AVX2
// Twice the width of the baseline: the loop keeps up with NumPy's own dispatched
// multiply while the data is in cache. No "fma": there is nothing to fuse.
[[gnu::target("avx2")]] void scale_avx2(const std::byte* w, std::size_t n, double scale,
                                        double* out) noexcept {
    scale_dense(w, n, scale, out);
}
#endif

using ScaleFn = void (*)(const std::byte*, std::size_t, double, double*) noexcept;

ScaleFn select_scale() noexcept {
#if QUARNEL_TANGENT_FLOW_AVX2
    if (detail::cpu_has_avx2()) return scale_avx2;
#endif
    return scale_baseline;
}

}  // namespace

Result<Buffer> bel_weights_constant_flow(const View1D& w_terminals, double horizon,
                                         double sigma_at_x0) {
    // Written as negated comparisons so that NaN fails them.
    if (!(horizon > 0.0)) return ModelError{"horizon must be positive"};
    if (!(sigma_at_x0 > 0.0)) return ModelError{"sigma_at_x0 must be positive"};
    const std::size_t n = w_terminals.size();
    Buffer out = Buffer::allocate(n);
    // One reciprocal, then a multiplication per element: a per-element division
    // differs in the last bit for some inputs.
    const double scale = 1.0 / (horizon * sigma_at_x0);
    double* o = out.data();
    if (w_terminals.stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
        static const ScaleFn dense = select_scale();
        dense(w_terminals.data, n, scale, o);
    } else {
        for (std::size_t k = 0; k < n; ++k) o[k] = w_terminals[k] * scale;
    }
    return out;
}

}  // namespace quarnel
