// The strike ladder's lane kernels: each group of lanes holds strikes (one strike a
// lane), the per-path inputs broadcast, and each lane does exactly the scalar operations
// of that strike's single call, so the lanes vectorise across independent sums and
// reorder none. greeks_ladder.cpp includes this header for one strike and two lanes;
// greeks_ladder_avx2.cpp and greeks_ladder_avx512.cpp (compiled with those instruction
// sets, on x86-64 only) for four and eight. Each defines QUARNEL_LADDER_ISA first: the
// kernels live in an inline namespace of that name, so the copies compiled with different
// instruction sets never merge at link time.
#pragma once

#include <bit>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

#include "core/lanes.hpp"

#if defined(__SSE2__) || defined(__AVX__) || defined(__AVX512F__)
#include <immintrin.h>
#endif

namespace quarnel::ladder {

// The built-in payoffs and slopes as plain selects of the same values as payoffs.hpp's
// (d > 0 ? d : 0 is positive_part exactly: -0.0 and NaN give +0.0), which the loop over
// the strikes can vectorise where the payoff objects' scalar intrinsics would stop it.
enum class Shape { identity, call, put, digital_call, digital_put };

// The paths a block holds: the per-path inputs are formed once per path into the block,
// then every group of strikes runs over the block with its sums in registers. Each
// strike's sums still take the paths one by one in path order, block after block. A
// block of the localised digital's nine streams stays in the first-level cache.
constexpr std::size_t kBlockPaths = 256;
// The strikes are padded to a multiple of the widest lane count with copies of a real
// strike, whose sums are dropped.
constexpr std::size_t kStrikePad = 8;

// One block of paths, stream-major: the states, the Brownian values, the pathwise
// multipliers or the weights (plain sums) and, for the localised digital, the pathwise
// multipliers in `a` and the weights in `b`.
struct PathBlock {
    std::size_t count = 0;
    double x[kBlockPaths];
    double w[kBlockPaths];
    double a[4][kBlockPaths];
    double b[4][kBlockPaths];
};

// The per-strike arrays of the plain sums, each of `stride` (the padded strike count)
// doubles: the strikes, then per stream i (price, delta, gamma, vega, rho) the sums at
// s1 + i * stride and the sums of squares at s2 + i * stride.
struct PlainLanes {
    const double* ks;
    double* s1;
    double* s2;
    std::size_t stride;
    double scale, horizon;
    std::size_t count;  // the strikes run from these pointers, a multiple of kStrikePad
};

// The localised digital's per-strike arrays: strike, ramp ends, the price sums, and per
// Greek i the sums of u, u * u and u * v at su/suu/suv + i * stride. The sums of v and
// v * v do not depend on the strike: the driver keeps one chain of each for all the
// strikes. Nor is there a chain of price * price: the price is 0 or 1, its own square,
// so that chain is the price's, bit for bit.
struct DigitalLanes {
    const double* ks;
    const double* lo;
    const double* hi;
    double* sp;
    double* su;
    double* suu;
    double* suv;
    std::size_t stride;
    double inv2e, horizon;
    std::size_t count;  // the strikes run from these pointers, a multiple of kStrikePad
};

using PlainFn = void (*)(const PathBlock&, const PlainLanes&) noexcept;
using DigitalFn = void (*)(const PathBlock&, const DigitalLanes&) noexcept;

// The kernels of greeks_ladder_avx2.cpp (4 lanes) and greeks_ladder_avx512.cpp (8),
// called only where the CPU reports those instruction sets.
#if QUARNEL_LADDER_WIDE
PlainFn plain_kernel_4(Shape shape, bool weights, bool rate_rho) noexcept;
DigitalFn digital_kernel_4(bool put, bool rate_rho) noexcept;
PlainFn plain_kernel_8(Shape shape, bool weights, bool rate_rho) noexcept;
DigitalFn digital_kernel_8(bool put, bool rate_rho) noexcept;
#endif

#ifdef QUARNEL_LADDER_ISA
inline namespace QUARNEL_LADDER_ISA {

// The lanes of the strike loop: a double (one strike) or a vector of doubles (one strike
// per lane), every operation element-wise and IEEE-rounded on its own, so a lane gives
// the bits of the scalar expression. Comparisons give a bool or a lane mask; pick is
// `m ? a : b` on the bits (a select: which side of a strike a path ends on is a coin
// toss, and a branch per lane would not vectorise).
template <class D>
inline constexpr std::size_t kWidth = sizeof(D) / sizeof(double);
template <>
inline constexpr std::size_t kWidth<double> = 1;

// An initialiser of W copies, which GCC turns into one broadcast (a loop of lane stores
// it does not).
template <class D, std::size_t... I>
QUARNEL_LANES_INLINE D splat_lanes(double v, std::index_sequence<I...>) noexcept {
    return D{((void)I, v)...};
}

template <class D>
QUARNEL_LANES_INLINE D splat(double v) noexcept {
    if constexpr (std::is_same_v<D, double>) {
        return v;
    } else {
        return splat_lanes<D>(v, std::make_index_sequence<kWidth<D>>{});
    }
}

template <class D>
QUARNEL_LANES_INLINE D load(const double* p) noexcept {
    D v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class D>
QUARNEL_LANES_INLINE void store(double* p, D v) noexcept {
    std::memcpy(p, &v, sizeof v);
}

template <class M, class D>
QUARNEL_LANES_INLINE D pick(M m, D a, D b) noexcept {
    if constexpr (std::is_same_v<D, double>) {
        return m ? a : b;
    } else {
        return std::bit_cast<D>((std::bit_cast<M>(a) & m) | (std::bit_cast<M>(b) & ~m));
    }
}

// d > 0 ? d : 0. On x86-64 that select is MAXPD(d, +0) exactly (its second operand
// where d is not greater, NaN and -0.0 included): one instruction where the select
// takes a compare and a blend.
template <class D>
QUARNEL_LANES_INLINE D positive_part(D d) noexcept {
    const D zero = splat<D>(0.0);
#if defined(__AVX512F__)
    // The all-lanes mask form: GCC 12's _mm512_max_pd warns of its own undefined source.
    if constexpr (kWidth<D> == 8) return _mm512_maskz_max_pd(0xFF, d, zero);
#endif
#if defined(__AVX__)
    if constexpr (kWidth<D> == 4) return _mm256_max_pd(d, zero);
#endif
#if defined(__SSE2__)
    if constexpr (kWidth<D> == 2) return _mm_max_pd(d, zero);
#endif
    return pick(d > zero, d, zero);
}

template <Shape S, class D>
QUARNEL_LANES_INLINE D value_at(D x, D k) noexcept {
    const D zero = splat<D>(0.0), one = splat<D>(1.0);
    if constexpr (S == Shape::call) {
        return positive_part(x - k);
    } else if constexpr (S == Shape::put) {
        return positive_part(k - x);
    } else if constexpr (S == Shape::digital_call) {
        return pick(x > k, one, zero);
    } else if constexpr (S == Shape::digital_put) {
        return pick(x < k, one, zero);
    } else {
        return x;
    }
}

template <Shape S, class D>
QUARNEL_LANES_INLINE D slope_at(D x, D k) noexcept {
    const D zero = splat<D>(0.0), one = splat<D>(1.0);
    if constexpr (S == Shape::call) {
        return pick(x > k, one, zero);
    } else if constexpr (S == Shape::put) {
        return pick(x < k, splat<D>(-1.0), zero);
    } else {
        return one;
    }
}

// One block's samples at every strike (plain_samples' operations, lane by lane) added to
// the strikes' sums.
template <class D, Shape S, bool Weights, bool RateRho>
QUARNEL_LANES_INLINE void plain_block(const PathBlock& b, const PlainLanes& p) noexcept {
    constexpr bool kIndicator = S == Shape::digital_call || S == Shape::digital_put;
    const D scale = splat<D>(p.scale), horizon = splat<D>(p.horizon);
    const std::size_t stride = p.stride;
    for (std::size_t j = 0; j < p.count; j += kWidth<D>) {
        const D k = load<D>(p.ks + j);
        D s1[5], s2[5];
        for (std::size_t i = 0; i < 5; ++i) {
            s1[i] = load<D>(p.s1 + i * stride + j);
            s2[i] = load<D>(p.s2 + i * stride + j);
        }
        for (std::size_t q = 0; q < b.count; ++q) {
            const D x = splat<D>(b.x[q]);
            const D f = value_at<S>(x, k);
            D d = f;
            if constexpr (!Weights) d = slope_at<S>(x, k);
            D v1;
            if constexpr (Weights) {
                v1 = (f * splat<D>(b.w[q])) * scale;
            } else {
                v1 = d * splat<D>(b.a[0][q]);
            }
            const D r = d * splat<D>(b.a[3][q]);
            D v4 = r;
            if constexpr (RateRho) v4 = r - horizon * f;
            const D v[5] = {f, v1, d * splat<D>(b.a[1][q]), d * splat<D>(b.a[2][q]), v4};
            for (std::size_t i = 0; i < 5; ++i) {
                s1[i] = s1[i] + v[i];
                if (i > 0 || !kIndicator) s2[i] = s2[i] + v[i] * v[i];
            }
        }
        // A digital's price is 0 or 1, its own square: that chain is the price's own.
        if constexpr (kIndicator) s2[0] = s1[0];
        for (std::size_t i = 0; i < 5; ++i) {
            store(p.s1 + i * stride + j, s1[i]);
            store(p.s2 + i * stride + j, s2[i]);
        }
    }
}

// LocalisedDigital::sample and greeks_localised_digital_sample lane by lane, each
// strike's centring sums as CentringSums<4>::add forms them.
template <class D, bool Put, bool RateRho>
QUARNEL_LANES_INLINE void digital_block(const PathBlock& b, const DigitalLanes& p) noexcept {
    const D zero = splat<D>(0.0), one = splat<D>(1.0);
    const D inv2e = splat<D>(p.inv2e), horizon = splat<D>(p.horizon);
    const std::size_t stride = p.stride;
    for (std::size_t j = 0; j < p.count; j += kWidth<D>) {
        const D k = load<D>(p.ks + j), lo = load<D>(p.lo + j), hi = load<D>(p.hi + j);
        D sp = load<D>(p.sp + j);
        D su[4], suu[4], suv[4];
        for (std::size_t i = 0; i < 4; ++i) {
            su[i] = load<D>(p.su + i * stride + j);
            suu[i] = load<D>(p.suu + i * stride + j);
            suv[i] = load<D>(p.suv + i * stride + j);
        }
        for (std::size_t q = 0; q < b.count; ++q) {
            const D x = splat<D>(b.x[q]);
            D f, fs, fsp;
            const D ramp = (x - lo) * inv2e;
            const D upper = pick(x >= hi, one, ramp);
            const D up = pick(x <= lo, zero, upper);
            const D up_slope = pick((lo < x) & (x < hi), inv2e, zero);
            if constexpr (Put) {
                f = pick(x < k, one, zero);
                fs = one - up;
                fsp = -up_slope;
            } else {
                f = pick(x > k, one, zero);
                fs = up;
                fsp = up_slope;
            }
            const D g = f - fs;
            sp = sp + f;
            for (std::size_t i = 0; i < 4; ++i) {
                const D v = splat<D>(b.b[i][q]);
                D u = fsp * splat<D>(b.a[i][q]) + g * v;
                if constexpr (RateRho) {
                    if (i == 3) u = u - horizon * f;
                }
                su[i] = su[i] + u;
                suu[i] = suu[i] + u * u;
                suv[i] = suv[i] + u * v;
            }
        }
        store(p.sp + j, sp);
        for (std::size_t i = 0; i < 4; ++i) {
            store(p.su + i * stride + j, su[i]);
            store(p.suu + i * stride + j, suu[i]);
            store(p.suv + i * stride + j, suv[i]);
        }
    }
}

template <class D, Shape S, bool Wt, bool R>
void plain_run(const PathBlock& b, const PlainLanes& p) noexcept {
    plain_block<D, S, Wt, R>(b, p);
}

template <class D, bool Put, bool R>
void digital_run(const PathBlock& b, const DigitalLanes& p) noexcept {
    digital_block<D, Put, R>(b, p);
}

// The kernel of lanes D for a payoff shape, estimator and rate.
template <class D>
PlainFn plain_kernel(Shape shape, bool weights, bool rate_rho) noexcept {
    auto by_flags = [&](auto s) -> PlainFn {
        constexpr Shape S = decltype(s)::value;
        if (weights) return rate_rho ? &plain_run<D, S, true, true> : &plain_run<D, S, true, false>;
        return rate_rho ? &plain_run<D, S, false, true> : &plain_run<D, S, false, false>;
    };
    switch (shape) {
        case Shape::call: return by_flags(std::integral_constant<Shape, Shape::call>{});
        case Shape::put: return by_flags(std::integral_constant<Shape, Shape::put>{});
        case Shape::digital_call:
            return by_flags(std::integral_constant<Shape, Shape::digital_call>{});
        case Shape::digital_put:
            return by_flags(std::integral_constant<Shape, Shape::digital_put>{});
        case Shape::identity: break;
    }
    return by_flags(std::integral_constant<Shape, Shape::identity>{});
}

template <class D>
DigitalFn digital_kernel(bool put, bool rate_rho) noexcept {
    if (put) return rate_rho ? &digital_run<D, true, true> : &digital_run<D, true, false>;
    return rate_rho ? &digital_run<D, false, true> : &digital_run<D, false, false>;
}

}  // namespace QUARNEL_LADDER_ISA
#endif

}  // namespace quarnel::ladder
