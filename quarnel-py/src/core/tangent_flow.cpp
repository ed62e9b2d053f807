#include "core/tangent_flow.hpp"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>

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

// One path at a time. Also the reference for the interleaved blocks: on a zero sigma
// inside a block, the block is redone here so the first zero in path-then-step
// order is the one reported.
std::optional<ZeroSigma> weights_one_by_one(const TangentFlowBatch& b, std::size_t first,
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

// Prefetch cadence of a runs-of-rows block: once per 64-byte line of the widest column
// stride among the matrices (every step when a step is a line or more apart).
inline std::size_t prefetch_mask(std::initializer_list<const View2D*> views) noexcept {
    std::ptrdiff_t widest = 0;
    for (const View2D* v : views) {
        widest = std::max(widest, v->col_stride < 0 ? -v->col_stride : v->col_stride);
    }
    return widest <= 8 ? 7 : widest <= 16 ? 3 : widest <= 32 ? 1 : 0;
}

// The Y recurrence is a chain of dependent multiplies and adds, so one path at a
// time leaves the core waiting on latency. Interleaving L independent paths (G
// vectors of W lanes) hides it. Four paths is the sweet spot measured here: more
// lanes mean 4 L concurrent row streams, and past 16 streams the cache sets and
// prefetchers stop keeping up, so big batches get slower, not faster.
//
// Lane i takes path k + i * spacing, and the block after it path k + 1: each lane
// walks a run of consecutive rows, so in a C-ordered batch every one of the 4 L
// streams is sequential for the whole run. Each stream is also prefetched
// kPrefetchSteps ahead, so its loads overlap the arithmetic instead of adding to it.
// Each lane performs exactly the scalar operations of its own path, IEEE-rounded
// one by one (vector extensions, no contraction), so the weights are bit-identical
// to weights_one_by_one.
template <int W, int G, bool P>
QUARNEL_LANES_INLINE bool interleaved_block(const TangentFlowBatch& b, std::size_t k,
                                            std::size_t spacing, std::size_t mask,
                                            double* out) noexcept {
    using V = typename Lanes<W>::type;
    const auto lane = static_cast<std::ptrdiff_t>(spacing);
    const LaneField fields[4] = {
        {b.sigma.row_ptr(k), b.sigma.row_stride * lane, b.sigma.col_stride},
        {b.dws.row_ptr(k), b.dws.row_stride * lane, b.dws.col_stride},
        {b.d_mu_dx.row_ptr(k), b.d_mu_dx.row_stride * lane, b.d_mu_dx.col_stride},
        {b.d_sigma_dx.row_ptr(k), b.d_sigma_dx.row_stride * lane, b.d_sigma_dx.col_stride},
    };
    const V zeros = {};
    V y[G], acc[G];
    for (int g = 0; g < G; ++g) {
        y[g] = zeros + 1.0;
        acc[g] = zeros;
    }
    const double inv_t = b.inv_t;
    const double dt = b.dt;
    for (std::size_t j = 0; j < b.n_steps; ++j) {
        if (P && (j & mask) == 0) {
            const auto ahead = static_cast<std::ptrdiff_t>(j) + kPrefetchSteps;
            for (const LaneField& f : fields) {
                for (std::ptrdiff_t l = 0; l < std::ptrdiff_t{W} * G; ++l)
                    prefetch(f.base, ahead * f.col + l * f.row);
            }
        }
        V s[G];
        bool zero = false;
        for (int g = 0; g < G; ++g) {
            s[g] = gather<W>(fields[0], j, g);
            const auto is_zero = s[g] == 0.0;
            for (int w = 0; w < W; ++w) zero |= is_zero[w] != 0;
        }
        if (zero) return false;
        for (int g = 0; g < G; ++g) {
            const V dw = gather<W>(fields[1], j, g);
            const V mu = gather<W>(fields[2], j, g);
            const V ds = gather<W>(fields[3], j, g);
            acc[g] = acc[g] + ((y[g] / s[g]) * inv_t) * dw;
            y[g] = y[g] + ((mu * y[g]) * dt + (ds * y[g]) * dw);
        }
    }
    for (int g = 0; g < G; ++g) {
        for (int w = 0; w < W; ++w) out[static_cast<std::size_t>(g * W + w) * spacing] = acc[g][w];
    }
    return true;
}

// Paths [k, k + n) with adjacent paths in the lanes, a step of the whole tile at a
// time (n a multiple of W, at most kTilePaths): every matrix is read along its
// contiguous path axis, and the rows kPrefetchElements ahead are prefetched. The
// per-path Y and accumulator live in small arrays instead of registers; each lane
// still does its path's operations in step order, so the bits are the same. False on
// a zero sigma anywhere in the tile.
template <int W, bool P>
QUARNEL_LANES_INLINE bool across_tile(const TangentFlowBatch& b, std::size_t k, std::size_t n,
                                      typename Lanes<W>::type* state, double* out) noexcept {
    using V = typename Lanes<W>::type;
    const int groups = static_cast<int>(n) / W;
    V* y = state;
    V* acc = state + groups;
    const LaneField fields[4] = {
        {b.sigma.row_ptr(k), b.sigma.row_stride, b.sigma.col_stride},
        {b.dws.row_ptr(k), b.dws.row_stride, b.dws.col_stride},
        {b.d_mu_dx.row_ptr(k), b.d_mu_dx.row_stride, b.d_mu_dx.col_stride},
        {b.d_sigma_dx.row_ptr(k), b.d_sigma_dx.row_stride, b.d_sigma_dx.col_stride},
    };
    const auto rows_ahead = static_cast<std::ptrdiff_t>((kPrefetchElements + n - 1) / n);
    const V zeros = {};
    for (int g = 0; g < groups; ++g) {
        y[g] = zeros + 1.0;
        acc[g] = zeros;
    }
    const double inv_t = b.inv_t;
    const double dt = b.dt;
    for (std::size_t j = 0; j < b.n_steps; ++j) {
        const auto ahead = static_cast<std::ptrdiff_t>(j) + rows_ahead;
        bool zero = false;
        for (int g = 0; g < groups; ++g) {
            if constexpr (P) {
                for (const LaneField& f : fields) {
                    prefetch(f.base, ahead * f.col + static_cast<std::ptrdiff_t>(g * W) * f.row);
                }
            }
            const V s = load_lanes<W>(fields[0], j, g);
            const auto is_zero = s == 0.0;
            for (int w = 0; w < W; ++w) zero |= is_zero[w] != 0;
            const V dw = load_lanes<W>(fields[1], j, g);
            const V mu = load_lanes<W>(fields[2], j, g);
            const V ds = load_lanes<W>(fields[3], j, g);
            acc[g] = acc[g] + ((y[g] / s) * inv_t) * dw;
            y[g] = y[g] + ((mu * y[g]) * dt + (ds * y[g]) * dw);
        }
        // A zero sigma only makes infinities and NaNs in the lanes, never a trap, so
        // the row is finished before the tile gives up.
        if (zero) return false;
    }
    for (int g = 0; g < groups; ++g) {
        for (int w = 0; w < W; ++w) out[static_cast<std::size_t>(g * W + w)] = acc[g][w];
    }
    return true;
}

// P: prefetch, for ranges too big to stay in cache (see kPrefetchFromBytes).
template <int W, int G, bool P>
QUARNEL_LANES_INLINE std::optional<ZeroSigma> interleaved_with(const TangentFlowBatch& b,
                                                               std::size_t first, std::size_t count,
                                                               double* out) noexcept {
    constexpr std::size_t L = static_cast<std::size_t>(W * G);
    // A zero sigma sends the whole range to the one-by-one loop, which finds the first
    // in path-then-step order.
    const std::size_t mask = prefetch_mask({&b.sigma, &b.dws, &b.d_mu_dx, &b.d_sigma_dx});
    std::size_t spacing = 0;
    if (paths_adjacent({&b.sigma, &b.dws, &b.d_mu_dx, &b.d_sigma_dx})) {
        // Tiles of two vectors or more: with one, the round trip of Y through memory
        // would lengthen its chain, so fewer paths go to the register blocks below
        // (all of them if the state cannot be allocated).
        const LaneScratch<typename Lanes<W>::type> state(2 * std::min(kTilePaths, count) / W);
        std::size_t p = 0;
        while (state.data() != nullptr && count - p >= 2 * static_cast<std::size_t>(W)) {
            const std::size_t n = std::min(kTilePaths, (count - p) / W * W);
            if (!across_tile<W, P>(b, first + p, n, state.data(), out + p)) {
                return weights_one_by_one(b, first, count, out);
            }
            p += n;
        }
        first += p;
        count -= p;
        out += p;
    } else {
        // Lanes over runs of rows first, then over adjacent rows for what is left.
        spacing = lane_spacing(b.sigma.row_stride, count, L);
    }
    for (std::size_t p = 0; p < spacing; ++p) {
        if (!interleaved_block<W, G, P>(b, first + p, spacing, mask, out + p)) {
            return weights_one_by_one(b, first, count, out);
        }
    }
    std::size_t p = spacing * L;
    for (; p + L <= count; p += L) {
        if (!interleaved_block<W, G, P>(b, first + p, 1, mask, out + p)) {
            return weights_one_by_one(b, first, count, out);
        }
    }
    return weights_one_by_one(b, first + p, count - p, out + p);
}

template <int W, int G>
QUARNEL_LANES_INLINE std::optional<ZeroSigma> interleaved(const TangentFlowBatch& b,
                                                          std::size_t first, std::size_t count,
                                                          double* out) noexcept {
    if (b.n_paths * b.n_steps >= kPrefetchFromBytes / (4 * sizeof(double))) {
        return interleaved_with<W, G, true>(b, first, count, out);
    }
    return interleaved_with<W, G, false>(b, first, count, out);
}

// Two 2-lane vectors: the width every 64-bit target has (SSE2 on x86-64, NEON on
// AArch64).
std::optional<ZeroSigma> weights_baseline(const TangentFlowBatch& b, std::size_t first,
                                          std::size_t count, double* out) noexcept {
    return interleaved<2, 2>(b, first, count, out);
}

#if QUARNEL_TANGENT_FLOW_AVX2
// No "fma" here: with contraction off it would change nothing, and leaving it out
// documents that no fused multiply-add is wanted.
[[gnu::target("avx2")]] std::optional<ZeroSigma> weights_avx2(const TangentFlowBatch& b,
                                                              std::size_t first, std::size_t count,
                                                              double* out) noexcept {
    return interleaved<4, 1>(b, first, count, out);
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
