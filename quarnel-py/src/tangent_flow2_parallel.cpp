// Second-order rows on the worker pool, with the chunking and error rule of
// tangent_flow_parallel.cpp: the serial per-path recurrence on whole runs of paths.
#include <algorithm>
#include <atomic>
#include <utility>
#include <vector>

#include "pool.hpp"
#include "tangent_flow2.hpp"
#include "tangent_flow_parallel.hpp"

namespace quarnel {

std::optional<ZeroSigma> second_order_rows_parallel(SecondOrderKind kind,
                                                    const SecondOrderBatch& batch, WorkerPool& pool,
                                                    double* out) {
    const std::size_t width = columns(kind);
    const std::size_t chunk = chunk_size(batch.n_paths, pool.threads());
    std::vector<PathChunk> items;
    for (std::size_t first = 0; first < batch.n_paths; first += chunk) {
        items.push_back(
            PathChunk{first, out + first * width, std::min(chunk, batch.n_paths - first), {}});
    }
    // Once an item has failed the outcome is an error, so items not yet started are
    // skipped; the pool's final wait orders every item's writes before the reads below.
    // A path-step here costs about twice the first-order kernel's, so it counts twice
    // toward the pool's hand-off threshold.
    std::atomic<bool> stop{false};
    pool.run(
        items.size(),
        [&](std::size_t i) noexcept {
            if (stop.load(std::memory_order_relaxed)) return;
            PathChunk& item = items[i];
            item.zero = second_order_rows(kind, batch, item.first_path, item.length, item.weights);
            if (item.zero) stop.store(true, std::memory_order_relaxed);
        },
        2 * batch.n_paths * batch.n_steps);
    return leftmost_failure(items);
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
