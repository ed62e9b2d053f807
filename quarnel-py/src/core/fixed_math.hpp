// The library's own exp, log and pow. The platform's libm differs between glibc
// versions, x86-64 and aarch64, and Windows; a kernel that must give the same bits
// everywhere calls these instead. Each is a fixed sequence of IEEE additions,
// multiplications and divisions (the build forbids contraction), so the result is a
// function of the argument alone. Accuracy (checked against long double in
// tests/cpp/test_fixed_math.cpp): exp and log within 2 ulp on the whole finite range;
// pow, as exp(y log x) in plain double, within 8 ulp for |y log x| up to about 6 (the
// error grows with |y log x|: x^0.7 is within 2.1 ulp on [0.2, 5], 3.0 on [0.01, 100]).
// pow runs a shorter log than log's (fitted, not Taylor's) and an exp by a table of
// 2^(j/16) (within 0.55 ulp): the rounding of y log x dominates its error, so ten
// fewer polynomial steps a call (the fused CEV kernel's x^beta at every step) cost it
// no accuracy.
//
// A lane version (several paths in the lanes of a vector) must run exactly these
// operations in this order, with the branches turned into selects, to keep the bits.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

// Forced inline: the fused kernels are compiled once per instruction set, and an
// out-of-line copy built for AVX-512 must never be the one the linker keeps.
#if defined(__GNUC__)
#define QUARNEL_FIXED_INLINE [[gnu::always_inline]] inline
#else
#define QUARNEL_FIXED_INLINE inline
#endif

namespace quarnel::fixed {

// ln 2 split so that k * LN2_HI is exact for |k| < 2^11 (its low 11 bits are zero).
inline constexpr double LN2_HI = 6.93147180369123816490e-01;
inline constexpr double LN2_LO = 1.90821492927058770002e-10;
inline constexpr double INV_LN2 = 1.44269504088896338700e+00;
inline constexpr double EXP_OVERFLOW = 7.09782712893383973096e+02;
inline constexpr double EXP_UNDERFLOW = -7.45133219101941108420e+02;

// 2^k for k in [-1022, 1023], from the exponent bits.
QUARNEL_FIXED_INLINE double pow2_normal(std::int64_t k) noexcept {
    return std::bit_cast<double>(static_cast<std::uint64_t>(k + 1023) << 52);
}

namespace detail {

// The polynomials, highest coefficient first, each evaluated as p = p * t + c from the
// first (polynomial() below); the lane versions of fused_math.hpp read the same tables.
// The fits are mpmath.chebyfit's at 50 digits on the ranges below, rounded to double.
//
// exp(r) = 1 + (r + r^2 p(r)), p(r) = (e^r - 1 - r) / r^2 on |r| <= ln2 / 2: exp's
// Taylor polynomial to 1/13!.
inline constexpr double kExpTaylor[12] = {1.0 / 6227020800.0, 1.0 / 479001600.0, 1.0 / 39916800.0,
                                          1.0 / 3628800.0,    1.0 / 362880.0,    1.0 / 40320.0,
                                          1.0 / 5040.0,       1.0 / 720.0,       1.0 / 120.0,
                                          1.0 / 24.0,         1.0 / 6.0,         0.5};
// pow's exp runs a table of 2^(j/16) instead (exp_table below): x = (16 m + j) ln2/16 + r
// with |r| <= ln2/32, and p(r) = (e^r - 1 - r) / r^2 the Chebyshev fit of degree 5 on
// that range (4.1e-20 relative to exp(r)), six coefficients where exp's Taylor takes
// twelve and a whole-range fit ten.
inline constexpr double kExpTableFit[6] = {0.00019841463826261545, 0.001388906347556763,
                                           0.008333333332991954,   0.04166666666359425,
                                           0.16666666666666669,    0.5000000000000001};
// 2^(j/16) rounded to double, j = 0, ..., 15, and the relative error of that rounding,
// (2^(j/16) - t_j) / t_j, so that exp_table's result carries the rounding of the sum
// alone (without the tails, x^0.7 loses half an ulp: 2.6 on [0.2, 5]).
inline constexpr double kExp2Sixteenths[16] = {1.0,
                                               1.0442737824274138,
                                               1.0905077326652577,
                                               1.1387886347566916,
                                               1.189207115002721,
                                               1.241857812073484,
                                               1.2968395546510096,
                                               1.3542555469368927,
                                               1.4142135623730951,
                                               1.4768261459394993,
                                               1.5422108254079407,
                                               1.6104903319492543,
                                               1.681792830507429,
                                               1.7562521603732995,
                                               1.8340080864093424,
                                               1.9152065613971474};
inline constexpr double kExp2SixteenthsTail[16] = {0.0,
                                                   8.189317638195515e-17,
                                                   -2.7939114859515733e-17,
                                                   7.826573258636076e-17,
                                                   3.3484623336251524e-17,
                                                   3.750854201303127e-17,
                                                   1.9572585293112036e-17,
                                                   5.68648095791174e-17,
                                                   -6.835808657661922e-17,
                                                   -2.3591094770850053e-17,
                                                   5.1548301170786783e-17,
                                                   1.5341410053603723e-17,
                                                   4.875160526227062e-17,
                                                   1.685487290628973e-17,
                                                   1.790126907604513e-17,
                                                   -5.545065618639427e-17};
// ln2/16 split as LN2_HI and LN2_LO are, its high part of 32 significant bits so that
// k * LN2_16_HI is exact for every |k| < 2^21 (exp's range needs |k| <= 17 200).
inline constexpr double LN2_16_HI = 0.04332169877307024;
inline constexpr double LN2_16_LO = 1.1926343307941173e-11;
inline constexpr double INV_LN2_16 = 23.083120654223414;
// log m = 2s + 2s z p(z), z = s^2 <= 0.02944, p(z) = (atanh(s) / s - 1) / z: log's odd
// series to s^23, and pow's Chebyshev fit of degree 6 in z (error 1.6e-16 in p, 1.4e-17
// relative to log m), four steps shorter (also Box-Muller's, fused_math.hpp).
inline constexpr double kLogTaylor[11] = {1.0 / 23.0, 1.0 / 21.0, 1.0 / 19.0, 1.0 / 17.0,
                                          1.0 / 15.0, 1.0 / 13.0, 1.0 / 11.0, 1.0 / 9.0,
                                          1.0 / 7.0,  1.0 / 5.0,  1.0 / 3.0};
inline constexpr double kLogFit[7] = {0.07308224910391238, 0.07665860794787153, 0.0909144456279605,
                                      0.11111105567395273, 0.14285714312987757, 0.19999999999949752,
                                      0.3333333333333335};

template <std::size_t N>
QUARNEL_FIXED_INLINE double polynomial(const double (&c)[N], double t) noexcept {
    double p = c[0];
    // Written out, the coefficients immediate operands (the bits are the same either way).
#if defined(__clang__)
#pragma clang loop unroll(full)
#elif defined(__GNUC__)
#pragma GCC unroll 16
#endif
    for (std::size_t i = 1; i < N; ++i) p = p * t + c[i];
    return p;
}

// x = k c + r for the integer k nearest x / c, c = c_hi + c_lo with k c_hi exact
// (Cody-Waite). k without the rounding mode's library functions: adding 1.5 * 2^52
// leaves the integer in the low bits.
struct Reduction {
    std::int64_t k;
    double r;
};
QUARNEL_FIXED_INLINE Reduction reduce(double x, double inv_c, double c_hi, double c_lo) noexcept {
    constexpr double shifter = 6755399441055744.0;
    const double kd = (x * inv_c + shifter) - shifter;
    return {static_cast<std::int64_t>(kd), (x - kd * c_hi) - kd * c_lo};
}

// exp(x) with the polynomial `poly`. x = k ln2 + r with |r| <= ln2 / 2 (Cody-Waite), then
// the scaling by 2^k in one or two exact steps (two when the result is subnormal or 2^k
// alone would overflow).
template <std::size_t N>
QUARNEL_FIXED_INLINE double exp_with(const double (&poly)[N], double x) noexcept {
    if (x != x) return x;
    if (x > EXP_OVERFLOW) return std::numeric_limits<double>::infinity();
    if (x < EXP_UNDERFLOW) return 0.0;
    const auto [k, r] = reduce(x, INV_LN2, LN2_HI, LN2_LO);
    const double p = polynomial(poly, r) * r * r + r;  // the leading term kept exact
    const double e = 1.0 + p;
    if (k >= -1021 && k <= 1023) return e * pow2_normal(k);
    // Extreme k: two exact power-of-two steps, the last one rounding once.
    const std::int64_t half = k / 2;
    return (e * pow2_normal(half)) * pow2_normal(k - half);
}

// log(x) with the polynomial `poly`. x = 2^e m with m in [sqrt(1/2), sqrt(2)),
// log m = 2 atanh(s) with s = (m - 1) / (m + 1), |s| < 0.1716.
template <std::size_t N>
QUARNEL_FIXED_INLINE double log_with(const double (&poly)[N], double x) noexcept {
    if (x != x) return x;
    if (x < 0.0) return std::numeric_limits<double>::quiet_NaN();
    if (x == 0.0) return -std::numeric_limits<double>::infinity();
    if (x == std::numeric_limits<double>::infinity()) return x;
    std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    std::int64_t e = 0;
    if ((bits >> 52) == 0) {  // subnormal: scale into the normal range exactly
        bits = std::bit_cast<std::uint64_t>(x * 18014398509481984.0);  // 2^54
        e = -54;
    }
    e += static_cast<std::int64_t>(bits >> 52) - 1023;
    double m = std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFULL) | 0x3FF0000000000000ULL);
    if (m > 1.4142135623730951) {
        m = m * 0.5;
        e += 1;
    }
    const double f = m - 1.0;  // exact (Sterbenz)
    const double s = f / (2.0 + f);
    const double s2 = s * s;
    const double p = polynomial(poly, s2);
    // log m = 2s + 2s s^2 p: the correction added to the leading term last.
    const double two_s = 2.0 * s;
    const double log_m = two_s + two_s * (s2 * p);
    const auto ed = static_cast<double>(e);
    return ed * LN2_HI + (log_m + ed * LN2_LO);
}

// exp(x) by the table of 2^(j/16): k = 16 m + j the integer nearest x 16/ln2, r = x -
// k ln2/16, exp(x) = 2^m 2^(j/16) e^r. 2^m t_j is one exact step on the bits (m added
// to the table entry's exponent) where the product is normal, and the result is
// s + s ((r + r^2 p(r)) + tail_j), 2^(j/16) = t_j (1 + tail_j) to 2^-106.
QUARNEL_FIXED_INLINE double exp_table(double x) noexcept {
    if (x != x) return x;
    if (x > EXP_OVERFLOW) return std::numeric_limits<double>::infinity();
    if (x < EXP_UNDERFLOW) return 0.0;
    const auto [k, r] = reduce(x, INV_LN2_16, LN2_16_HI, LN2_16_LO);
    const std::int64_t j = k & 15;
    const double p = (polynomial(kExpTableFit, r) * r * r + r) + kExp2SixteenthsTail[j];
    const std::int64_t m = (k - j) / 16;  // floor(k / 16), exactly
    const double t = kExp2Sixteenths[j];
    if (m >= -1022 && m <= 1023) {
        // The bits of t (in [1, 2)) with m added to the exponent, written as the lanes
        // do: (k - j) << 48 is m << 52 in unsigned words.
        const double s = std::bit_cast<double>(std::bit_cast<std::uint64_t>(t) +
                                               (static_cast<std::uint64_t>(k - j) << 48));
        return s + s * p;
    }
    // Extreme m: two exact power-of-two steps, the last one rounding once.
    const double e = t + t * p;
    const std::int64_t half = m / 2;
    return (e * pow2_normal(half)) * pow2_normal(m - half);
}

}  // namespace detail

// exp(x) and log(x), each within 2 ulp on the whole finite range.
QUARNEL_FIXED_INLINE double exp(double x) noexcept {
    return detail::exp_with(detail::kExpTaylor, x);
}
QUARNEL_FIXED_INLINE double log(double x) noexcept {
    return detail::log_with(detail::kLogTaylor, x);
}

// x^y for x > 0 as exp(y log x); x = 0 gives 0 for y > 0 and inf for y < 0, negative
// x NaN (the kernels raise only positive states to real powers).
QUARNEL_FIXED_INLINE double pow(double x, double y) noexcept {
    if (x == 0.0 && y == y) {
        if (y == 0.0) return 1.0;
        return y > 0.0 ? 0.0 : std::numeric_limits<double>::infinity();
    }
    return detail::exp_table(y * detail::log_with(detail::kLogFit, x));
}

}  // namespace quarnel::fixed
