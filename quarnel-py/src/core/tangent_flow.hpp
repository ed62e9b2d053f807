// Tangent-flow BEL weights for a general scalar SDE dX = mu(X) dt + sigma(X) dW.
//
// Per path k, with Y the Euler first-variation process (Y_0 = 1):
//   pi[k] = sum_j ((Y_j / sigma_j) * inv_T) * dW_j
//   Y_{j+1} = Y_j + ((mu'_j * Y_j) * dt + (sigma'_j * Y_j) * dW_j)
// The association above is the contract (results are compared bit for bit), so no
// rewriting into Y * dW / (sigma * T) or Y * (1 + ...), and no FMA.
#pragma once

#include <cstddef>
#include <optional>

#include "core/buffer.hpp"
#include "core/path_batch.hpp"
#include "core/result.hpp"
#include "core/view.hpp"

namespace quarnel {

// The four per-step matrices of a checked path batch plus the per-call constants,
// shared read-only by every thread that computes weights.
struct TangentFlowBatch {
    View2D dws;
    FirstOrderFields first;
    std::size_t n_paths = 0;
    std::size_t n_steps = 0;
    double inv_t = 0.0;
    double dt = 0.0;
};

// Per-call constants: inv_T = 1 / T and dt = T / n_steps, each computed once.
TangentFlowBatch make_batch(const View2D& dws, const FirstOrderFields& first, BatchShape shape,
                            double horizon) noexcept;

// The checks of the first-order weight functions, in order: horizon > 0, the states
// columns, the exact shapes of dws, sigma, d_mu_dx, d_sigma_dx; then the batch over them.
Result<TangentFlowBatch> validate_path_batch(const FirstOrderPaths& batch);

// Weights of paths [first, first + count) into out[0 .. count). Every matrix must
// cover those rows and n_steps columns. On a zero sigma the computation stops and the
// first zero in path-then-step order is returned; out is then partly written.
// The lanes take runs of rows when the matrices are path-major and adjacent paths when
// they are time-major, chosen from the strides; either way the bits are the same.
// Touches nothing shared, so it may run on any thread without the interpreter lock.
std::optional<ZeroSigma> tangent_flow_weights(const TangentFlowBatch& batch, std::size_t first,
                                              std::size_t count, double* out) noexcept;

// An AVX2 clone chosen at run time exists only on x86-64 with GCC or Clang, which
// provide the target attribute and the CPU probe. QUARNEL_NO_VECTOR_EXTENSIONS builds
// the portable kernel alone, as MSVC gets it, so GCC can test that path too.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(QUARNEL_NO_VECTOR_EXTENSIONS)
#define QUARNEL_TANGENT_FLOW_AVX2 1
#else
#define QUARNEL_TANGENT_FLOW_AVX2 0
#endif

namespace detail {
// The implementations behind tangent_flow_weights, exposed for the unit tests that
// check they agree bit for bit: one path at a time, interleaved paths in 2-lane
// vectors (SSE2, NEON, or plain scalars without vector extensions), and where built,
// interleaved paths with AVX2 (call only where the CPU has it).
std::optional<ZeroSigma> weights_one_by_one(const TangentFlowBatch&, std::size_t, std::size_t,
                                            double*) noexcept;
std::optional<ZeroSigma> weights_baseline(const TangentFlowBatch&, std::size_t, std::size_t,
                                          double*) noexcept;
#if QUARNEL_TANGENT_FLOW_AVX2
std::optional<ZeroSigma> weights_avx2(const TangentFlowBatch&, std::size_t, std::size_t,
                                      double*) noexcept;
bool cpu_has_avx2() noexcept;
#endif
}  // namespace detail

// The weights of a checked batch on this thread. A zero sigma's path is reported
// counted from `first_path`, so a chunk of a larger batch names it as the whole call.
Result<Buffer> bel_weights_of(const TangentFlowBatch& batch, std::size_t first_path);

// The serial kernel behind bel_weights_tangent_flow.
Result<Buffer> bel_weights_tangent_flow(const FirstOrderPaths& batch);

}  // namespace quarnel
