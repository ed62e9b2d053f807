// The fused Heston paths (heston.hpp): the increments drawn from the counter-based
// generator as each step needs them and fed to the step of heston_step.hpp, one path at
// a time, so that a path leaves only its raw row. heston_simulate writes the same
// increments, from the same products, for the stored-batch kernel.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "core/fused.hpp"
#include "core/fused_math.hpp"
#include "core/heston.hpp"
#include "core/heston_step.hpp"
#include "core/philox.hpp"
#include "core/pool.hpp"

namespace quarnel {

namespace {

using heston_step_detail::heston_finish;
using heston_step_detail::heston_start;
using heston_step_detail::heston_step;
using heston_step_detail::HestonConst;
using heston_step_detail::HestonState;

// Paths per pool item of heston_simulate.
constexpr std::size_t kItemPaths = 512;

// The increments (dB_j, dZ_j) of one path's step j: the Box-Muller pair of Philox block
// j, each times sqrt(dt), the same two products wherever the increments are used.
QUARNEL_LANES_INLINE void increments_at(const philox::Key& key, std::uint64_t path,
                                        std::size_t step, double sqrt_dt, double& db,
                                        double& dz) noexcept {
    double z_even = 0.0, z_odd = 0.0;
    fused::normal_pair<1>(key, path, step, z_even, z_odd);
    db = sqrt_dt * z_even;
    dz = sqrt_dt * z_odd;
}

}  // namespace

void heston_fused_raw_rows(const HestonBatch& b, std::uint64_t seed, std::size_t first,
                           std::size_t count, double* out) noexcept {
    const philox::Key key(seed);
    const HestonModel& m = b.model;
    // As the lane driver's at_step gives them (heston.cpp).
    const HestonConst c{m.v0, b.dt, m.kappa, m.theta, m.xi, m.kappa * b.dt};
    const double sqrt_dt = std::sqrt(b.dt);
    for (std::size_t p = 0; p < count; ++p) {
        const std::uint64_t path = first + p;
        HestonState<double> st = heston_start(0.0);
        for (std::size_t j = 0; j < b.n_steps; ++j) {
            double db = 0.0, dz = 0.0;
            increments_at(key, path, j, sqrt_dt, db, dz);
            heston_step(st, db, dz, c);
        }
        heston_finish(st, out + p * kHestonRawColumns);
    }
}

Result<HestonIncrementMatrices> heston_simulate(const HestonModel& model, const FusedGrid& grid,
                                                const WorkScope& scope) {
    Result<HestonBatch> checked = heston_batch_of(grid.n_paths, grid.n_steps, grid.horizon, model);
    if (!checked.ok()) return checked.error();
    const HestonBatch& b = checked.value();
    const std::size_t n = b.n_paths, steps = b.n_steps;
    if (steps > std::numeric_limits<std::size_t>::max() / sizeof(double) / 2 / n) {
        return ModelError{"the increments of " + std::to_string(n) + " paths x " +
                          std::to_string(steps) + " steps do not fit in memory"};
    }
    HestonIncrementMatrices out{Matrix::allocate(n, steps), Matrix::allocate(n, steps)};
    const double sqrt_dt = std::sqrt(b.dt);
    const philox::Key key(grid.seed);
    const std::uint64_t first_path = grid.first_path;
    auto work = [&] {
        const std::size_t items = (n + kItemPaths - 1) / kItemPaths;
        WorkerPool::global().run(
            items,
            [&](std::size_t i) noexcept {
                const std::size_t a = i * kItemPaths, end = std::min(n, a + kItemPaths);
                for (std::size_t k = a; k < end; ++k) {
                    double* db = out.dw_v.row(k);
                    double* dz = out.dw_perp.row(k);
                    for (std::size_t j = 0; j < steps; ++j) {
                        increments_at(key, first_path + k, j, sqrt_dt, db[j], dz[j]);
                    }
                }
            },
            n * steps * 4);
    };
    scope(work);
    return out;
}

}  // namespace quarnel
