// The lane arithmetic of the fused kernels: every lane the bits of the scalar function,
// special values included (the lanes hand those to it), and Box-Muller's sine and
// cosine accurate in absolute terms, which is what the normals need. Built twice on
// x86-64: in 4 portable lanes, and in 32 lanes with the AVX-512 kernels' flags (mask
// registers, the generator's register groups), which passes where the CPU lacks them.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>

#include "check.hpp"
#include "core/fused_math.hpp"

namespace {

namespace qf = quarnel::fused;

#ifndef QUARNEL_TEST_LANES
#define QUARNEL_TEST_LANES 4
#endif
constexpr int W = QUARNEL_TEST_LANES;
using U = qf::Lanes<W>::U;
using D = qf::Lanes<W>::D;

bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) ||
           (std::isnan(a) && std::isnan(b));
}

// Inputs that take every branch of fixed_math.hpp, mixed with ordinary ones in a vector.
const double kInputs[] = {0.0,
                          -0.0,
                          5e-324,
                          2.2250738585072014e-308,
                          1e-300,
                          0.5,
                          0.7,
                          1.0,
                          1.4142135623730951,
                          1.4142135623730954,
                          2.0,
                          3.5e10,
                          1e300,
                          std::numeric_limits<double>::infinity(),
                          -1.0,
                          std::numeric_limits<double>::quiet_NaN(),
                          706.9,
                          707.5,
                          -707.5,
                          709.7,
                          -745.0,
                          710.0};

template <class Lane, class Scalar>
bool lanes_match(Lane lane, Scalar scalar) {
    constexpr int n = sizeof(kInputs) / sizeof(kInputs[0]);
    for (int a = 0; a < n; ++a) {
        D x{};
        for (int w = 0; w < W; ++w) x[w] = kInputs[(a + 5 * w) % n];
        const D r = lane(x);
        for (int w = 0; w < W; ++w) {
            if (!same_bits(r[w], scalar(x[w]))) return false;
        }
    }
    return true;
}

}  // namespace

TEST_CASE("lane log, exp and pow are the scalar functions' bits") {
    CHECK(lanes_match([](D x) { return qf::log<W>(x); },
                      [](double x) { return quarnel::fixed::log(x); }));
    CHECK(lanes_match([](D x) { return qf::exp<W>(x); },
                      [](double x) { return quarnel::fixed::exp(x); }));
    for (double y : {0.7, -0.5, 2.0}) {
        CHECK(lanes_match([y](D x) { return qf::pow<W>(x, y); },
                          [y](double x) { return quarnel::fixed::pow(x, y); }));
    }
}

TEST_CASE("the generator's words and normals in lanes are each path's own") {
    const quarnel::philox::Key key(0x123456789ABCDEFULL);
    U paths{};
    for (int w = 0; w < W; ++w) paths[w] = (std::uint64_t{1} << 33) * static_cast<unsigned>(w) + 7;
    bool same = true;
    for (std::uint64_t pair : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{1} << 40}) {
        U a, b;
        quarnel::philox::block(key, paths, pair, a, b);
        D z0, z1;
        qf::normal_pair<W>(key, paths, pair, z0, z1);
        for (int w = 0; w < W; ++w) {
            std::uint64_t sa, sb;
            quarnel::philox::block(key, paths[w], pair, sa, sb);
            double s0, s1;
            qf::normal_pair<1>(key, paths[w], pair, s0, s1);
            same = same && a[w] == sa && b[w] == sb && same_bits(z0[w], s0) && same_bits(z1[w], s1);
        }
    }
    CHECK(same);
}

TEST_CASE("cos and sin of 2 pi u within 2^-52 of the truth") {
    std::mt19937_64 rng(3);
    double worst = 0.0;
    const long double two_pi = 6.283185307179586476925286766559L;
    for (int i = 0; i < 200000; ++i) {
        const double u = static_cast<double>(rng() >> 12) * 0x1p-52;
        double c, s;
        qf::cos_sin_2pi<1>(u, c, s);
        const long double a = two_pi * static_cast<long double>(u);
        worst = std::fmax(worst, static_cast<double>(std::fabs(c - std::cos(a))));
        worst = std::fmax(worst, static_cast<double>(std::fabs(s - std::sin(a))));
    }
    CHECK(worst <= 0x1p-52);
}

#if defined(QUARNEL_TEST_NEEDS_AVX512)
int main() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") == 0 || __builtin_cpu_supports("avx512dq") == 0) {
        std::puts("skipped: the CPU has no AVX-512");
        return 0;
    }
    return ::qtest::run_all();
}
#else
QTEST_MAIN
#endif
