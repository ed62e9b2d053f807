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

Result<Matrix> greek_weights_tangent_flow_parallel(const SecondOrderPaths& paths,
                                                   const WorkScope& scope) {
    Result<SecondOrderBatch> validated = validate_greek_batch(paths);
    if (!validated.ok()) return validated.error();
    const SecondOrderBatch& batch = validated.value();
    constexpr std::size_t C = columns(SecondOrderKind::greeks);
    Buffer out = Buffer::allocate_rows(batch.n_paths, C, true);
    std::optional<ZeroSigma> zero;
    auto work = [&] {
        zero = second_order_rows_parallel(SecondOrderKind::greeks, batch, WorkerPool::global(),
                                          out.data());
    };
    scope(work);
    if (zero) return zero_sigma_error(*zero, FieldNames::bare);
    return Matrix{std::move(out), batch.n_paths, C};
}

}  // namespace quarnel
