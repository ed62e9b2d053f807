// The interleaved tangent-flow implementations must agree bit for bit with the
// one-path-at-a-time loop, zero-sigma reports included, for every layout.
#include <array>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "check.hpp"
#include "core/lanes.hpp"
#include "core/tangent_flow.hpp"
#include "fields.hpp"

using namespace quarnel;
using namespace fixtures;

namespace {

using Impl = std::optional<ZeroSigma> (*)(const TangentFlowBatch&, std::size_t, std::size_t,
                                          double*) noexcept;

// Layouts of dws, sigma, d_mu_dx and d_sigma_dx.
using Layouts = std::array<Layout, 4>;

void compare_all(std::mt19937_64& rng, std::size_t n, std::size_t m, Layouts layouts,
                 double p_special, double p_zero) {
    std::uniform_real_distribution<double> u(-2.0, 2.0), coin(0.0, 1.0);
    const double specials[] = {std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(),
                               -0.0,
                               5e-324,
                               1e300,
                               -1e-300};
    auto value = [&] {
        if (coin(rng) < p_special) return specials[rng() % 7];
        return u(rng);
    };
    auto sigma_value = [&] {
        if (coin(rng) < p_zero) return (rng() & 1) ? 0.0 : -0.0;
        return value();
    };
    Field dws = make(n, m, layouts[0], value), sig = make(n, m, layouts[1], sigma_value),
          mu = make(n, m, layouts[2], value), ds = make(n, m, layouts[3], value);
    const TangentFlowBatch batch =
        make_batch(dws.view, {.sigma = sig.view, .d_mu_dx = mu.view, .d_sigma_dx = ds.view},
                   BatchShape{n, m}, 0.75);

    std::vector<double> expected(n, -1.0);
    const auto want = detail::weights_one_by_one(batch, 0, n, expected.data());
    std::vector<Impl> impls{detail::weights_baseline};
#if QUARNEL_TANGENT_FLOW_AVX2
    if (detail::cpu_has_avx2()) impls.push_back(detail::weights_avx2);
#endif
    for (Impl impl : impls) {
        std::vector<double> got(n, -1.0);
        const auto zero = impl(batch, 0, n, got.data());
        CHECK(zero.has_value() == want.has_value());
        if (zero && want) CHECK(zero->path == want->path && zero->step == want->step);
        if (!want) {
            for (std::size_t k = 0; k < n; ++k) CHECK(same(got[k], expected[k]));
        }
        // Any sub-range gives the same weights as the whole batch.
        if (!want && n > 3) {
            std::vector<double> part(n - 3);
            CHECK(!impl(batch, 3, n - 3, part.data()));
            for (std::size_t k = 3; k < n; ++k) CHECK(same(part[k - 3], expected[k]));
        }
    }
}

void compare_all(std::mt19937_64& rng, std::size_t n, std::size_t m, bool fortran, double p_special,
                 double p_zero) {
    const Layout l = fortran ? Layout::fortran : Layout::c;
    compare_all(rng, n, m, Layouts{l, l, l, l}, p_special, p_zero);
}

}  // namespace

TEST_CASE("interleaved weights equal the scalar loop bit for bit") {
    std::mt19937_64 rng(20261208);
    for (bool fortran : {false, true}) {
        for (std::size_t n : {1u, 3u, 4u, 5u, 8u, 13u, 64u}) {
            for (std::size_t m : {1u, 2u, 7u, 33u}) compare_all(rng, n, m, fortran, 0.05, 0.0);
        }
        // Rows of 512 and 2048 bytes: the lane runs are shortened to keep the streams
        // apart in the page, and the rows left over go through adjacent-row blocks.
        for (auto [n, m] :
             {std::pair<std::size_t, std::size_t>{32, 64}, {35, 64}, {130, 64}, {203, 256}}) {
            compare_all(rng, n, m, fortran, 0.05, 0.0);
        }
    }
}

TEST_CASE("every mix of layouts, across several tiles of adjacent paths") {
    // Lanes on adjacent paths when most matrices have them adjacent, on runs of rows
    // otherwise; more paths than a tile holds, with remainders for the register blocks
    // and the one-path loop.
    using L = Layout;
    const Layouts mixes[] = {
        {L::fortran, L::fortran, L::broadcast, L::fortran},
        {L::reversed, L::gapped, L::fortran, L::broadcast},
        {L::c, L::fortran, L::fortran, L::c},
        {L::fortran, L::c, L::c, L::broadcast},
        {L::gapped, L::reversed, L::broadcast, L::c},
        {L::broadcast, L::fortran, L::broadcast, L::broadcast},
    };
    std::mt19937_64 rng(99);
    constexpr std::size_t t = kTilePaths;
    for (const Layouts& mix : mixes) {
        // No special values: among thousands, one would be a -0.0 sigma.
        for (std::size_t n : {std::size_t{9}, t + 7, t + 14}) compare_all(rng, n, 5, mix, 0.0, 0.0);
        // Over 4 MiB of input: the kernels that prefetch.
        compare_all(rng, 2 * t + 13, 17, mix, 0.0, 0.0);
    }
}

TEST_CASE("the first zero sigma in path-then-step order is reported") {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 200; ++round) {
        compare_all(rng, 1 + rng() % 23, 1 + rng() % 9, rng() & 1, 0.02, 0.01);
    }
}

TEST_CASE("a late zero in an early path wins over an early zero in a later path") {
    const std::size_t n = 4, m = 6;
    std::vector<double> one(n * m, 1.0), sigma(n * m, 0.5);
    sigma[0 * m + 5] = 0.0;  // path 0, last step
    sigma[2 * m + 0] = 0.0;  // path 2, first step
    auto view = [&](std::vector<double>& v) {
        return View2D{reinterpret_cast<const std::byte*>(v.data()), n, m,
                      static_cast<std::ptrdiff_t>(m * sizeof(double)), sizeof(double)};
    };
    const TangentFlowBatch batch =
        make_batch(view(one), {.sigma = view(sigma), .d_mu_dx = view(one), .d_sigma_dx = view(one)},
                   BatchShape{n, m}, 1.0);
    std::vector<double> out(n);
    const auto zero = tangent_flow_weights(batch, 0, n, out.data());
    CHECK(zero && zero->path == 0 && zero->step == 5);
}

TEST_CASE("a zero sigma past the first tile of adjacent paths is found in order") {
    // Column-major: step j of path i at j * n + i.
    const std::size_t n = kTilePaths + 600, m = 6, k = kTilePaths + 300;
    std::vector<double> one(n * m, 1.0), sigma(n * m, 0.5);
    sigma[5 * n + k] = 0.0;      // path k, last step
    sigma[0 * n + k + 1] = 0.0;  // path k + 1, first step
    sigma[0 * n + k + 250] = 0.0;
    auto view = [&](std::vector<double>& v) {
        return View2D{reinterpret_cast<const std::byte*>(v.data()), n, m, sizeof(double),
                      static_cast<std::ptrdiff_t>(n * sizeof(double))};
    };
    const TangentFlowBatch batch =
        make_batch(view(one), {.sigma = view(sigma), .d_mu_dx = view(one), .d_sigma_dx = view(one)},
                   BatchShape{n, m}, 1.0);
    std::vector<double> out(n);
    const auto zero = tangent_flow_weights(batch, 0, n, out.data());
    CHECK(zero && zero->path == k && zero->step == 5);
    const auto later = tangent_flow_weights(batch, k + 1, n - k - 1, out.data());
    CHECK(later && later->path == k + 1 && later->step == 0);
}

QTEST_MAIN
