// The Heston forward pass: lanes, AVX2 and the pool give the one-path loop's bits in
// every layout, and the scheme's values where it has closed ones.
#include <cmath>
#include <random>
#include <vector>

#include "check.hpp"
#include "core/heston.hpp"
#include "core/pool.hpp"
#include "fields.hpp"

using namespace quarnel;
using namespace fixtures;

namespace {

// Increments of size sqrt(dt), with a large vol of vol so that the variance is truncated
// on many steps (both branches of every select run).
struct Batch {
    Field db, dz;
    HestonBatch b;
    Batch(std::mt19937_64& rng, std::size_t n, std::size_t m, Layout layout) {
        std::normal_distribution<double> z(0.0, std::sqrt(1.0 / static_cast<double>(m)));
        db = make(n, m, layout, [&] { return z(rng); });
        dz = make(n, m, layout, [&] { return z(rng); });
        Result<HestonBatch> r =
            validate_heston({db.view, dz.view, 1.0}, {100.0, 0.04, 1.5, 0.05, 1.2, -0.6, 0.02});
        CHECK(r.ok());
        b = r.value();
    }
};

std::vector<double> rows(void (*impl)(const HestonBatch&, std::size_t, std::size_t,
                                      double*) noexcept,
                         const HestonBatch& b) {
    std::vector<double> out(b.n_paths * kHestonRawColumns, -1.0);
    impl(b, 0, b.n_paths, out.data());
    return out;
}

}  // namespace

TEST_CASE("every implementation and thread count gives the one-path bits") {
    std::mt19937_64 rng(7);
    for (Layout layout : {Layout::c, Layout::fortran, Layout::reversed, Layout::gapped}) {
        for (std::size_t n : {1u, 3u, 8u, 37u, 300u}) {
            const Batch batch(rng, n, 9, layout);
            const std::vector<double> ref = rows(detail::heston_raw_one_by_one, batch.b);
            CHECK(same(ref, rows(detail::heston_raw_baseline, batch.b)));
#if QUARNEL_TANGENT_FLOW_AVX2
            if (detail::cpu_has_avx2()) CHECK(same(ref, rows(detail::heston_raw_avx2, batch.b)));
            if (detail::cpu_has_avx512()) {
                CHECK(same(ref, rows(detail::heston_raw_avx512, batch.b)));
            }
#endif
            for (std::size_t threads : {1u, 2u, 3u, 5u}) {
                WorkerPool pool(threads);
                std::vector<double> par(ref.size(), -1.0);
                heston_raw_rows_parallel(batch.b, pool, 0, n, par.data());
                CHECK(same(ref, par));
            }
        }
    }
}

TEST_CASE("without vol of vol the variance is the Euler recursion's, and its tangents") {
    // xi = 0: v_j = theta + (v0 - theta) (1 - kappa dt)^j, deterministic and positive.
    std::mt19937_64 rng(3);
    Batch batch(rng, 4, 8, Layout::c);
    batch.b.model.xi = 0.0;
    const std::vector<double> r = rows(detail::heston_raw_one_by_one, batch.b);
    const HestonModel& m = batch.b.model;
    const double a = 1.0 - m.kappa * batch.b.dt;
    const double v_n = m.theta + (m.v0 - m.theta) * std::pow(a, 8.0);
    const HestonPath p = heston_path(batch.b, r.data());
    CHECK(std::fabs(p.v - v_n) < 1e-15);
    CHECK(std::fabs(p.dv[1] - std::pow(a, 8.0)) < 1e-15);          // dv_N/dv0
    CHECK(std::fabs(p.dv[3] - (1.0 - std::pow(a, 8.0))) < 1e-15);  // dv_N/dtheta
    CHECK(p.dv[0] == 0.0 && p.dv[5] == 0.0);                       // s0 and rho never move v
    CHECK(p.ds[0] == p.s / m.s0);
}

int main() { return qtest::run_all(); }
