// Second-order rows on the worker pool, with the chunking and error rule of
// tangent_flow_parallel.cpp: the serial per-path recurrence on whole runs of paths.
#include <utility>
#include <vector>

#include "core/pool.hpp"
#include "core/second_order_tangent_flow.hpp"
#include "core/tangent_flow_parallel.hpp"

namespace quarnel {

std::optional<ZeroSigma> second_order_rows_parallel(SecondOrderKind kind,
                                                    const SecondOrderBatch& batch, WorkerPool& pool,
                                                    double* out) {
    std::vector<PathChunk> items = plan_chunks(batch.n_paths, pool.threads(), out, columns(kind));
    // A path-step here costs about twice the first-order kernel's, so it counts twice
    // toward the pool's hand-off threshold.
    return run_chunks(pool, items, 2 * batch.n_paths * batch.n_steps, [&](const PathChunk& item) {
        return second_order_rows(kind, batch, item.first_path, item.length, item.weights);
    });
}

Result<Matrix> greek_weights_tangent_flow_parallel(const View2D& states, const View2D& dws,
                                                   const View2D& sigma, const View2D& d_mu_dx,
                                                   const View2D& d_sigma_dx,
                                                   const View2D& d2_mu_dx2,
                                                   const View2D& d2_sigma_dx2, double horizon,
                                                   const WorkScope& scope) {
    Result<SecondOrderBatch> validated = validate_greek_batch(
        states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2, horizon);
    if (!validated.ok()) return validated.error();
    const SecondOrderBatch& batch = validated.value();
    constexpr std::size_t C = columns(SecondOrderKind::greeks);
    Buffer out = Buffer::allocate(batch.n_paths * C, true);
    std::optional<ZeroSigma> zero;
    auto work = [&] {
        zero = second_order_rows_parallel(SecondOrderKind::greeks, batch, WorkerPool::global(),
                                          out.data());
    };
    scope(work);
    if (zero) return zero_sigma_error(*zero);
    return Matrix{std::move(out), batch.n_paths, C};
}

}  // namespace quarnel
