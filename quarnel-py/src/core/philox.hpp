// The counter-based generator of the fused estimators: Philox4x32-10 (Salmon, Moraes,
// Dror and Shaw, "Parallel random numbers: as easy as 1, 2, 3", SC 2011) and Box-Muller
// normals from its output, so that the Brownian increment of (path, step) is a function
// of (seed, path, step) alone: no stream to split, no state to carry between threads,
// blocks or Dask tasks.
//
// Layout, which the NumPy reference in tests/test_fused.py repeats:
//   key     = (seed mod 2^32, seed >> 32)
//   counter = (path mod 2^32, path >> 32, step / 2, 0)
//   output  = (r0, r1, r2, r3);  a = r0 + 2^32 r1,  b = r2 + 2^32 r3
//   u1 = 2 - (1 + (a >> 12) 2^-52)  in (0, 1]   (never 0: the log below is finite)
//   u2 = (1 + (b >> 12) 2^-52) - 1  in [0, 1)
//   z  = sqrt(-2 log u1) * (cos 2 pi u2 for an even step, sin 2 pi u2 for an odd one)
// with the library's own log (pow's, fixed_math.hpp) and the sine and cosine of
// fused_math.hpp, so the normals
// are the same bits on every platform.
//
// Every function is a template over the word type U (std::uint64_t, or a vector of them
// holding one path per lane): each lane performs exactly the scalar operations. The
// 32-bit words live in the low halves of 64-bit lanes, so the 32 x 32 -> 64 products of
// a round are one multiply each.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__) || defined(__AVX2__) || defined(__AVX512F__)
#include <immintrin.h>
#endif

#if defined(__GNUC__)
#define QUARNEL_PHILOX_INLINE [[gnu::always_inline]] inline
#else
#define QUARNEL_PHILOX_INLINE inline
#endif

#ifndef QUARNEL_FUSED_ISA
#define QUARNEL_FUSED_ISA portable
#endif

// Inside a namespace named after the instruction set of the file that includes it, so
// that the copies compiled for different vector widths can never be merged by the linker.
namespace quarnel::philox {
inline namespace QUARNEL_FUSED_ISA {

inline constexpr std::uint64_t kM0 = 0xD2511F53u;
inline constexpr std::uint64_t kM1 = 0xCD9E8D57u;
inline constexpr std::uint64_t kW0 = 0x9E3779B9u;  // the key schedule's Weyl increments
inline constexpr std::uint64_t kW1 = 0xBB67AE85u;
inline constexpr std::uint64_t kLow32 = 0xFFFFFFFFu;

template <class U>
struct Words {
    U c0, c1, c2, c3;
};

// The ten round keys of a seed, the same for every lane.
struct Key {
    std::uint64_t k0[10], k1[10];
    constexpr explicit Key(std::uint64_t seed) noexcept : k0{}, k1{} {
        std::uint64_t a = seed & kLow32, b = seed >> 32;
        for (int r = 0; r < 10; ++r) {
            k0[r] = a;
            k1[r] = b;
            a = (a + kW0) & kLow32;
            b = (b + kW1) & kLow32;
        }
    }
};

// lo32(a) * m for a constant m < 2^32: one unsigned 32 x 32 -> 64 multiply per lane
// where the instruction set has it (GCC would otherwise use a full 64-bit multiply).
// Vectors of several registers are done register by register.
#if defined(__AVX512F__)
using NativeWords = __m512i;
// The zero-masked form: GCC 12 warns about the undefined pass-through of the plain one.
QUARNEL_PHILOX_INLINE NativeWords mul_native(NativeWords a, NativeWords m) noexcept {
    return _mm512_maskz_mul_epu32(0xFF, a, m);
}
#elif defined(__AVX2__)
using NativeWords = __m256i;
QUARNEL_PHILOX_INLINE NativeWords mul_native(NativeWords a, NativeWords m) noexcept {
    return _mm256_mul_epu32(a, m);
}
#elif defined(__SSE2__)
using NativeWords = __m128i;
QUARNEL_PHILOX_INLINE NativeWords mul_native(NativeWords a, NativeWords m) noexcept {
    return _mm_mul_epu32(a, m);
}
#endif

template <class U>
QUARNEL_PHILOX_INLINE U mul_low32(U a, std::uint64_t m) noexcept {
#if defined(__AVX512F__) || defined(__AVX2__) || defined(__SSE2__)
    if constexpr (sizeof(U) >= sizeof(NativeWords) && sizeof(U) % sizeof(NativeWords) == 0) {
        constexpr std::size_t kParts = sizeof(U) / sizeof(NativeWords);
        struct Parts {
            NativeWords p[kParts];
        };
        Parts x = std::bit_cast<Parts>(a);
        const Parts mv = std::bit_cast<Parts>((a - a) + m);
        for (std::size_t i = 0; i < kParts; ++i) x.p[i] = mul_native(x.p[i], mv.p[i]);
        return std::bit_cast<U>(x);
    }
#endif
    return (a & kLow32) * m;
}

// The counter of (path, pair), the ten rounds' one round, and the two 64-bit words
// (a, b) of the output.
template <class U>
QUARNEL_PHILOX_INLINE Words<U> counter(U path, std::uint64_t pair) noexcept {
    const U zero = path - path;
    return {path & kLow32, path >> 32, zero + pair, zero};
}

template <class U>
QUARNEL_PHILOX_INLINE Words<U> one_round(const Words<U>& c, const Key& key, int r) noexcept {
    const U p0 = mul_low32(c.c0, kM0);
    const U p1 = mul_low32(c.c2, kM1);
    // The low words keep the products' high halves until the end: the multiplies read
    // only the low 32 bits of a word, and a high half's garbage only ever reaches other
    // high halves (xor, never a shift right).
    return {(p1 >> 32) ^ c.c1 ^ key.k0[r], p1, (p0 >> 32) ^ c.c3 ^ key.k1[r], p0};
}

template <class U>
QUARNEL_PHILOX_INLINE void output(const Words<U>& c, U& a, U& b) noexcept {
    a = (c.c0 & kLow32) | (c.c1 << 32);
    b = (c.c2 & kLow32) | (c.c3 << 32);
}

// The two 64-bit words (a, b) of the block of (path, pair) for the paths in `path`.
// A vector of several registers runs its rounds in groups of kLockstep registers, each
// round over the group's registers in turn: the group's independent chains interleave
// (a round's multiply, shift and xors wait on one another, and the vector scheduler
// holds too few instructions to overlap whole blocks by itself), and the group's words
// stay in registers (the rounds of all four registers of 32 lanes at once spilled).
// The rounds are written out, so that the words' rotation from round to round is a
// renaming, not register moves that take the units' slots. Integers: the same bits in
// any order.
inline constexpr std::size_t kLockstep = 4;

template <class U>
QUARNEL_PHILOX_INLINE void block(const Key& key, U path, std::uint64_t pair, U& a, U& b) noexcept {
#if (defined(__AVX512F__) || defined(__AVX2__) || defined(__SSE2__)) && defined(__GNUC__)
    if constexpr (sizeof(U) > sizeof(NativeWords) && sizeof(U) % sizeof(NativeWords) == 0) {
        typedef std::uint64_t Part __attribute__((vector_size(sizeof(NativeWords))));
        constexpr std::size_t kRegisters = sizeof(U) / sizeof(NativeWords);
        constexpr std::size_t kGroup = kRegisters < kLockstep ? kRegisters : kLockstep;
        static_assert(kRegisters % kGroup == 0);
        struct Parts {
            Part p[kRegisters];
        };
        const Parts in = std::bit_cast<Parts>(path);
        Parts pa, pb;
        for (std::size_t g = 0; g < kRegisters; g += kGroup) {
            Words<Part> c[kGroup];
            for (std::size_t i = 0; i < kGroup; ++i) c[i] = counter(in.p[g + i], pair);
#if defined(__clang__)
#pragma clang loop unroll(full)
#elif defined(__GNUC__)
#pragma GCC unroll 10
#endif
            for (int r = 0; r < 10; ++r) {
                for (std::size_t i = 0; i < kGroup; ++i) c[i] = one_round(c[i], key, r);
            }
            for (std::size_t i = 0; i < kGroup; ++i) output(c[i], pa.p[g + i], pb.p[g + i]);
        }
        a = std::bit_cast<U>(pa);
        b = std::bit_cast<U>(pb);
        return;
    }
#endif
    Words<U> c = counter(path, pair);
    for (int r = 0; r < 10; ++r) c = one_round(c, key, r);
    output(c, a, b);
}

}  // namespace QUARNEL_FUSED_ISA
}  // namespace quarnel::philox
