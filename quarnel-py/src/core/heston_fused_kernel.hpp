// The fused Heston paths in lanes, included by fused_portable.cpp, fused_avx2.cpp and
// fused_avx512.cpp (each defines QUARNEL_FUSED_ISA first): W paths walk all steps in the
// lanes of one vector, per step one Philox block and one Box-Muller pair (normal_pair of
// fused_math.hpp) and the step of heston_step.hpp. Paths that do not fill a group run
// with W = 1, the same operations on one double, so every width gives the same bits.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "core/fused_kernel.hpp"
#include "core/fused_math.hpp"
#include "core/heston.hpp"
#include "core/heston_step.hpp"

namespace quarnel::fused {
inline namespace QUARNEL_FUSED_ISA {

// The increments (dB_j, dZ_j) of step j for the paths in `path`: the Box-Muller pair of
// Philox block j, each times sqrt(dt), the same two products wherever they are used.
template <int W>
QUARNEL_FUSED_INLINE void heston_increments(const philox::Key& key, typename Lanes<W>::U path,
                                            std::size_t step, double sqrt_dt,
                                            typename Lanes<W>::D& db,
                                            typename Lanes<W>::D& dz) noexcept {
    typename Lanes<W>::D z_even, z_odd;
    normal_pair<W>(key, path, step, z_even, z_odd);
    db = sqrt_dt * z_even;
    dz = sqrt_dt * z_odd;
}

template <int W>
QUARNEL_FUSED_INLINE typename Lanes<W>::U heston_paths(std::size_t first) noexcept {
    if constexpr (W == 1) {
        return first;
    } else {
        typename Lanes<W>::U p;
        for (int w = 0; w < W; ++w) p[w] = first + static_cast<std::uint64_t>(w);
        return p;
    }
}

// Raw rows (heston.hpp) of paths [first, first + count) of W paths at a time.
template <int W>
QUARNEL_FUSED_INLINE void heston_rows_group(const HestonBatch& b, const philox::Key& key,
                                            std::size_t first, double* out) noexcept {
    namespace hs = heston_step_detail;
    using D = typename Lanes<W>::D;
    const HestonModel& m = b.model;
    // As the lane driver's at_step gives them (heston.cpp).
    const hs::HestonConst c{m.v0, b.dt, m.kappa, m.theta, m.xi, m.kappa * b.dt};
    const double sqrt_dt = std::sqrt(b.dt);
    const typename Lanes<W>::U paths = heston_paths<W>(first);
    hs::HestonState<D> st = hs::heston_start(splat<W>(0.0));
    for (std::size_t j = 0; j < b.n_steps; ++j) {
        D db, dz;
        heston_increments<W>(key, paths, j, sqrt_dt, db, dz);
        hs::heston_step(st, db, dz, c);
    }
    if constexpr (W == 1) {
        hs::heston_finish(st, out);
    } else {
        for (int w = 0; w < W; ++w) {
            hs::HestonState<double> one{st.d[w], st.q[w], st.r[w], st.g[w], {}, {}, {}, {}};
            for (int p = 0; p < hs::kVarParams; ++p) {
                one.tan[p] = st.tan[p][w];
                one.tq[p] = st.tq[p][w];
                one.tr[p] = st.tr[p][w];
                one.tg[p] = st.tg[p][w];
            }
            hs::heston_finish(one, out + static_cast<std::size_t>(w) * kHestonRawColumns);
        }
    }
}

template <int W>
void heston_rows_any(const HestonBatch& b, std::uint64_t seed, std::size_t first, std::size_t count,
                     double* out) noexcept {
    const philox::Key key(seed);
    std::size_t p = 0;
    for (; p + W <= count; p += W)
        heston_rows_group<W>(b, key, first + p, out + p * kHestonRawColumns);
    for (; p < count; ++p) heston_rows_group<1>(b, key, first + p, out + p * kHestonRawColumns);
}

// The increments of paths [first, first + count) into rows `first - base` on of dw_v
// and dw_perp (row stride ld = n_steps).
template <int W>
QUARNEL_FUSED_INLINE void heston_increments_group(const philox::Key& key, std::size_t path,
                                                  std::size_t n_steps, double sqrt_dt, double* dw_v,
                                                  double* dw_perp) noexcept {
    const typename Lanes<W>::U paths = heston_paths<W>(path);
    for (std::size_t j = 0; j < n_steps; ++j) {
        typename Lanes<W>::D db, dz;
        heston_increments<W>(key, paths, j, sqrt_dt, db, dz);
        for (int w = 0; w < W; ++w) {
            const std::size_t at = static_cast<std::size_t>(w) * n_steps + j;
            dw_v[at] = lane<W>(db, w);
            dw_perp[at] = lane<W>(dz, w);
        }
    }
}

template <int W>
void heston_increments_any(std::uint64_t seed, double sqrt_dt, std::size_t first, std::size_t count,
                           std::size_t n_steps, double* dw_v, double* dw_perp) noexcept {
    const philox::Key key(seed);
    std::size_t p = 0;
    for (; p + W <= count; p += W) {
        heston_increments_group<W>(key, first + p, n_steps, sqrt_dt, dw_v + p * n_steps,
                                   dw_perp + p * n_steps);
    }
    for (; p < count; ++p) {
        heston_increments_group<1>(key, first + p, n_steps, sqrt_dt, dw_v + p * n_steps,
                                   dw_perp + p * n_steps);
    }
}

}  // namespace QUARNEL_FUSED_ISA
}  // namespace quarnel::fused
