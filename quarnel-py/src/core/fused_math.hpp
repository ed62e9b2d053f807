// The arithmetic of the fused kernels over lanes: log, exp and pow that give exactly the
// bits of quarnel::fixed (fixed_math.hpp) in every lane, the sine and cosine of 2 pi u
// for Box-Muller, and the normals of philox.hpp.
//
// D is double (one path) or a vector of W doubles (one path per lane), U the matching
// unsigned 64-bit words. A lane runs the scalar function's operations in its order with
// the branches turned into selects; the branches of fixed_math.hpp that only rare
// arguments take (zero, subnormal, infinite or NaN inputs, results that under- or
// overflow) are not written as selects: a lane that needs one is recomputed by the
// scalar function itself, so every lane is bit-equal to it by construction.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "core/fixed_math.hpp"
#include "core/philox.hpp"

#if defined(__SSE2__) || defined(__AVX__) || defined(__AVX512F__)
#include <immintrin.h>
#endif

#if defined(__GNUC__) && !defined(QUARNEL_NO_VECTOR_EXTENSIONS)
#define QUARNEL_FUSED_VECTORS 1
#else
#define QUARNEL_FUSED_VECTORS 0
#endif

#if defined(__GNUC__)
#define QUARNEL_FUSED_INLINE [[gnu::always_inline]] inline
#else
#define QUARNEL_FUSED_INLINE inline
#endif

// The polynomials' short loops written out, their coefficients immediate operands.
#if defined(__clang__)
#define QUARNEL_FUSED_UNROLL _Pragma("clang loop unroll(full)")
#elif defined(__GNUC__)
#define QUARNEL_FUSED_UNROLL _Pragma("GCC unroll 16")
#else
#define QUARNEL_FUSED_UNROLL
#endif

namespace quarnel::fused {
inline namespace QUARNEL_FUSED_ISA {

template <int W>
struct Lanes;
template <>
struct Lanes<1> {
    using D = double;
    using U = std::uint64_t;
};
#if QUARNEL_FUSED_VECTORS
template <>
struct Lanes<2> {
    typedef double D __attribute__((vector_size(16)));
    typedef std::uint64_t U __attribute__((vector_size(16)));
};
template <>
struct Lanes<4> {
    typedef double D __attribute__((vector_size(32)));
    typedef std::uint64_t U __attribute__((vector_size(32)));
};
template <>
struct Lanes<8> {
    typedef double D __attribute__((vector_size(64)));
    typedef std::uint64_t U __attribute__((vector_size(64)));
};
// Two registers of AVX-512: two independent groups of paths in every instruction
// stream, so that one group's long chain (log, exp, division) hides the other's latency.
template <>
struct Lanes<16> {
    typedef double D __attribute__((vector_size(128)));
    typedef std::uint64_t U __attribute__((vector_size(128)));
};
template <>
struct Lanes<32> {
    typedef double D __attribute__((vector_size(256)));
    typedef std::uint64_t U __attribute__((vector_size(256)));
};
#endif

template <int W>
QUARNEL_FUSED_INLINE typename Lanes<W>::D splat(double x) noexcept {
    if constexpr (W == 1) {
        return x;
    } else {
        typename Lanes<W>::D v{};
        return v + x;
    }
}

template <int W>
QUARNEL_FUSED_INLINE typename Lanes<W>::U as_bits(typename Lanes<W>::D x) noexcept {
    return std::bit_cast<typename Lanes<W>::U>(x);
}
template <int W>
QUARNEL_FUSED_INLINE typename Lanes<W>::D from_bits(typename Lanes<W>::U u) noexcept {
    return std::bit_cast<typename Lanes<W>::D>(u);
}

// Lane flags are 0 or 1 in the words of U, made with integer arithmetic only: GCC
// lowers comparisons and selects on vectors wider than a register lane by lane, but
// integer and floating-point arithmetic register by register.

// 1 where the unsigned word a is below b, for a, b < 2^63.
template <class U>
QUARNEL_FUSED_INLINE U below(U a, std::uint64_t b) noexcept {
    return (a - b) >> 63;
}

// `flag ? a : b` on the bits.
template <int W>
QUARNEL_FUSED_INLINE typename Lanes<W>::D pick(typename Lanes<W>::U flag, typename Lanes<W>::D a,
                                               typename Lanes<W>::D b) noexcept {
    const typename Lanes<W>::U mask = (flag - flag) - flag;  // all ones where flag is 1
    return from_bits<W>((as_bits<W>(a) & mask) | (as_bits<W>(b) & ~mask));
}

#if defined(__AVX512F__)
QUARNEL_FUSED_INLINE philox::NativeWords native_or(philox::NativeWords a,
                                                   philox::NativeWords b) noexcept {
    return _mm512_or_si512(a, b);
}
QUARNEL_FUSED_INLINE bool native_any(philox::NativeWords a) noexcept {
    return _mm512_test_epi64_mask(a, a) != 0;
}
#elif defined(__AVX2__)
QUARNEL_FUSED_INLINE philox::NativeWords native_or(philox::NativeWords a,
                                                   philox::NativeWords b) noexcept {
    return _mm256_or_si256(a, b);
}
QUARNEL_FUSED_INLINE bool native_any(philox::NativeWords a) noexcept {
    return _mm256_testz_si256(a, a) == 0;
}
#elif defined(__SSE2__)
QUARNEL_FUSED_INLINE philox::NativeWords native_or(philox::NativeWords a,
                                                   philox::NativeWords b) noexcept {
    return _mm_or_si128(a, b);
}
QUARNEL_FUSED_INLINE bool native_any(philox::NativeWords a) noexcept {
    return _mm_movemask_epi8(_mm_cmpeq_epi8(a, _mm_setzero_si128())) != 0xFFFF;
}
#endif

// Whether any lane's word is non-zero.
template <int W>
QUARNEL_FUSED_INLINE bool any(typename Lanes<W>::U flags) noexcept {
    if constexpr (W == 1) {
        return flags != 0;
    } else {
        using U = typename Lanes<W>::U;
#if defined(__AVX512F__) || defined(__AVX2__) || defined(__SSE2__)
        // Register by register: the words or-ed together, then one test (a lane loop
        // would extract every word, at every step).
        using philox::NativeWords;
        if constexpr (sizeof(U) >= sizeof(NativeWords) && sizeof(U) % sizeof(NativeWords) == 0) {
            constexpr std::size_t kParts = sizeof(U) / sizeof(NativeWords);
            struct Parts {
                NativeWords p[kParts];
            };
            const Parts v = std::bit_cast<Parts>(flags);
            NativeWords all = v.p[0];
            for (std::size_t i = 1; i < kParts; ++i) all = native_or(all, v.p[i]);
            return native_any(all);
        }
#endif
        std::uint64_t all = 0;
        for (int w = 0; w < W; ++w) all |= flags[w];
        return all != 0;
    }
}

// Lanes whose flag is 0 get f(lane) from the scalar function.
template <int W, class F>
QUARNEL_FUSED_INLINE void patch(typename Lanes<W>::D& r, typename Lanes<W>::U ok, F f) noexcept {
    const typename Lanes<W>::U bad = ok ^ 1;
    if (!any<W>(bad)) return;
    for (int w = 0; w < W; ++w) {
        if (bad[w] != 0) r[w] = f(w);
    }
}

// With AVX-512 the lane tests of the rare-argument branches are compares into mask
// registers, a bit a lane, and the selects masked blends: two instructions a register
// where the integer arithmetic above takes eight, for the same lanes and values.
#if defined(__AVX512F__) && QUARNEL_FUSED_VECTORS
template <int W>
inline constexpr bool kMaskLanes = W >= 8 && W % 8 == 0 && W <= 64;

// A mask register per vector register of the lanes.
template <int W>
    requires(kMaskLanes<W>)
struct LaneBits {
    __mmask8 k[W / 8];
};

// Set where lane w of a is below b, unsigned.
template <int W>
QUARNEL_FUSED_INLINE LaneBits<W> below_bits(typename Lanes<W>::U a, std::uint64_t b) noexcept {
    struct Parts {
        __m512i p[W / 8];
    };
    const Parts v = std::bit_cast<Parts>(a);
    const __m512i bound = _mm512_set1_epi64(static_cast<long long>(b));
    LaneBits<W> out;
    for (int i = 0; i < W / 8; ++i) out.k[i] = _mm512_cmplt_epu64_mask(v.p[i], bound);
    return out;
}

template <int W>
QUARNEL_FUSED_INLINE LaneBits<W> operator&(LaneBits<W> a, LaneBits<W> b) noexcept {
    for (int i = 0; i < W / 8; ++i) a.k[i] = _kand_mask8(a.k[i], b.k[i]);
    return a;
}

// pick and patch of mask-register flags: a where the lane's bit is set, b elsewhere.
template <int W>
QUARNEL_FUSED_INLINE typename Lanes<W>::D pick(LaneBits<W> bits, typename Lanes<W>::D a,
                                               typename Lanes<W>::D b) noexcept {
    struct Parts {
        __m512d p[W / 8];
    };
    const Parts pa = std::bit_cast<Parts>(a);
    Parts out = std::bit_cast<Parts>(b);
    for (int i = 0; i < W / 8; ++i) out.p[i] = _mm512_mask_blend_pd(bits.k[i], out.p[i], pa.p[i]);
    return std::bit_cast<typename Lanes<W>::D>(out);
}

// Whether any lane's bit is set, and lane w's bit.
template <int W>
QUARNEL_FUSED_INLINE bool any_bits(LaneBits<W> bits) noexcept {
    __mmask8 any = bits.k[0];
    for (int i = 1; i < W / 8; ++i) any = _kor_mask8(any, bits.k[i]);
    return _kortestz_mask8_u8(any, any) == 0;
}
template <int W>
QUARNEL_FUSED_INLINE bool bit_of(LaneBits<W> bits, int w) noexcept {
    return ((bits.k[w / 8] >> (w % 8)) & 1) != 0;
}

// Lanes whose bit is clear get f(lane) from the scalar function.
template <int W, class F>
QUARNEL_FUSED_INLINE void patch(typename Lanes<W>::D& r, LaneBits<W> ok, F f) noexcept {
    __mmask8 all = ok.k[0];
    for (int i = 1; i < W / 8; ++i) all = _kand_mask8(all, ok.k[i]);
    if (_kortestc_mask8_u8(all, all) != 0) return;  // every lane's bit set
    for (int w = 0; w < W; ++w) {
        if (!bit_of<W>(ok, w)) r[w] = f(w);
    }
}

#else
template <int W>
inline constexpr bool kMaskLanes = false;
#endif

// The lane tests of log, exp and pow: flags of the lanes where the word a is below b
// (unsigned, b < 2^63), in mask registers where the lanes have them, in words of 0 and
// 1 otherwise; pick, patch and & take either.
template <int W>
QUARNEL_FUSED_INLINE auto unsigned_below(typename Lanes<W>::U a, std::uint64_t b) noexcept {
#if defined(__AVX512F__) && QUARNEL_FUSED_VECTORS
    if constexpr (kMaskLanes<W>) return below_bits<W>(a, b);
#endif
    if constexpr (!kMaskLanes<W>) return below(a, b) & ~(a >> 63);
}

// Where x is a positive, normal, finite double.
template <int W>
QUARNEL_FUSED_INLINE auto positive_normal(typename Lanes<W>::D x) noexcept {
    return unsigned_below<W>(as_bits<W>(x) - 0x0010000000000000ULL, 0x7FE0000000000000ULL);
}

// Where |x| <= 707 (NaN excluded): exp's one-step range.
template <int W>
QUARNEL_FUSED_INLINE auto exp_range(typename Lanes<W>::D x) noexcept {
    return unsigned_below<W>(as_bits<W>(x) & 0x7FFFFFFFFFFFFFFFULL,
                             std::bit_cast<std::uint64_t>(707.0) + 1);
}

namespace detail {

// The polynomials of Box-Muller's sine and cosine in z = r^2 <= (pi/4)^2, highest
// coefficient first, evaluated as fixed_math.hpp's (a negative c is the same bits as
// subtracting its magnitude): sin r = r + r z ps(z) and cos r = (1 - z/2) + z^2 pc(z),
// mpmath.chebyfit's fits of ps(z) = (sin(r)/r - 1)/z (error 2.0e-17, 1.0e-17 in sin r)
// and pc(z) = (cos r - 1 + z/2)/z^2 (1.3e-18, 4.9e-19 in cos r) at 50 digits, rounded
// to double: two and one steps shorter than Taylor's to r^17 and r^16 for the same
// accuracy. Box-Muller's log is pow's, fixed::detail::kLogFit.
inline constexpr double kSinPoly[6] = {1.5918129154550544e-10, -2.5051131843056034e-08,
                                       2.7557316102543096e-06, -0.00019841269836758557,
                                       0.008333333333330948,   -0.16666666666666666};
inline constexpr double kCosPoly[6] = {-1.1382632337741214e-11, 2.087614626718481e-09,
                                       -2.755731727172395e-07,  2.4801587298765676e-05,
                                       -0.0013888888888887398,  0.041666666666666664};

// fixed::log for positive normal finite x, in three parts: the reduction to s (and the
// exponent ed), the polynomial in s^2, and the sum; normal_pair interleaves the
// polynomial with the sine's and cosine's.
template <int W>
struct LogParts {
    typename Lanes<W>::D s, s2, ed;
};

template <int W>
QUARNEL_FUSED_INLINE LogParts<W> log_begin(typename Lanes<W>::D x) noexcept {
    using D = typename Lanes<W>::D;
    using U = typename Lanes<W>::U;
    const U bits = as_bits<W>(x);
    // m > sqrt 2 as words (m in [1, 2)); halving m is one less in its exponent field.
    const U mbits = (bits & 0x000FFFFFFFFFFFFFULL) | 0x3FF0000000000000ULL;
    const U big = (std::bit_cast<std::uint64_t>(1.4142135623730951) - mbits) >> 63;
    const U biased = (bits >> 52) + big;
    const D m = from_bits<W>(mbits - (big << 52));
    const D f = m - 1.0;
    const D s = f / (2.0 + f);
    // (double)(biased - 1023), exactly: 2^52 + biased read as a double, less 2^52 + 1023.
    const D ed = from_bits<W>(biased | 0x4330000000000000ULL) - 4503599627371519.0;
    return {s, s * s, ed};
}

template <int W>
QUARNEL_FUSED_INLINE typename Lanes<W>::D log_end(const LogParts<W>& l,
                                                  typename Lanes<W>::D p) noexcept {
    const typename Lanes<W>::D two_s = 2.0 * l.s;
    const typename Lanes<W>::D log_m = two_s + two_s * (l.s2 * p);
    return l.ed * fixed::LN2_HI + (log_m + l.ed * fixed::LN2_LO);
}

// Horner's steps of fixed::detail::polynomial.
template <int W, std::size_t N>
QUARNEL_FUSED_INLINE typename Lanes<W>::D polynomial(const double (&c)[N],
                                                     typename Lanes<W>::D t) noexcept {
    typename Lanes<W>::D p = splat<W>(c[0]);
    QUARNEL_FUSED_UNROLL
    for (std::size_t i = 1; i < N; ++i) p = p * t + c[i];
    return p;
}

// fixed::detail::log_with(poly, x) for positive normal finite x.
template <int W, std::size_t N>
QUARNEL_FUSED_INLINE typename Lanes<W>::D log_normal(const double (&poly)[N],
                                                     typename Lanes<W>::D x) noexcept {
    const LogParts<W> l = log_begin<W>(x);
    return log_end<W>(l, polynomial<W>(poly, l.s2));
}

// fixed::detail::exp_with(poly, x) for x in [-707, 709], where the result is normal and
// 2^k one step.
template <int W, std::size_t N>
QUARNEL_FUSED_INLINE typename Lanes<W>::D exp_normal(const double (&poly)[N],
                                                     typename Lanes<W>::D x) noexcept {
    using D = typename Lanes<W>::D;
    using U = typename Lanes<W>::U;
    constexpr double shifter = 6755399441055744.0;
    const D shifted = x * fixed::INV_LN2 + shifter;
    const D kd = shifted - shifter;
    // k from the low bits of the shifted value: bits(shifted) - bits(shifter) = k.
    const U k = as_bits<W>(shifted) - std::bit_cast<std::uint64_t>(shifter);
    const D r = (x - kd * fixed::LN2_HI) - kd * fixed::LN2_LO;
    const D p = polynomial<W>(poly, r) * r * r + r;
    const D e = 1.0 + p;
    return e * from_bits<W>((k + 1023) << 52);
}

// f of each native register of the lane words j (In the integer register, Out the
// double register f gives), the results put together as lanes.
template <int W, class Out, class In, class F>
QUARNEL_FUSED_INLINE typename Lanes<W>::D by_register(typename Lanes<W>::U j, F f) noexcept {
    constexpr std::size_t kParts = sizeof(j) / sizeof(In);
    struct Index {
        In p[kParts];
    };
    struct Parts {
        Out p[kParts];
    };
    const Index idx = std::bit_cast<Index>(j);
    Parts out;
    for (std::size_t i = 0; i < kParts; ++i) out.p[i] = f(idx.p[i]);
    return std::bit_cast<typename Lanes<W>::D>(out);
}

// t[j] in the lanes, for j in [0, 16): a permute across two registers of the table
// with AVX-512, a gather with AVX2, a load per lane elsewhere (the same values).
template <int W>
QUARNEL_FUSED_INLINE typename Lanes<W>::D lookup16(const double (&t)[16],
                                                   typename Lanes<W>::U j) noexcept {
#if defined(__AVX512F__) && QUARNEL_FUSED_VECTORS
    if constexpr (W >= 8 && W % 8 == 0) {
        const __m512d low = _mm512_loadu_pd(t);
        const __m512d high = _mm512_loadu_pd(t + 8);
        return by_register<W, __m512d, __m512i>(
            j, [&](__m512i i) { return _mm512_permutex2var_pd(low, i, high); });
    }
#endif
#if defined(__AVX2__) && QUARNEL_FUSED_VECTORS
    if constexpr (W >= 4 && W % 4 == 0) {
        return by_register<W, __m256d, __m256i>(
            j, [&](__m256i i) { return _mm256_i64gather_pd(t, i, 8); });
    }
#endif
    typename Lanes<W>::D r = splat<W>(0.0);
    for (int w = 0; w < W; ++w) r[w] = t[j[w]];
    return r;
}

// fixed::detail::exp_table(x) for x in [-707, 707], where 2^m 2^(j/16) is normal.
template <int W>
QUARNEL_FUSED_INLINE typename Lanes<W>::D exp_table_normal(typename Lanes<W>::D x) noexcept {
    using D = typename Lanes<W>::D;
    using U = typename Lanes<W>::U;
    constexpr double shifter = 6755399441055744.0;
    const D shifted = x * fixed::detail::INV_LN2_16 + shifter;
    const D kd = shifted - shifter;
    const U k = as_bits<W>(shifted) - std::bit_cast<std::uint64_t>(shifter);
    const D r = (x - kd * fixed::detail::LN2_16_HI) - kd * fixed::detail::LN2_16_LO;
    const U j = k & 15;
    const D p = (polynomial<W>(fixed::detail::kExpTableFit, r) * r * r + r) +
                lookup16<W>(fixed::detail::kExp2SixteenthsTail, j);
    const D t = lookup16<W>(fixed::detail::kExp2Sixteenths, j);
    const D s = from_bits<W>(as_bits<W>(t) + ((k - j) << 48));
    return s + s * p;
}

}  // namespace detail

template <int W>
QUARNEL_FUSED_INLINE typename Lanes<W>::D log(typename Lanes<W>::D x) noexcept {
    if constexpr (W == 1) {
        return fixed::log(x);
    } else {
        const auto ok = positive_normal<W>(x);
        typename Lanes<W>::D r =
            detail::log_normal<W>(fixed::detail::kLogTaylor, pick<W>(ok, x, splat<W>(1.0)));
        patch<W>(r, ok, [&](int w) { return fixed::log(x[w]); });
        return r;
    }
}

template <int W>
QUARNEL_FUSED_INLINE typename Lanes<W>::D exp(typename Lanes<W>::D x) noexcept {
    if constexpr (W == 1) {
        return fixed::exp(x);
    } else {
        const auto ok = exp_range<W>(x);
        typename Lanes<W>::D r =
            detail::exp_normal<W>(fixed::detail::kExpTaylor, pick<W>(ok, x, splat<W>(0.0)));
        patch<W>(r, ok, [&](int w) { return fixed::exp(x[w]); });
        return r;
    }
}

// fixed::pow(x, y) for one exponent y.
template <int W>
QUARNEL_FUSED_INLINE typename Lanes<W>::D pow(typename Lanes<W>::D x, double y) noexcept {
    if constexpr (W == 1) {
        return fixed::pow(x, y);
    } else {
        const auto ok_x = positive_normal<W>(x);
        const typename Lanes<W>::D t =
            y * detail::log_normal<W>(fixed::detail::kLogFit, pick<W>(ok_x, x, splat<W>(1.0)));
        const auto ok_t = exp_range<W>(t);
        typename Lanes<W>::D r = detail::exp_table_normal<W>(pick<W>(ok_t, t, splat<W>(0.0)));
        patch<W>(r, ok_x & ok_t, [&](int w) { return fixed::pow(x[w], y); });
        return r;
    }
}

// std::sqrt in every lane (correctly rounded, so any instruction gives the same bits),
// register by register where the instruction set has a vector square root.
#if defined(__AVX512F__)
using NativeDoubles = __m512d;
QUARNEL_FUSED_INLINE NativeDoubles sqrt_native(NativeDoubles x) noexcept {
    return _mm512_maskz_sqrt_pd(0xFF, x);
}
#elif defined(__AVX__)
using NativeDoubles = __m256d;
QUARNEL_FUSED_INLINE NativeDoubles sqrt_native(NativeDoubles x) noexcept {
    return _mm256_sqrt_pd(x);
}
#elif defined(__SSE2__)
using NativeDoubles = __m128d;
QUARNEL_FUSED_INLINE NativeDoubles sqrt_native(NativeDoubles x) noexcept { return _mm_sqrt_pd(x); }
#endif

template <int W>
QUARNEL_FUSED_INLINE typename Lanes<W>::D sqrt(typename Lanes<W>::D x) noexcept {
    using D = typename Lanes<W>::D;
    if constexpr (W == 1) {
        return std::sqrt(x);
    } else {
#if defined(__AVX512F__) || defined(__AVX__) || defined(__SSE2__)
        if constexpr (sizeof(D) >= sizeof(NativeDoubles) &&
                      sizeof(D) % sizeof(NativeDoubles) == 0) {
            constexpr std::size_t kParts =
                sizeof(D) / sizeof(NativeDoubles);  // NOLINT(bugprone-sizeof-expression)
            struct Parts {
                NativeDoubles p[kParts];
            };
            Parts v = std::bit_cast<Parts>(x);
            for (std::size_t i = 0; i < kParts; ++i) v.p[i] = sqrt_native(v.p[i]);
            return std::bit_cast<D>(v);
        }
#endif
        D r = x;
        for (int w = 0; w < W; ++w) r[w] = std::sqrt(x[w]);
        return r;
    }
}

// cos(2 pi u) and sin(2 pi u) for u in [0, 1) (u a multiple of 2^-52): 4u = n + f with n
// the nearest integer, exactly, so the reduction to r = f pi/2 in [-pi/4, pi/4] rounds
// once; the polynomials above there (error below 2^-55), then the quadrant n by swaps
// and signs. Within 2^-52 of the true values (absolute: near a
// zero of the cosine the rounding of r dominates), all Box-Muller needs. In parts, as
// log: the reduction, the two polynomials in r^2, and the quadrant.
template <int W>
struct CosSinParts {
    typename Lanes<W>::D r, r2;
    typename Lanes<W>::U q;
};

template <int W>
QUARNEL_FUSED_INLINE CosSinParts<W> cos_sin_begin(typename Lanes<W>::D u) noexcept {
    using D = typename Lanes<W>::D;
    constexpr double shifter = 6755399441055744.0;
    constexpr double kPio2Hi = 1.5707963267948966;     // pi/2 rounded
    constexpr double kPio2Lo = 6.123233995736766e-17;  // pi/2 - kPio2Hi
    const D t = 4.0 * u;
    const D shifted = t + shifter;
    const D n = shifted - shifter;
    const D f = t - n;
    // The quadrant n in {0, ..., 4} from the shifted value's low bits.
    const typename Lanes<W>::U q = as_bits<W>(shifted) - std::bit_cast<std::uint64_t>(shifter);
    const D r = f * kPio2Hi + f * kPio2Lo;
    return {r, r * r, q};
}

template <int W>
QUARNEL_FUSED_INLINE void cos_sin_end(const CosSinParts<W>& a, typename Lanes<W>::D ps,
                                      typename Lanes<W>::D pc, typename Lanes<W>::D& c,
                                      typename Lanes<W>::D& s) noexcept {
    using D = typename Lanes<W>::D;
    const D sr = a.r + a.r * (a.r2 * ps);
    const D half_r2 = 0.5 * a.r2;
    const D cr = (1.0 - half_r2) + (a.r2 * a.r2) * pc;
    // Quadrant n (4 is 0 again): cos is (c, -s, -c, s), sin (s, c, -s, -c).
    const typename Lanes<W>::U q = a.q;
    const typename Lanes<W>::U swap = q & 1;
    const D c0 = pick<W>(swap, sr, cr);
    const D s0 = pick<W>(swap, cr, sr);
    c = from_bits<W>(as_bits<W>(c0) ^ ((((q + 1) >> 1) & 1) << 63));  // n = 1, 2
    s = from_bits<W>(as_bits<W>(s0) ^ (((q >> 1) & 1) << 63));        // n = 2, 3
}

template <int W>
QUARNEL_FUSED_INLINE void cos_sin_2pi(typename Lanes<W>::D u, typename Lanes<W>::D& c,
                                      typename Lanes<W>::D& s) noexcept {
    const CosSinParts<W> a = cos_sin_begin<W>(u);
    cos_sin_end<W>(a, detail::polynomial<W>(detail::kSinPoly, a.r2),
                   detail::polynomial<W>(detail::kCosPoly, a.r2), c, s);
}

// The standard normals of steps 2 * pair and 2 * pair + 1 of the lanes' paths.
template <int W>
QUARNEL_FUSED_INLINE void normal_pair(const philox::Key& key, typename Lanes<W>::U path,
                                      std::uint64_t pair, typename Lanes<W>::D& z_even,
                                      typename Lanes<W>::D& z_odd) noexcept {
    using D = typename Lanes<W>::D;
    typename Lanes<W>::U a, b;
    philox::block(key, path, pair, a, b);
    const D u1 = 2.0 - from_bits<W>((a >> 12) | 0x3FF0000000000000ULL);
    const D u2 = from_bits<W>((b >> 12) | 0x3FF0000000000000ULL) - 1.0;
    D c, s, radius;
    if constexpr (W == 1) {
        radius = sqrt<W>(-2.0 * fixed::detail::log_with(fixed::detail::kLogFit, u1));
        cos_sin_2pi<W>(u2, c, s);
    } else {
        // u1 is in [2^-52, 1], always positive and normal: log's test of its argument
        // would never send a lane to the scalar function. The three polynomials step
        // by step side by side: three independent chains for the units to overlap,
        // where one after the other each waits on its own previous step.
        const detail::LogParts<W> l = detail::log_begin<W>(u1);
        const CosSinParts<W> t = cos_sin_begin<W>(u2);
        constexpr const double (&kLog)[7] = fixed::detail::kLogFit;
        D p = splat<W>(kLog[0]), ps = splat<W>(detail::kSinPoly[0]),
          pc = splat<W>(detail::kCosPoly[0]);
        QUARNEL_FUSED_UNROLL
        for (int i = 1; i < 7; ++i) {
            p = p * l.s2 + kLog[i];
            if (i < 6) ps = ps * t.r2 + detail::kSinPoly[i];
            if (i < 6) pc = pc * t.r2 + detail::kCosPoly[i];
        }
        radius = sqrt<W>(-2.0 * detail::log_end<W>(l, p));
        cos_sin_end<W>(t, ps, pc, c, s);
    }
    z_even = radius * c;
    z_odd = radius * s;
}

}  // namespace QUARNEL_FUSED_ISA
}  // namespace quarnel::fused
