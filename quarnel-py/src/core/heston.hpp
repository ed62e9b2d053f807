// The Heston model on the caller's Brownian increments: the scheme, its tangent flow in
// one forward pass, and the per-path weights of every Greek, exact for the scheme.
//
//   dS = mu S dt + sqrt(v) S (rho dB + sqrt(1 - rho^2) dZ),
//   dv = kappa (theta - v) dt + xi sqrt(v) dB,
//
// with B and Z independent; the caller passes their increments dB_j and dZ_j on a
// uniform grid of N steps, dt = T / N. The scheme is full-truncation Euler on v and
// log-Euler on S, with v+ = max(v, 0) and s_j = sqrt(v_j+):
//
//   v_j       = v0 + D_j,  D_{j+1} = D_j + ((kappa * (theta - v_j+)) * dt + (xi * s_j) * dB_j)
//   ln S_N    = ln S0 + mu T - (dt / 2) Q + rho R + c G,    c = sqrt(1 - rho^2),
//   Q = sum v_j+,  R = sum s_j dB_j,  G = sum s_j dZ_j   (j = 0 .. N-1, left to right).
//
// (v is carried as its distance D from v0: every lane of the lane driver starts from
// zeros.) Each product is rounded on its own, no fused multiply-add, sums in the order
// written; heston.cpp's step is the one place the operation order is spelt out.
//
// Log-Euler because, given the path of B, ln S_N is then exactly Gaussian in the dZ_j,
// with variance Sigma = (1 - rho^2) dt Q >= (1 - rho^2) dt v0 > 0. Integration by parts
// along Z is then the Gaussian score of that conditional law: with g = c G,
// z1 = g / Sigma and z2 = z1^2 - 1 / Sigma, a parameter p that moves the conditional
// mean by A_p and the variance by Sigma_p has the weight A_p z1 + (Sigma_p / 2) z2. The
// weights never divide by a single s_j, so a variance truncated to zero on some steps
// is harmless, and they are exact for the scheme at every N (no O(dt) difference from
// the derivative of the simulated price).
//
// The tangent of v in a parameter p, T_p = dv/dp (T_{v0,0} = 1, the others 0), follows
// the same truncation: with q_j = 1{v_j > 0} and h_j = q_j / (2 s_j) (0 where truncated),
// the step's factor a_j = (1 - (kappa dt) q_j) + (xi dB_j) h_j and
//   T_p <- T_p a_j + src_p,
// src_v0 = 0 (no addition), src_kappa = (theta - v_j+) dt, src_theta = kappa dt,
// src_xi = s_j dB_j,
// and the sums Q, R, G are differentiated term by term: Q_p = sum q_j T_p,
// R_p = sum (h_j T_p) dB_j, G_p = sum (h_j T_p) dZ_j. Rho moves only S: A_rho = R,
// Sigma_rho = -2 rho dt Q, d(cG)/drho = -(rho / c) G.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/greeks.hpp"
#include "core/matrix.hpp"
#include "core/path_batch.hpp"
#include "core/result.hpp"
#include "core/tangent_flow.hpp"
#include "core/view.hpp"
#include "core/work_scope.hpp"

namespace quarnel {

// The model's inputs as the caller passes them.
struct HestonModel {
    double s0, v0, kappa, theta, xi, rho, mu;
};

// The caller's increments: dB (drives the variance) and dZ (independent of it), each
// (n_paths, n_steps), over a grid of horizon T.
struct HestonIncrements {
    View2D dw_v, dw_perp;
    double horizon = 0.0;
};

// A checked batch and its per-call constants.
struct HestonBatch {
    View2D dw_v, dw_perp;
    HestonModel model;
    std::size_t n_paths = 0;
    std::size_t n_steps = 0;
    double horizon = 0.0;
    double dt = 0.0;  // T / N
};

// A float as repr() writes it (the shortest text that reads back), for messages.
std::string heston_float_text(double x);

// The checks, in order: dw_v has at least one column, dw_perp its exact shape, then
// horizon, s0, v0, kappa, theta, xi, rho, mu (each finite; s0, v0 positive; kappa,
// theta, xi non-negative; |rho| < 1).
Result<HestonBatch> validate_heston(const HestonIncrements& paths, const HestonModel& model);

// The checks of validate_heston after the shapes (horizon, then the model), for a batch
// of that shape whose increments are not stored (the fused call's): its views are empty.
Result<HestonBatch> heston_batch_of(std::size_t n_paths, std::size_t n_steps, double horizon,
                                    const HestonModel& model);

// The raw sums of one path after its N steps, what the forward pass carries: v_N, Q, R,
// G, then for p in (v0, kappa, theta, xi) the four values T_p, Q_p, R_p, G_p.
inline constexpr std::size_t kHestonRawColumns = 20;

// Raw rows of paths [first, first + count) into out (row p at out + p * 20). Touches
// nothing shared: may run on any thread without the interpreter lock.
void heston_raw_rows(const HestonBatch& batch, std::size_t first, std::size_t count,
                     double* out) noexcept;

namespace detail {
// The implementations behind heston_raw_rows, for the tests that check they agree bit
// for bit: one path at a time, 2-lane vectors, and (where built) AVX2 and AVX-512 (call
// only where the CPU has them).
void heston_raw_one_by_one(const HestonBatch&, std::size_t, std::size_t, double*) noexcept;
void heston_raw_baseline(const HestonBatch&, std::size_t, std::size_t, double*) noexcept;
#if QUARNEL_TANGENT_FLOW_AVX2
void heston_raw_avx2(const HestonBatch&, std::size_t, std::size_t, double*) noexcept;
void heston_raw_avx512(const HestonBatch&, std::size_t, std::size_t, double*) noexcept;
bool cpu_has_avx512() noexcept;
#endif
}  // namespace detail

class WorkerPool;
struct FusedGrid;

// The fused Heston paths (heston_fused.cpp): the increments of path k at step j are
//   dB_j = sqrt(dt) z[k, 2j],  dZ_j = sqrt(dt) z[k, 2j + 1],  dt = T / N,
// with z the normals of the counter-based generator (philox.hpp, fused_normals) keyed
// by the seed: one Philox block, one Box-Muller pair, per Heston step, so a path is a
// function of (seed, k) alone. Raw rows of paths [first, first + count) of `seed` (the
// batch gives the model, N and dt) into out, as heston_raw_rows gives them for the
// increments of heston_simulate, bit for bit; nothing is stored per step.
void heston_fused_raw_rows(const HestonBatch& batch, std::uint64_t seed, std::size_t first,
                           std::size_t count, double* out) noexcept;

// The increments (dw_v, dw_perp) of the fused paths, each (n_paths, n_steps), computed
// with the products of heston_fused_raw_rows (sqrt(dt) times the normal).
struct HestonIncrementMatrices {
    Matrix dw_v, dw_perp;
};
namespace detail {
// The fused paths of each lane width built (heston_fused_kernel.hpp, compiled into the
// fused kernels' files): 1, 2 (baseline vectors), 4 (AVX2) and 8 (AVX-512), the last
// two to be called only where detail::fused_rows_at has them. Raw rows, and increments
// into rows of n_steps doubles.
using HestonFusedRowsFn = void (*)(const HestonBatch&, std::uint64_t, std::size_t, std::size_t,
                                   double*) noexcept;
using HestonFusedIncrementsFn = void (*)(std::uint64_t, double, std::size_t, std::size_t,
                                         std::size_t, double*, double*) noexcept;
void heston_fused_rows_1(const HestonBatch&, std::uint64_t, std::size_t, std::size_t,
                         double*) noexcept;
void heston_fused_rows_2(const HestonBatch&, std::uint64_t, std::size_t, std::size_t,
                         double*) noexcept;
void heston_fused_rows_4(const HestonBatch&, std::uint64_t, std::size_t, std::size_t,
                         double*) noexcept;
void heston_fused_rows_8(const HestonBatch&, std::uint64_t, std::size_t, std::size_t,
                         double*) noexcept;
void heston_fused_increments_1(std::uint64_t, double, std::size_t, std::size_t, std::size_t,
                               double*, double*) noexcept;
void heston_fused_increments_2(std::uint64_t, double, std::size_t, std::size_t, std::size_t,
                               double*, double*) noexcept;
void heston_fused_increments_4(std::uint64_t, double, std::size_t, std::size_t, std::size_t,
                               double*, double*) noexcept;
void heston_fused_increments_8(std::uint64_t, double, std::size_t, std::size_t, std::size_t,
                               double*, double*) noexcept;
}  // namespace detail

Result<HestonIncrementMatrices> heston_simulate(const HestonModel& model, const FusedGrid& grid,
                                                const WorkScope& scope);

// heston_raw_rows for every path on `pool`, in contiguous runs (the rows are the serial
// ones bit for bit whatever the thread count).
void heston_raw_rows_parallel(const HestonBatch& batch, WorkerPool& pool, std::size_t first,
                              std::size_t count, double* out);

// Everything one path gives, from its raw row. The parameters are ordered
// (s0, v0, kappa, theta, xi, rho) in `ds` and `dv` (dS_N/dp and dv_N/dp) and in the
// weights `w` of d/dp (w[0] the delta weight); `w_gamma` is the gamma weight and
// `gamma_pathwise` the factor of f'(S_N) in the pathwise-weight gamma.
struct HestonPath {
    double s, v;
    std::array<double, 6> ds, dv, w;
    double w_gamma, gamma_pathwise;
};

HestonPath heston_path(const HestonBatch& batch, const double* raw) noexcept;

// tangents_heston: (n_paths, 14), S_N, v_N, dS_N/dp, dv_N/dp.
Result<Matrix> heston_tangents(const HestonIncrements& paths, const HestonModel& model,
                               const WorkScope& scope);

// greek_weights_heston: (n_paths, 8), S_N and the weights of delta, gamma, vega
// (d/d sqrt(v0)), kappa, theta, xi, rho.
Result<Matrix> heston_greek_weights(const HestonIncrements& paths, const HestonModel& model,
                                    const WorkScope& scope);

// The result of price_and_greeks_heston: each value with the population standard error
// of its (discounted) per-path sample. vega is d/d sqrt(v0); rho the correlation's.
inline constexpr std::size_t kHestonGreeks = 8;  // price, delta, gamma, vega, kappa, theta, xi, rho

struct HestonGreeks {
    std::array<double, kHestonGreeks> value, stderr_;
};

// Built-in payoffs of price_and_greeks_heston.
enum class HestonPayoff { call, put, digital, digital_put };

struct HestonCall {
    HestonBatch batch;
    HestonPayoff payoff;
    bool pathwise;      // lowest_variance on a call or put
    bool centred;       // lowest_variance on a digital: localised (half_width > 0), centred
    double half_width;  // the ramp's, 0 for none
    double discount;    // exp(-rate T), or 1 without a rate
};

// Sample columns a path: price and the seven Greeks, or for the centred digital the
// price, u[7], v[7] and u[i] * v[i] of the centring sums (see localised_digital_finish).
inline constexpr std::size_t kHestonCentredColumns = 1 + 3 * (kHestonGreeks - 1);
inline std::size_t sample_columns(const HestonCall& call) noexcept {
    return call.centred ? kHestonCentredColumns : kHestonGreeks;
}

// The checks of price_and_greeks_heston, in order: those of validate_heston, payoff,
// strike, estimator, rate, half_width.
Result<HestonCall> check_price_and_greeks_heston(const HestonIncrements& paths,
                                                 const HestonModel& model, std::string_view payoff,
                                                 double strike, std::string_view estimator,
                                                 std::optional<double> rate,
                                                 std::optional<double> half_width);

// The per-path samples (sample_columns of them) of paths [first, first + count) into
// out, row by row; they are what the estimate sums.
void heston_samples(const HestonCall& call, double strike, std::size_t first, std::size_t count,
                    const WorkScope& scope, double* out);

// price_and_greeks_heston.
Result<HestonGreeks> price_and_greeks_heston(const HestonIncrements& paths,
                                             const HestonModel& model, std::string_view payoff,
                                             double strike, std::string_view estimator,
                                             std::optional<double> rate,
                                             std::optional<double> half_width,
                                             const WorkScope& scope);

// price_and_greeks_heston on the fused paths of `grid` (heston_fused_raw_rows), equal to
// it on heston_simulate's increments bit for bit, with no increment stored: the checks
// are validate_heston's after the shapes, then those of price_and_greeks_heston.
Result<HestonGreeks> price_and_greeks_heston_fused(const HestonModel& model, const FusedGrid& grid,
                                                   std::string_view payoff, double strike,
                                                   std::string_view estimator,
                                                   std::optional<double> rate,
                                                   std::optional<double> half_width,
                                                   const WorkScope& scope);

// The samples (n_paths, 8 or 22) of price_and_greeks_heston over a chunk of paths, for
// quarnel.dask: summed with continue_sums and finished by finish_sums (8 columns) or
// localised_digital_finish (22), they give the single call's bits.
Result<Matrix> heston_chunk_samples(const HestonIncrements& paths, const HestonModel& model,
                                    std::string_view payoff, double strike,
                                    std::string_view estimator, std::optional<double> rate,
                                    std::optional<double> half_width, const WorkScope& scope);

}  // namespace quarnel
