// Second-order tangent flow: delta, gamma and model-parameter weights that are exact for
// the simulated Euler scheme X_{j+1} = X_j + mu(X_j) dt + sigma(X_j) dW_j at every
// number of steps N (integration by parts once per Gaussian increment).
//
// Per path, with Y = dX/dx0 (Y_0 = 1), H = L Y along the direction u_j = Y_{j+1} / (N s_j)
// of the gamma operator L, and the coefficient values of step j at X_j
// (s = sigma, sp/spp = sigma', sigma'', mp/mpp = mu', mu''), step j does, in this order,
// each product rounded on its own and no fused multiply-add:
//   p    = sp * Y
//   Yn   = Y + ((mp * Y) * dt + p * dW)              (the first-order kernel's Y, bit for bit)
//   u    = (Yn / s) * inv_N
//   tau  = ((Yn * dW) - p * dt) / s
//   G    = ((N - j) * inv_N) * Y                       (L X_j)
//   La   = ((mpp * G) * dt + (spp * G) * dW) - sp * u
//   Hn   = H + (((mp * H) * dt + (sp * H) * dW) + Y * La)
//   Ltau = (((Hn * dW) - Yn * u) - ((spp * G) * Y + sp * H) * dt) / s - ((tau * sp) * G) / s
//   acc  = acc + tau * inv_T,  accL = accL + Ltau * inv_T
// and a path's delta weight is acc, its gamma weight acc * acc + accL.
//
// A model parameter theta with coefficient derivatives mth = d mu/d theta,
// sth = d sigma/d theta, mxth = d2 mu/dx dtheta, sxth = d2 sigma/dx dtheta adds, after
// the gamma part of the step and from the same old Y:
//   D    = (j * inv_N) * Y                             (D_u X_j)
//   Da   = ((mpp * D) * dt + (spp * D) * dW) + sp * u
//   Kn   = K + (((mp * K) * dt + (sp * K) * dW) + Y * Da)          (D_u Y)
//   Vn   = V + (((mp * V) * dt + (sp * V) * dW) + (mth * dt + sth * dW))   (dX/dtheta)
//   DVn  = DV + (((mp * DV) * dt + (sp * DV) * dW)
//               + ((V * Da + ((mxth * D) * dt + (sxth * D) * dW)) + sth * u))  (D_u V)
// and the path's weight is, with beta = V_N / Y_N,  beta * acc - (DV_N - beta * K_N) / Y_N:
// NaN or infinite where the Euler tangent Y_N is zero.
//
// The mixed weight of d2/dx0 dtheta is the theta-derivative of the delta weight taken
// with the operator M = d/dtheta - beta D_u, which leaves X_N alone (M X_N = V_N -
// beta Y_N = 0), so that d/dtheta E[f pi] = E[f (pi q + M pi)], q the parameter weight.
// M pi is (1/T) sum_j (dtau_j/dtheta - beta D_u tau_j), both sums carried forward; after
// the parameter part of the step and from the same old values:
//   dmp  = mpp * V + mxth,  dsp = spp * V + sxth,  ds = sp * V + sth
//   Zn   = Z + (((mp * Z) * dt + (sp * Z) * dW) + Y * (dmp * dt + dsp * dW))   (dY/dtheta)
//   dtau = ((Zn * dW) - (dsp * Y + sp * Z) * dt) / s - (tau * ds) / s
//   Dtau = (((Kn * dW) + Yn * u) - ((spp * D) * Y + sp * K) * dt) / s - ((tau * sp) * D) / s
//   accT = accT + dtau * inv_T,  accU = accU + Dtau * inv_T
// and the path's mixed weight is q * acc + (accT - beta * accU). For a Lipschitz payoff
// d/dtheta E[f'(X_N) Y_N] = E[f'(X_N) (Y_N q + M Y_N)] with M Y_N = Z_N - beta K_N.
#pragma once

#include <cstddef>
#include <optional>

#include "core/matrix.hpp"
#include "core/path_batch.hpp"
#include "core/result.hpp"
#include "core/tangent_flow.hpp"
#include "core/view.hpp"
#include "core/work_scope.hpp"

namespace quarnel {

// The per-step matrices of a checked path batch and the per-call constants. The
// parameter's matrices are read only by the kernels that compute a parameter weight.
struct SecondOrderBatch {
    View2D dws;
    FirstOrderFields first;
    SecondOrderFields second;
    ParameterFields parameter;
    std::size_t n_paths = 0;
    std::size_t n_steps = 0;
    double inv_t = 0.0;  // 1 / T
    double dt = 0.0;     // T / N, as the first-order kernel forms it
    double inv_n = 0.0;  // 1 / N
};

// What a kernel writes per path, one row of `columns(kind)` doubles:
//   greeks:    delta weight, gamma weight, Y_N, H_N
//   parameter: the parameter weight
//   all:       delta weight, gamma weight, Y_N, H_N, V_N, the parameter weight
//   mixed:     Y_N, the parameter weight, M Y_N, the mixed weight of d2/dx0 dtheta
enum class SecondOrderKind { greeks, parameter, all, mixed };

constexpr std::size_t columns(SecondOrderKind kind) noexcept {
    switch (kind) {
        case SecondOrderKind::greeks: return 4;
        case SecondOrderKind::parameter: return 1;
        case SecondOrderKind::mixed: return 4;
        case SecondOrderKind::all: break;
    }
    return 6;
}

// Constants for a batch of this shape; the parameter matrices are left empty.
SecondOrderBatch make_second_order_batch(const View2D& dws, const FirstOrderFields& first,
                                         const SecondOrderFields& second, BatchShape shape,
                                         double horizon) noexcept;

// The checks of the Greek weight functions, in order: horizon > 0, the states columns,
// the exact shapes of dws and the five fields, and a result size that fits in memory.
Result<SecondOrderBatch> validate_greek_batch(const SecondOrderPaths& batch);

// The checks of parameter_weights_tangent_flow, the same with the parameter's four
// fields after the others, and the batch with its parameter matrices set.
Result<SecondOrderBatch> validate_parameter_batch(const ParameterPaths& batch);

// Rows of paths [first, first + count) into out (row p at out + p * columns(kind)).
// Every matrix the kind reads must cover those rows and n_steps columns. On a zero sigma
// the first one in path-then-step order is returned and out is partly written. Touches
// nothing shared, so it may run on any thread without the interpreter lock.
std::optional<ZeroSigma> second_order_rows(SecondOrderKind kind, const SecondOrderBatch& batch,
                                           std::size_t first, std::size_t count,
                                           double* out) noexcept;

namespace detail {
// The implementations behind second_order_rows, for the tests that check they agree bit
// for bit: one path at a time, interleaved paths in 2-lane vectors, and where built
// (QUARNEL_TANGENT_FLOW_AVX2), interleaved paths with AVX2 (call only where
// cpu_has_avx2()).
std::optional<ZeroSigma> second_order_one_by_one(SecondOrderKind, const SecondOrderBatch&,
                                                 std::size_t, std::size_t, double*) noexcept;
std::optional<ZeroSigma> second_order_baseline(SecondOrderKind, const SecondOrderBatch&,
                                               std::size_t, std::size_t, double*) noexcept;
#if QUARNEL_TANGENT_FLOW_AVX2
std::optional<ZeroSigma> second_order_avx2(SecondOrderKind, const SecondOrderBatch&, std::size_t,
                                           std::size_t, double*) noexcept;
#endif
}  // namespace detail

// The results of greek_weights_tangent_flow and parameter_weights_tangent_flow for a
// checked batch, on this thread. A zero sigma's path is reported counted from
// `first_path`, so a chunk of a larger batch names it as the whole call.
Result<Matrix> greek_weights_of(const SecondOrderBatch& batch, std::size_t first_path);
Result<Buffer> parameter_weights_of(const SecondOrderBatch& batch, std::size_t first_path);
Result<Buffer> mixed_weights_of(const SecondOrderBatch& batch, std::size_t first_path);

class WorkerPool;

// second_order_rows for all paths of a validated batch on `pool`: paths in at most T
// contiguous runs of max(1, ceil(n / T)) paths (T the pool's thread count), each run whole
// on one thread, so the rows equal the serial ones bit for bit. With zero sigma values in
// several runs, the one reported is from the leftmost failed run among those that ran.
std::optional<ZeroSigma> second_order_rows_parallel(SecondOrderKind kind,
                                                    const SecondOrderBatch& batch, WorkerPool& pool,
                                                    double* out);

// greek_weights_tangent_flow: an (n_paths, 4) matrix.
Result<Matrix> greek_weights_tangent_flow(const SecondOrderPaths& batch);

// The same on the process-wide pool (second_order_rows_parallel). Validation runs on the
// caller's thread; only the pool work runs inside `scope`.
Result<Matrix> greek_weights_tangent_flow_parallel(const SecondOrderPaths& batch,
                                                   const WorkScope& scope);

// parameter_weights_tangent_flow: the (n_paths,) weights of d/dtheta.
Result<Buffer> parameter_weights_tangent_flow(const ParameterPaths& batch);

// mixed_weights_tangent_flow: the (n_paths,) weights of d2/dx0 dtheta, with the checks
// of parameter_weights_tangent_flow.
Result<Buffer> mixed_weights_tangent_flow(const ParameterPaths& batch);

}  // namespace quarnel
