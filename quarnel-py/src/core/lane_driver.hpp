// The lane driver of the tangent-flow kernels: how the paths of a range are dealt to the
// lanes of a vector, in which order the matrices are walked, what is prefetched, and how
// a zero sigma hands the range to the one-path-at-a-time loop. A kernel brings only its
// per-path recurrence, so the first- and second-order kernels share every line of this.
//
// The recurrence is a type R with
//   static constexpr int kFields;           matrices read per step, sigma first
//   static constexpr std::size_t kColumns;  doubles written per path
//   static constexpr std::size_t kTilePaths;  paths of an across-paths tile
//   template <class T> State;               the running values of one path, or of one
//                                           vector of lanes holding a path each
//   static State<T> start(T zeros);
//   Constants at_step(std::size_t j) const; the per-step constants, shared by all lanes
//   static void step(State<T>&, T sigma, const Load& load, const Constants&);
//                                           one Euler step; load(f) reads matrix f
//   static void finish(const State<T>&, T* row);   the kColumns values of the path
//   const View2D& field(int f) const;       matrix f of the batch
//   std::size_t n_paths() const, n_steps() const;
// and every lane performs exactly the scalar operations of its own path, IEEE-rounded
// one by one (vector extensions, no contraction), so the rows are the same bits whichever
// way the driver deals the paths.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>

#include "core/lanes.hpp"
#include "core/path_batch.hpp"
#include "core/view.hpp"

namespace quarnel::lane_driver {

template <class R, class T>
using StateOf = typename R::template State<T>;

template <class R>
std::array<const View2D*, R::kFields> field_list(const R& r) noexcept {
    std::array<const View2D*, R::kFields> views{};
    for (int f = 0; f < R::kFields; ++f) views[static_cast<std::size_t>(f)] = &r.field(f);
    return views;
}

// Matrix f of one path at step j, for the one-path-at-a-time loop.
template <int F>
struct PathLoader {
    const std::byte* const* rows;
    const std::ptrdiff_t* cols;
    std::ptrdiff_t j;
    QUARNEL_LANES_INLINE double operator()(int f) const noexcept {
        return load_f64(rows[f] + j * cols[f]);
    }
};

// Matrix f at step j for lane group g: gathered lanes (runs of rows), or lanes read as
// adjacent doubles where they are (across paths). A function object, not a lambda, so
// that it can be forced inline: called out of line from the AVX2 clone, it would pass
// its 32-byte vectors under the baseline ABI.
template <int W, bool kAcrossPaths>
struct LaneLoader {
    const LaneField* fields;
    std::size_t j;
    int g;
    QUARNEL_LANES_INLINE typename Lanes<W>::type operator()(int f) const noexcept {
        if constexpr (kAcrossPaths) {
            return load_lanes<W>(fields[f], j, g);
        } else {
            return gather<W>(fields[f], j, g);
        }
    }
};

template <int W>
QUARNEL_LANES_INLINE bool any_zero(const typename Lanes<W>::type& s) noexcept {
    const auto is_zero = s == 0.0;
    bool zero = false;
    for (int w = 0; w < W; ++w) zero |= is_zero[w] != 0;
    return zero;
}

// Lane w of group g's row into the path's row of the output, `spacing` paths apart.
template <class R, int W>
QUARNEL_LANES_INLINE void store_lanes(const StateOf<R, typename Lanes<W>::type>& st, int g,
                                      std::size_t spacing, double* out) noexcept {
    using V = typename Lanes<W>::type;
    V row[R::kColumns];
    R::finish(st, row);
    for (int w = 0; w < W; ++w) {
        double* dst = out + static_cast<std::size_t>(g * W + w) * spacing * R::kColumns;
        for (const V& column : row) *dst++ = column[w];
    }
}

// One path at a time. Also the reference for the lanes: on a zero sigma inside a block,
// the range is redone here so the first zero in path-then-step order is the one reported.
template <class R>
std::optional<ZeroSigma> rows_one_by_one(const R& r, std::size_t first, std::size_t count,
                                         double* out) noexcept {
    constexpr int F = R::kFields;
    for (std::size_t p = 0; p < count; ++p) {
        const std::size_t k = first + p;
        const std::byte* rows[F];
        std::ptrdiff_t cols[F];
        for (int f = 0; f < F; ++f) {
            rows[f] = r.field(f).row_ptr(k);
            cols[f] = r.field(f).col_stride;
        }
        StateOf<R, double> st = R::start(0.0);
        for (std::size_t j = 0; j < r.n_steps(); ++j) {
            const auto jj = static_cast<std::ptrdiff_t>(j);
            const double s = load_f64(rows[0] + jj * cols[0]);
            if (s == 0.0) return ZeroSigma{k, j};
            R::step(st, s, PathLoader<F>{rows, cols, jj}, r.at_step(j));
        }
        R::finish(st, out + p * R::kColumns);
    }
    return std::nullopt;
}

// Prefetch cadence of a runs-of-rows block: once per 64-byte line of the widest column
// stride among the matrices (every step when a step is a line or more apart).
template <std::size_t F>
std::size_t prefetch_mask(const std::array<const View2D*, F>& views) noexcept {
    std::ptrdiff_t widest = 0;
    for (const View2D* v : views) {
        widest = std::max(widest, v->col_stride < 0 ? -v->col_stride : v->col_stride);
    }
    return widest <= 8 ? 7 : widest <= 16 ? 3 : widest <= 32 ? 1 : 0;
}

// The recurrences are chains of dependent multiplies and adds, so one path at a time
// leaves the core waiting on latency. Interleaving L independent paths (G vectors of W
// lanes) hides it. Four paths is the sweet spot measured here: more lanes mean F L
// concurrent row streams, and past 16 streams the cache sets and prefetchers stop
// keeping up, so big batches get slower, not faster.
//
// Lane i takes path k + i * spacing, and the block after it path k + 1: each lane walks
// a run of consecutive rows, so in a C-ordered batch every stream is sequential for the
// whole run. Each stream is also prefetched kPrefetchSteps ahead (P), so its loads
// overlap the arithmetic instead of adding to it. False on a zero sigma in the block.
template <class R, int W, int G, bool P>
QUARNEL_LANES_INLINE bool block_along_rows(const R& r, std::size_t k, std::size_t spacing,
                                           std::size_t mask, double* out) noexcept {
    using V = typename Lanes<W>::type;
    constexpr int F = R::kFields;
    const auto lane = static_cast<std::ptrdiff_t>(spacing);
    LaneField fs[F];
    for (int f = 0; f < F; ++f) {
        const View2D& v = r.field(f);
        fs[f] = LaneField{v.row_ptr(k), v.row_stride * lane, v.col_stride};
    }
    const V zeros = {};
    StateOf<R, V> st[G];
    for (int g = 0; g < G; ++g) st[g] = R::start(zeros);
    for (std::size_t j = 0; j < r.n_steps(); ++j) {
        if (P && (j & mask) == 0) {
            const auto ahead = static_cast<std::ptrdiff_t>(j) + kPrefetchSteps;
            for (const LaneField& f : fs) {
                for (std::ptrdiff_t l = 0; l < std::ptrdiff_t{W} * G; ++l)
                    prefetch(f.base, ahead * f.col + l * f.row);
            }
        }
        V s[G];
        bool zero = false;
        for (int g = 0; g < G; ++g) {
            s[g] = gather<W>(fs[0], j, g);
            zero |= any_zero<W>(s[g]);
        }
        if (zero) return false;
        const auto c = r.at_step(j);
        for (int g = 0; g < G; ++g) R::step(st[g], s[g], LaneLoader<W, false>{fs, j, g}, c);
    }
    for (int g = 0; g < G; ++g) store_lanes<R, W>(st[g], g, spacing, out);
    return true;
}

// Paths [k, k + n) with adjacent paths in the lanes, a step of the whole tile at a time
// (n a multiple of W, at most R::kTilePaths): every matrix is read along its contiguous
// path axis, and the rows kPrefetchElements ahead are prefetched (P). The path states
// live in `st` instead of registers; each lane still does its path's operations in step
// order, so the bits are the same. False on a zero sigma anywhere in the tile.
template <class R, int W, bool P>
QUARNEL_LANES_INLINE bool tile_across_paths(const R& r, std::size_t k, std::size_t n,
                                            StateOf<R, typename Lanes<W>::type>* st,
                                            double* out) noexcept {
    using V = typename Lanes<W>::type;
    constexpr int F = R::kFields;
    const int groups = static_cast<int>(n) / W;
    LaneField fs[F];
    for (int f = 0; f < F; ++f) {
        const View2D& v = r.field(f);
        fs[f] = LaneField{v.row_ptr(k), v.row_stride, v.col_stride};
    }
    const auto rows_ahead = static_cast<std::ptrdiff_t>((kPrefetchElements + n - 1) / n);
    const V zeros = {};
    for (int g = 0; g < groups; ++g) st[g] = R::start(zeros);
    for (std::size_t j = 0; j < r.n_steps(); ++j) {
        const auto ahead = static_cast<std::ptrdiff_t>(j) + rows_ahead;
        const auto c = r.at_step(j);
        bool zero = false;
        for (int g = 0; g < groups; ++g) {
            if constexpr (P) {
                for (const LaneField& f : fs) {
                    prefetch(f.base, ahead * f.col + static_cast<std::ptrdiff_t>(g * W) * f.row);
                }
            }
            const V s = load_lanes<W>(fs[0], j, g);
            zero |= any_zero<W>(s);
            R::step(st[g], s, LaneLoader<W, true>{fs, j, g}, c);
        }
        // A zero sigma only makes infinities and NaNs in the lanes, never a trap, so the
        // row is finished before the tile gives up.
        if (zero) return false;
    }
    for (int g = 0; g < groups; ++g) store_lanes<R, W>(st[g], g, 1, out);
    return true;
}

// The rows of paths [first, first + count) into out, row p at out + p * R::kColumns, with
// prefetching (P) or without. The layout decides the dealing: time-major matrices go
// through across-paths tiles, path-major ones through blocks along runs of rows; what
// neither takes goes one path at a time. A zero sigma sends the whole range to the
// one-path loop, which finds the first in path-then-step order.
template <class R, int W, int G, bool P>
QUARNEL_LANES_INLINE std::optional<ZeroSigma> rows_in_lanes_with_prefetch(const R& r,
                                                                          std::size_t first,
                                                                          std::size_t count,
                                                                          double* out) noexcept {
    constexpr std::size_t L = static_cast<std::size_t>(W * G);
    constexpr std::size_t C = R::kColumns;
    const std::array<const View2D*, R::kFields> views = field_list(r);
    const std::size_t mask = prefetch_mask(views);
    std::size_t spacing = 0;
    if (paths_adjacent(views)) {
        // Tiles of two vectors or more: with one, the state's round trip through memory
        // would lengthen its chains, so fewer paths go to the register blocks below (all
        // of them if the state cannot be allocated).
        const LaneScratch<StateOf<R, typename Lanes<W>::type>> state(
            std::min(R::kTilePaths, count) / W);
        std::size_t p = 0;
        while (state.data() != nullptr && count - p >= 2 * static_cast<std::size_t>(W)) {
            const std::size_t n = std::min(R::kTilePaths, (count - p) / W * W);
            if (!tile_across_paths<R, W, P>(r, first + p, n, state.data(), out + p * C)) {
                return rows_one_by_one(r, first, count, out);
            }
            p += n;
        }
        first += p;
        count -= p;
        out += p * C;
    } else {
        // Lanes over runs of rows first, then over adjacent rows for what is left.
        spacing = lane_spacing(r.field(0).row_stride, count, L);
    }
    for (std::size_t p = 0; p < spacing; ++p) {
        if (!block_along_rows<R, W, G, P>(r, first + p, spacing, mask, out + p * C)) {
            return rows_one_by_one(r, first, count, out);
        }
    }
    std::size_t p = spacing * L;
    for (; p + L <= count; p += L) {
        if (!block_along_rows<R, W, G, P>(r, first + p, 1, mask, out + p * C)) {
            return rows_one_by_one(r, first, count, out);
        }
    }
    return rows_one_by_one(r, first + p, count - p, out + p * C);
}

// rows_in_lanes_with_prefetch, prefetching on batches too big to stay in cache (see
// kPrefetchFromBytes): the whole batch decides, not the range of one call.
template <class R, int W, int G>
QUARNEL_LANES_INLINE std::optional<ZeroSigma> rows_in_lanes(const R& r, std::size_t first,
                                                            std::size_t count,
                                                            double* out) noexcept {
    const std::size_t bytes_per_path_step = static_cast<std::size_t>(R::kFields) * sizeof(double);
    if (r.n_paths() * r.n_steps() >= kPrefetchFromBytes / bytes_per_path_step) {
        return rows_in_lanes_with_prefetch<R, W, G, true>(r, first, count, out);
    }
    return rows_in_lanes_with_prefetch<R, W, G, false>(r, first, count, out);
}

}  // namespace quarnel::lane_driver
