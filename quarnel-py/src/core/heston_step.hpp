// One step of the Heston forward pass (heston.hpp), shared by the kernel over the
// caller's increments (heston.cpp, in lanes) and the fused paths (heston_fused.cpp, one
// path at a time): the one place the operation order is written, so both give the same
// bits from the same increments.
#pragma once

#include <cmath>

#include "core/lanes.hpp"

#ifndef QUARNEL_FUSED_ISA
#define QUARNEL_FUSED_ISA portable
#endif

// Inside a namespace named after the instruction set of the including file, as
// philox.hpp is: the fused kernels' wide copies (fused_avx2.cpp, fused_avx512.cpp) can
// never be merged by the linker with the baseline ones.
namespace quarnel::heston_step_detail {
inline namespace QUARNEL_FUSED_ISA {

// The parameters whose tangent of v the pass carries, in this order.
constexpr int kVarParams = 4;  // v0, kappa, theta, xi

// `d` is v_j - v0, the sum of the variance increments so far (see heston.hpp).
template <class T>
struct HestonState {
    T d, q, r, g;
    T tan[kVarParams], tq[kVarParams], tr[kVarParams], tg[kVarParams];
};

struct HestonConst {
    double v0, dt, kappa, theta, xi, kappa_dt;
};

// The truncation per lane: v+, s = sqrt(v+), q = 1{v > 0} and h = q / (2 s), with no
// division by zero where v is truncated. A double is one lane; a vector is done lane by
// lane with the same scalar operations (the compiler vectorises the selects).
struct Truncated {
    double vp, s, q, h;
};

QUARNEL_LANES_INLINE Truncated truncate(double v) noexcept {
    const bool pos = v > 0.0;  // false for NaN too: a NaN path stays NaN through R and G
    const double vp = pos ? v : 0.0;
    const double s = std::sqrt(vp);
    const double q = pos ? 1.0 : 0.0;
    return {vp, s, q, (0.5 * q) / (s + (1.0 - q))};
}

template <class T>
struct TruncatedLanes {
    T vp, s, q, h;
};

template <class T>
QUARNEL_LANES_INLINE TruncatedLanes<T> truncate_lanes(const T& v) noexcept {
    if constexpr (sizeof(T) == sizeof(double)) {
        const Truncated t = truncate(v);
        return {t.vp, t.s, t.q, t.h};
    } else {
        constexpr int W = static_cast<int>(sizeof(T) / sizeof(double));
        TruncatedLanes<T> out;
#if defined(__GNUC__) && !defined(QUARNEL_NO_VECTOR_EXTENSIONS)
        // The selects as masks, so the lanes stay in one vector (a per-lane loop of
        // branches would not vectorise). Masking a double with all ones or all zeros
        // gives it or +0.0, and den = s + (1 - q) is s or exactly 1: the same values as
        // truncate() lane by lane.
        using M = decltype(v > 0.0);
        const M pos = v > 0.0;
        const T one = T{} + 1.0;
        out.vp = reinterpret_cast<T>(reinterpret_cast<M>(v) & pos);
        T s = out.vp;  // the square roots in place, lane by lane
        for (int w = 0; w < W; ++w) s[w] = std::sqrt(s[w]);
        out.s = s;
        out.q = reinterpret_cast<T>(reinterpret_cast<M>(one) & pos);
        out.h = (0.5 * out.q) / (out.s + (one - out.q));
#else
        for (int w = 0; w < W; ++w) {
            const Truncated t = truncate(v[w]);
            out.vp[w] = t.vp;
            out.s[w] = t.s;
            out.q[w] = t.q;
            out.h[w] = t.h;
        }
#endif
        return out;
    }
}

// One step; every product rounded on its own, sums left to right as written.
template <class T>
QUARNEL_LANES_INLINE void heston_step(HestonState<T>& st, T b, T z, const HestonConst& c) noexcept {
    const TruncatedLanes<T> t = truncate_lanes(st.d + c.v0);
    // The step's factor of every tangent, dv_{j+1}/dv_j: one product per parameter
    // instead of two, with the source terms added after it.
    const T a = ((T{} + 1.0) - c.kappa_dt * t.q) + (c.xi * b) * t.h;
    const T drift = (T{} + c.theta) - t.vp;
    const T sb = t.s * b;
    const T src[kVarParams - 1] = {drift * c.dt, T{} + c.kappa_dt, sb};
    for (int p = 0; p < kVarParams; ++p) {
        const T qt = t.q * st.tan[p];
        const T ds = t.h * st.tan[p];
        st.tq[p] = st.tq[p] + qt;
        st.tr[p] = st.tr[p] + ds * b;
        st.tg[p] = st.tg[p] + ds * z;
        st.tan[p] = p == 0 ? st.tan[p] * a : st.tan[p] * a + src[p - 1];
    }
    st.q = st.q + t.vp;
    st.r = st.r + sb;
    st.g = st.g + t.s * z;
    st.d = st.d + ((c.kappa * drift) * c.dt + (c.xi * t.s) * b);
}

// The state of a path before its first step: v carried as its distance from v0 (zero),
// T_v0 = 1 and every other sum zero.
template <class T>
QUARNEL_LANES_INLINE HestonState<T> heston_start(T zeros) noexcept {
    HestonState<T> st{};
    st.d = zeros;
    st.q = zeros;
    st.r = zeros;
    st.g = zeros;
    for (int p = 0; p < kVarParams; ++p) {
        st.tan[p] = zeros;
        st.tq[p] = zeros;
        st.tr[p] = zeros;
        st.tg[p] = zeros;
    }
    st.tan[0] = zeros + 1.0;
    return st;
}

// The raw row of heston.hpp (kHestonRawColumns values) from a path's final state.
template <class T, class Out>
QUARNEL_LANES_INLINE void heston_finish(const HestonState<T>& st, Out* row) noexcept {
    row[0] = st.d;  // v_N - v0
    row[1] = st.q;
    row[2] = st.r;
    row[3] = st.g;
    for (int p = 0; p < kVarParams; ++p) {
        row[4 + 4 * p] = st.tan[p];
        row[5 + 4 * p] = st.tq[p];
        row[6 + 4 * p] = st.tr[p];
        row[7 + 4 * p] = st.tg[p];
    }
}

}  // namespace QUARNEL_FUSED_ISA
}  // namespace quarnel::heston_step_detail
