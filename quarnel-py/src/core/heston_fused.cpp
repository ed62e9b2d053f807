// The fused Heston paths (heston.hpp): the widest lane width of the fused kernels on
// this CPU (heston_fused_kernel.hpp), the same bits at every width.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "core/fused.hpp"
#include "core/fused_math.hpp"
#include "core/heston.hpp"
#include "core/pool.hpp"

namespace quarnel {

namespace {

struct HestonFusedFns {
    detail::HestonFusedRowsFn rows;
    detail::HestonFusedIncrementsFn increments;
};

// The widths of fused_width(), which are built and run on this CPU exactly where the
// scalar fused kernels of that width are.
HestonFusedFns widest() noexcept {
    switch (detail::fused_width()) {
#if QUARNEL_FUSED_AVX512 && QUARNEL_FUSED_VECTORS
        case 8: return {&detail::heston_fused_rows_8, &detail::heston_fused_increments_8};
#endif
#if QUARNEL_FUSED_AVX2 && QUARNEL_FUSED_VECTORS
        case 4: return {&detail::heston_fused_rows_4, &detail::heston_fused_increments_4};
#endif
#if QUARNEL_FUSED_VECTORS
        case 2: return {&detail::heston_fused_rows_2, &detail::heston_fused_increments_2};
#endif
        default: return {&detail::heston_fused_rows_1, &detail::heston_fused_increments_1};
    }
}

const HestonFusedFns& fns() noexcept {
    static const HestonFusedFns chosen = widest();
    return chosen;
}

// Paths per pool item of heston_simulate.
constexpr std::size_t kItemPaths = 512;

}  // namespace

void heston_fused_raw_rows(const HestonBatch& b, std::uint64_t seed, std::size_t first,
                           std::size_t count, double* out) noexcept {
    fns().rows(b, seed, first, count, out);
}

Result<HestonIncrementMatrices> heston_simulate(const HestonModel& model, const FusedGrid& grid,
                                                const WorkScope& scope) {
    Result<HestonBatch> checked = heston_batch_of(grid.n_paths, grid.n_steps, grid.horizon, model);
    if (!checked.ok()) return checked.error();
    const HestonBatch& b = checked.value();
    const std::size_t n = b.n_paths, steps = b.n_steps;
    if (steps > std::numeric_limits<std::size_t>::max() / sizeof(double) / 2 / n) {
        return ModelError{"the increments of " + std::to_string(n) + " paths x " +
                          std::to_string(steps) + " steps do not fit in memory"};
    }
    // NOLINTNEXTLINE(clang-analyzer-unix.Malloc)
    HestonIncrementMatrices out{Matrix::allocate(n, steps), Matrix::allocate(n, steps)};
    // The product of the fused kernel: sqrt(dt) of dt = T / N.
    const double sqrt_dt = std::sqrt(b.dt);
    const detail::HestonFusedIncrementsFn increments = fns().increments;
    auto work = [&] {
        const std::size_t items = (n + kItemPaths - 1) / kItemPaths;
        WorkerPool::global().run(
            items,
            [&](std::size_t i) noexcept {
                const std::size_t a = i * kItemPaths, len = std::min(kItemPaths, n - a);
                increments(grid.seed, sqrt_dt, grid.first_path + a, len, steps, out.dw_v.row(a),
                           out.dw_perp.row(a));
            },
            n * steps * 4);
    };
    scope(work);
    return out;
}

}  // namespace quarnel
