// The Heston forward pass (heston.hpp) on the lane driver of the tangent-flow kernels:
// the same dealing of paths to lanes, the same tiles for time-major batches and the
// same AVX2 clone, with the Heston recurrence in place of the Euler tangent.
#include "core/heston.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/float_repr.hpp"
#include "core/heston_step.hpp"
#include "core/lane_driver.hpp"
#include "core/lanes.hpp"
#include "core/pool.hpp"
#include "core/tangent_flow_parallel.hpp"

namespace quarnel {

namespace {

using heston_step_detail::heston_finish;
using heston_step_detail::heston_start;
using heston_step_detail::heston_step;
using heston_step_detail::HestonConst;
using heston_step_detail::HestonState;

// The recurrence for the lane driver. Its first field is a stride-0 matrix of ones: the
// driver stops on a zero there, and the Heston pass has no zero to stop on (the weights
// divide by the whole path's variance, never by one step's).
struct HestonRecurrence {
    const HestonBatch* batch;

    static constexpr int kFields = 3;
    static constexpr std::size_t kColumns = kHestonRawColumns;
    // 20 doubles of state a path: 256 paths keep the tile's state in L1 (40 KiB), measured
    // 1.2 times faster on time-major batches than 1024 paths, whose state lives in L2.
    static constexpr std::size_t kTilePaths = quarnel::kTilePaths / 16;

    template <class T>
    using State = HestonState<T>;
    using Constants = HestonConst;

    template <class T>
    QUARNEL_LANES_INLINE static State<T> start(T zeros) noexcept {
        return heston_start(zeros);
    }
    QUARNEL_LANES_INLINE Constants at_step(std::size_t) const noexcept {
        const HestonModel& m = batch->model;
        return {m.v0, batch->dt, m.kappa, m.theta, m.xi, m.kappa * batch->dt};
    }
    template <class T, class Load>
    QUARNEL_LANES_INLINE static void step(State<T>& st, T, const Load& load,
                                          const Constants& c) noexcept {
        heston_step(st, load(1), load(2), c);
    }
    template <class T>
    QUARNEL_LANES_INLINE static void finish(const State<T>& st, T* row) noexcept {
        heston_finish(st, row);
    }
    const View2D& field(int f) const noexcept {
        const View2D* views[3] = {&ones, &batch->dw_v, &batch->dw_perp};
        return *views[f];
    }
    std::size_t n_paths() const noexcept { return batch->n_paths; }
    std::size_t n_steps() const noexcept { return batch->n_steps; }

    View2D ones;
};

HestonRecurrence recurrence(const HestonBatch& b) noexcept {
    static const double one = 1.0;
    return {&b, View2D{reinterpret_cast<const std::byte*>(&one), b.n_paths, b.n_steps, 0, 0}};
}

void one_by_one(const HestonBatch& b, std::size_t first, std::size_t count, double* out) noexcept {
    (void)lane_driver::rows_one_by_one(recurrence(b), first, count, out);
}

template <int W, int G>
QUARNEL_LANES_INLINE void in_lanes(const HestonBatch& b, std::size_t first, std::size_t count,
                                   double* out) noexcept {
    (void)lane_driver::rows_in_lanes<HestonRecurrence, W, G>(recurrence(b), first, count, out);
}

}  // namespace

namespace detail {

void heston_raw_one_by_one(const HestonBatch& b, std::size_t first, std::size_t count,
                           double* out) noexcept {
    one_by_one(b, first, count, out);
}

void heston_raw_baseline(const HestonBatch& b, std::size_t first, std::size_t count,
                         double* out) noexcept {
    in_lanes<2, 2>(b, first, count, out);
}

#if QUARNEL_TANGENT_FLOW_AVX2
[[gnu::target("avx512f")]] void heston_raw_avx512(const HestonBatch& b, std::size_t first,
                                                  std::size_t count, double* out) noexcept {
    in_lanes<8, 1>(b, first, count, out);
}

bool cpu_has_avx512() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") != 0;
}

[[gnu::target("avx2")]] void heston_raw_avx2(const HestonBatch& b, std::size_t first,
                                             std::size_t count, double* out) noexcept {
    in_lanes<4, 1>(b, first, count, out);
}
#endif

}  // namespace detail

namespace {

using RawFn = void (*)(const HestonBatch&, std::size_t, std::size_t, double*) noexcept;

RawFn select_raw() noexcept {
#if QUARNEL_TANGENT_FLOW_AVX2
    if (detail::cpu_has_avx512()) return detail::heston_raw_avx512;
    if (detail::cpu_has_avx2()) return detail::heston_raw_avx2;
#endif
    return detail::heston_raw_baseline;
}

}  // namespace

void heston_raw_rows(const HestonBatch& batch, std::size_t first, std::size_t count,
                     double* out) noexcept {
    static const RawFn impl = select_raw();
    impl(batch, first, count, out);
}

void heston_raw_rows_parallel(const HestonBatch& batch, WorkerPool& pool, std::size_t first,
                              std::size_t count, double* out) {
    std::vector<PathChunk> items = plan_chunks(count, pool.threads(), out, kHestonRawColumns);
    // A path-step costs about three first-order ones (a square root, a division and the
    // four tangents).
    (void)run_chunks(pool, items, 3 * count * batch.n_steps, [&](const PathChunk& item) {
        heston_raw_rows(batch, first + item.first_path, item.length, item.weights);
        return std::optional<ZeroSigma>{};
    });
}

// The value as repr() writes a float: the shortest text that reads back to it.
std::string heston_float_text(double x) { return float_repr(x); }

namespace {

std::optional<ModelError> check_param(double value, const char* name, bool positive) {
    const bool ok = std::isfinite(value) && (positive ? value > 0.0 : value >= 0.0);
    if (ok) return std::nullopt;
    return ModelError{std::string(name) + " must be " + (positive ? "positive" : "non-negative") +
                      " and finite, got " + heston_float_text(value)};
}

}  // namespace

Result<HestonBatch> validate_heston(const HestonIncrements& paths, const HestonModel& m) {
    if (paths.dw_v.cols < 1) return ModelError{"dw_v must have at least 1 column (n_steps)"};
    const BatchShape shape{paths.dw_v.rows, paths.dw_v.cols};
    if (auto err = check_exact_shape("dw_perp", paths.dw_perp, shape)) return *std::move(err);
    Result<HestonBatch> b = heston_batch_of(shape.n_paths, shape.n_steps, paths.horizon, m);
    if (!b.ok()) return b.error();
    HestonBatch batch = std::move(b).value();
    batch.dw_v = paths.dw_v;
    batch.dw_perp = paths.dw_perp;
    return batch;
}

Result<HestonBatch> heston_batch_of(std::size_t n_paths, std::size_t n_steps, double horizon,
                                    const HestonModel& m) {
    const BatchShape shape{n_paths, n_steps};
    if (auto err = check_param(horizon, "horizon", true)) return *std::move(err);
    if (auto err = check_param(m.s0, "s0", true)) return *std::move(err);
    if (auto err = check_param(m.v0, "v0", true)) return *std::move(err);
    if (auto err = check_param(m.kappa, "kappa", false)) return *std::move(err);
    if (auto err = check_param(m.theta, "theta", false)) return *std::move(err);
    if (auto err = check_param(m.xi, "xi", false)) return *std::move(err);
    if (!(std::fabs(m.rho) < 1.0)) {
        return ModelError{"rho must lie strictly between -1 and 1, got " +
                          heston_float_text(m.rho)};
    }
    if (!std::isfinite(m.mu))
        return ModelError{"mu must be finite, got " + heston_float_text(m.mu)};
    if (auto err = check_result_size(shape, kHestonCentredColumns)) return *std::move(err);
    HestonBatch b;
    b.model = m;
    b.n_paths = shape.n_paths;
    b.n_steps = shape.n_steps;
    b.horizon = horizon;
    b.dt = horizon / static_cast<double>(shape.n_steps);
    return b;
}

}  // namespace quarnel
