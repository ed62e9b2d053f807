// The second-order kernels: interleaved lanes and the pool must give the one-path loop's
// bits, zero-sigma reports included, for every layout and output kind.
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "core/lanes.hpp"
#include "core/pool.hpp"
#include "core/second_order_tangent_flow.hpp"
#include "fields.hpp"

using namespace quarnel;
using namespace fixtures;

namespace {

// Ten random matrices (sigma with zeros at rate p_zero) and the batch over them.
struct Batch {
    std::vector<Field> fields;
    SecondOrderBatch b;
    Batch(std::mt19937_64& rng, std::size_t n, std::size_t m, bool fortran, double p_special,
          double p_zero) {
        std::uniform_real_distribution<double> u(-2.0, 2.0), coin(0.0, 1.0);
        const double specials[] = {std::numeric_limits<double>::quiet_NaN(),
                                   std::numeric_limits<double>::infinity(),
                                   -0.0,
                                   5e-324,
                                   1e300,
                                   -1e-300};
        auto value = [&] { return coin(rng) < p_special ? specials[rng() % 6] : u(rng); };
        auto sigma_value = [&] {
            if (coin(rng) < p_zero) return (rng() & 1) ? 0.0 : -0.0;
            const double v = value();
            return v == 0.0 ? 0.5 : v;
        };
        fields.push_back(make(n, m, fortran, sigma_value));
        for (int f = 1; f < 10; ++f) fields.push_back(make(n, m, fortran, value));
        b = make_second_order_batch(
            fields[1].view,
            {.sigma = fields[0].view, .d_mu_dx = fields[2].view, .d_sigma_dx = fields[3].view},
            {.d2_mu_dx2 = fields[4].view, .d2_sigma_dx2 = fields[5].view}, BatchShape{n, m}, 0.75);
        b.parameter = {.d_mu_dp = fields[6].view,
                       .d_sigma_dp = fields[7].view,
                       .d2_mu_dx_dp = fields[8].view,
                       .d2_sigma_dx_dp = fields[9].view};
    }
};

using Impl = std::optional<ZeroSigma> (*)(SecondOrderKind, const SecondOrderBatch&, std::size_t,
                                          std::size_t, double*) noexcept;

constexpr SecondOrderKind kKinds[] = {SecondOrderKind::greeks, SecondOrderKind::parameter,
                                      SecondOrderKind::all, SecondOrderKind::mixed};

void compare_all(std::mt19937_64& rng, std::size_t n, std::size_t m, bool fortran, double p_special,
                 double p_zero) {
    const Batch batch(rng, n, m, fortran, p_special, p_zero);
    std::vector<Impl> impls{detail::second_order_baseline};
#if QUARNEL_TANGENT_FLOW_AVX2
    if (detail::cpu_has_avx2()) impls.push_back(detail::second_order_avx2);
#endif
    for (SecondOrderKind kind : kKinds) {
        const std::size_t c = columns(kind);
        std::vector<double> expected(n * c, -1.0);
        const auto want = detail::second_order_one_by_one(kind, batch.b, 0, n, expected.data());
        for (Impl impl : impls) {
            std::vector<double> got(n * c, -1.0);
            const auto zero = impl(kind, batch.b, 0, n, got.data());
            CHECK(zero.has_value() == want.has_value());
            if (zero && want) CHECK(zero->path == want->path && zero->step == want->step);
            if (!want) CHECK(same(got, expected));
            if (!want && n > 3) {  // a sub-range gives the whole batch's rows
                std::vector<double> part((n - 3) * c);
                CHECK(!impl(kind, batch.b, 3, n - 3, part.data()));
                CHECK(same(part, std::vector<double>(expected.begin() + 3 * c, expected.end())));
            }
        }
    }
}

}  // namespace

TEST_CASE("interleaved second-order rows equal the one-path loop bit for bit") {
    std::mt19937_64 rng(20261208);
    for (bool fortran : {false, true}) {
        for (std::size_t n : {1u, 3u, 4u, 5u, 9u, 64u}) {
            for (std::size_t m : {1u, 2u, 7u}) compare_all(rng, n, m, fortran, 0.05, 0.0);
        }
        compare_all(rng, 203, 64, fortran, 0.02, 0.0);
        // Two tiles of adjacent paths (half the first-order tile) and a remainder, then
        // the same with more than kPrefetchFromBytes of the six greeks matrices, so the
        // prefetching kernels run too.
        const std::size_t n = 2 * (kTilePaths / 2) + 13;
        compare_all(rng, n, 5, fortran, 0.02, 0.0);
        compare_all(rng, n, kPrefetchFromBytes / (6 * sizeof(double) * n) + 1, fortran, 0.02, 0.0);
    }
}

TEST_CASE("second-order kernels report the first zero sigma in path-then-step order") {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 150; ++round) {
        compare_all(rng, 1 + rng() % 23, 1 + rng() % 9, rng() & 1, 0.02, 0.01);
    }
}

TEST_CASE("pooled second-order rows equal the serial rows for every pool size") {
    // Large enough for the pool to hand items to its workers.
    std::mt19937_64 rng(11);
    const std::size_t n = 2003, m = 30;
    const Batch batch(rng, n, m, false, 0.02, 0.0);
    for (SecondOrderKind kind : kKinds) {
        const std::size_t c = columns(kind);
        std::vector<double> serial(n * c);
        CHECK(!second_order_rows(kind, batch.b, 0, n, serial.data()));
        for (std::size_t threads : {1u, 2u, 3u, 8u}) {
            WorkerPool pool(threads);
            std::vector<double> got(n * c);
            CHECK(!second_order_rows_parallel(kind, batch.b, pool, got.data()));
            CHECK(same(got, serial));
        }
    }
}

TEST_CASE("the pool reports the zero sigma of the leftmost failing run") {
    std::mt19937_64 rng(3);
    Batch batch(rng, 12, 4, false, 0.0, 0.0);
    auto put_zero = [&](std::size_t k, std::size_t j) { batch.fields[0].data[k * 4 + j] = 0.0; };
    put_zero(10, 0);  // last run, first step
    put_zero(5, 3);   // middle run (3 threads: runs of 4 paths), last step
    WorkerPool pool(3);
    std::vector<double> out(std::size_t{12} * 4);
    const auto zero =
        second_order_rows_parallel(SecondOrderKind::greeks, batch.b, pool, out.data());
    CHECK(zero && zero->path == 5 && zero->step == 3);
}

TEST_CASE("a result too large to count in bytes is an error, not a wrapped allocation") {
    static const double zero = 0.0;
    const std::size_t n = std::size_t{1} << 61;  // 4 columns of 8 bytes: 2^66 bytes
    const View2D states{reinterpret_cast<const std::byte*>(&zero), n, 2, 0, 0};
    const View2D m{reinterpret_cast<const std::byte*>(&zero), n, 1, 0, 0};
    const PathArrays paths{.states = states, .dws = m, .horizon = 1.0};
    const FirstOrderFields first{.sigma = m, .d_mu_dx = m, .d_sigma_dx = m};
    const SecondOrderFields second{.d2_mu_dx2 = m, .d2_sigma_dx2 = m};
    const auto r = greek_weights_tangent_flow({.paths = paths, .first = first, .second = second});
    CHECK(!r.ok() &&
          r.error().message == "states has too many rows: the result would not fit in memory");
    const auto q = parameter_weights_tangent_flow(
        {.paths = paths,
         .first = first,
         .second = second,
         .parameter = {.d_mu_dp = m, .d_sigma_dp = m, .d2_mu_dx_dp = m, .d2_sigma_dx_dp = m}});
    CHECK(!q.ok());
}

QTEST_MAIN
