// Simulate and estimate in one pass: the Euler scheme of a built-in model, its Brownian
// increments from the counter-based generator of philox.hpp, and the second-order
// tangent flow of second_order_tangent_flow.hpp on each path as it is simulated. Nothing
// is stored per step; a path leaves only its terminal state and its six kernel values.
//
// The contract that makes it testable: fused_simulate writes the batch of exactly the
// paths, increments and coefficient values that fused_price_and_greeks used, and
// price_and_greeks_tangent_flow on that batch gives the same Greeks bit for bit (vega
// there is the parallel bump s d/ds; here it is divided by s, the absolute-vol vega).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "core/greeks.hpp"
#include "core/greeks_payoffs.hpp"
#include "core/local_vol.hpp"
#include "core/matrix.hpp"
#include "core/path_batch.hpp"
#include "core/result.hpp"
#include "core/view.hpp"
#include "core/work_scope.hpp"
#include "quarnel/from_paths.hpp"

namespace quarnel {

// The built-in families, with `vol` the s that vega differentiates in (sigma is linear
// in it for all five):
//   gbm  dX = mu X dt + s X dW
//   abm  dX = mu dt + s dW
//   ou   dX = kappa (theta - X) dt + s dW
//   cev  dX = mu X dt + s X^beta dW, the Euler step reflected at 0: X' = |X + ...|
//   cir  dX = kappa (theta - X+) dt + s sqrt(X+) dW, X+ = max(X, 0) (full truncation)
// and the caller's own compiled coefficients:
//   callback  dX = mu(t, X) dt + sigma(t, X) dW, the plain Euler step, with
//   `coefficients(t_j, x, out)` writing mu, sigma, mu', sigma', mu'', sigma'' (x
//   derivatives) at t_j = j (T / N); vega is that of the bump sigma -> (1 + e) sigma
//   divided by `vol` (so d/d vol when sigma is linear in a vol of that value).
//   local_vol  dX = mu X dt + sigma(t, X) X dW on a surface of local_vol.hpp, the plain
//   Euler step; vega is that of the bump sigma -> (1 + e) sigma of the whole surface.
enum class FusedKind { gbm, abm, ou, cev, cir, callback, local_vol };

// A compiled coefficient function (a Numba cfunc, a C function): it must not keep
// state between calls, as the pool calls it from several threads at once.
using FusedCoefficients = void (*)(double t, double x, double* out);

struct FusedModel {
    FusedKind kind = FusedKind::gbm;
    double x0 = 0.0;
    double vol = 0.0;
    double mu = 0.0;                                 // gbm, abm, cev
    double kappa = 0.0;                              // ou, cir
    double theta = 0.0;                              // ou, cir
    double beta = 1.0;                               // cev
    FusedCoefficients coefficients = nullptr;        // callback
    std::shared_ptr<const LocalVolSurface> surface;  // local_vol, held for the call
};

// The model of a name and its parameters (a, b, c): gbm/abm/cev (mu, vol, beta), ou/cir
// (kappa, theta, vol), callback (the function's address, vol, unused), local_vol (the
// surface's handle, 1, mu). Every parameter
// finite, vol > 0, cev's x0 > 0, cir's x0 >= 0, an address a nonzero whole number.
Result<FusedModel> fused_model(std::string_view name, double x0, double a, double b, double c);

// The grid and generator of a fused call.
struct FusedGrid {
    std::size_t n_paths = 0;
    std::size_t n_steps = 0;
    double horizon = 0.0;
    std::uint64_t seed = 0;
    std::size_t first_path = 0;  // the counter of the grid's first path
    // Antithetic pairs: paths 2i and 2i + 1 (by counter) draw the normals of counter i,
    // the second negated.
    bool antithetic = false;
};

// Checked counts and horizon: n_paths >= 1 (below 2^48 with first_path), 1 <= n_steps <=
// 2^32, horizon finite and positive.
Result<FusedGrid> fused_grid(double n_paths, double n_steps, double horizon, double seed_lo,
                             double seed_hi, double first_path);

// The standard normals z[k, j] of paths first_path + k, steps j: an (n_paths, n_steps)
// matrix (the increments are sqrt(T / N) z).
Result<Matrix> fused_normals(const FusedGrid& grid);

// The batch of the fused call, one (n_paths, 7 n_steps + 1) matrix: states (n_steps + 1
// columns), then dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2 (n_steps each).
Result<Matrix> fused_simulate(const FusedModel& model, const FusedGrid& grid);

// Price and delta with the first-order weight of price_and_delta_tangent_flow (one
// division a step instead of four), equal to it on the simulated batch bit for bit.
Result<PriceDelta> fused_price_and_delta(const FusedModel& model, const FusedGrid& grid,
                                         std::string_view payoff, double strike,
                                         std::optional<double> rate, const WorkScope& scope);

// The sum of X_N over the grid's paths, simulated without tangents on the pool: the
// cost of the normals and the coefficients, against which the benchmark measures the
// fused calls.
double fused_state_sum(const FusedModel& model, const FusedGrid& grid, const WorkScope& scope);

// The estimate's arguments, checked as price_and_greeks_tangent_flow checks them.
// Whether `pairs` asks for antithetic pairs: None, or "adjacent" with n_paths even.
Result<bool> fused_antithetic(std::optional<std::string_view> pairs, std::size_t n_paths);

// `pairs` is None or "adjacent" (antithetic pairs of adjacent paths, n_paths even).
struct FusedGreeksCall {
    GreekPayoff payoff;
    Estimator estimator;
    bool antithetic;
};
Result<FusedGreeksCall> check_fused_greeks(
    std::string_view payoff, double strike, std::string_view estimator,
    std::optional<double> half_width, std::optional<double> rate, std::optional<double> strike2,
    std::optional<std::string_view> pairs, std::size_t n_paths);

// The kernel rows of the grid's paths (counters first_path on), in path order: X_N, the
// delta and gamma weights, Y_N, H_N, V_N and the vega weight of the parallel bump, as
// _greek_rows_tangent_flow gives them for the simulated batch; the Dask estimate's chunks.
Result<Matrix> fused_greek_rows(const FusedModel& model, const FusedGrid& grid,
                                const WorkScope& scope);

// Price, delta, gamma and vega (d/ds) of a built-in payoff (the payoffs, strike2 and
// estimators of price_and_greeks_tangent_flow, checked as there); with `rate` every
// value and error times exp(-rate T); with antithetic pairs (grid.antithetic is set
// from `pairs`) every estimate is the mean of the pairs' means and its error theirs.
Result<Greeks> fused_price_and_greeks(const FusedModel& model, const FusedGrid& grid,
                                      std::string_view payoff, double strike,
                                      std::string_view estimator, std::optional<double> half_width,
                                      std::optional<double> rate, std::optional<double> strike2,
                                      std::optional<std::string_view> pairs,
                                      const WorkScope& scope);

namespace detail {

// What a fused kernel writes per path: X_N, then the kernel row of kind `all` (delta
// weight, gamma weight, Y_N, H_N, V_N, the parallel-bump weight).
inline constexpr std::size_t kFusedColumns = 7;
// The row kinds: 0 the above, 1 X_N and the first-order delta weight of
// tangent_flow.hpp, 2 X_N alone (simulation without tangents: the compute limit).
inline constexpr std::size_t kDeltaColumns = 2;
inline constexpr int kRowsGreeks = 0, kRowsDelta = 1, kRowsState = 2;

// Paths [first, first + count) of the grid (counted from grid.first_path) into out, row
// k at out + k * kFusedColumns; on a zero sigma, the first in path-then-step order.
using FusedRowsFn = std::optional<ZeroSigma> (*)(int kind, const FusedModel&, const FusedGrid&,
                                                 std::size_t, std::size_t, double*) noexcept;
// The same paths' batch fields into the matrix of fused_simulate (row stride `ld`).
using FusedFieldsFn = void (*)(const FusedModel&, const FusedGrid&, std::size_t, std::size_t,
                               double*, std::size_t) noexcept;

// The widths built: 1 (portable), 2 (baseline vectors), 4 (AVX2), 8 (AVX-512); null
// where not built or the CPU lacks it. fused_rows_at(0) is the widest available.
FusedRowsFn fused_rows_at(int width) noexcept;
FusedFieldsFn fused_fields_at(int width) noexcept;
int fused_width() noexcept;

}  // namespace detail

}  // namespace quarnel
