#include "core/tangent_flow_parallel.hpp"

#include <algorithm>

#include "core/pool.hpp"

namespace quarnel {

std::size_t chunk_size(std::size_t n_paths, std::size_t threads) noexcept {
    const std::size_t t = std::max<std::size_t>(threads, 1);
    return std::max<std::size_t>(n_paths / t + (n_paths % t != 0 ? 1 : 0), 1);
}

std::vector<PathChunk> plan_chunks(std::size_t n_paths, std::size_t threads, double* out,
                                   std::size_t width) {
    const std::size_t chunk = chunk_size(n_paths, threads);
    std::vector<PathChunk> items;
    items.reserve(n_paths / chunk + (n_paths % chunk != 0 ? 1 : 0));
    for (std::size_t first = 0; first < n_paths; first += chunk) {
        items.push_back(
            PathChunk{first, out + first * width, std::min(chunk, n_paths - first), {}});
    }
    return items;
}

Result<Buffer> tangent_flow_weights_parallel(const TangentFlowBatch& batch, WorkerPool& pool) {
    Buffer out = Buffer::allocate(batch.n_paths, true);
    std::vector<PathChunk> items = plan_chunks(batch.n_paths, pool.threads(), out.data());

    const std::optional<ZeroSigma> zero =
        run_chunks(pool, items, batch.n_paths * batch.n_steps, [&](const PathChunk& item) {
            return tangent_flow_weights(batch, item.first_path, item.length, item.weights);
        });
    if (zero) return zero_sigma_error(*zero, FieldNames::bare);
    return out;
}

std::optional<ZeroSigma> leftmost_failure(std::span<const PathChunk> items) noexcept {
    for (const PathChunk& item : items) {
        if (item.zero) return item.zero;
    }
    return std::nullopt;
}

Result<Buffer> tangent_flow_weights_parallel(const TangentFlowBatch& batch) {
    return tangent_flow_weights_parallel(batch, WorkerPool::global());
}

}  // namespace quarnel

namespace quarnel {

Result<Buffer> bel_weights_tangent_flow_parallel(const FirstOrderPaths& batch,
                                                 const WorkScope& scope) {
    Result<TangentFlowBatch> checked = validate_path_batch(batch);
    if (!checked.ok()) return checked.error();
    const TangentFlowBatch& kernel_batch = checked.value();
    Result<Buffer> weights = Buffer{};
    auto work = [&] { weights = tangent_flow_weights_parallel(kernel_batch); };
    scope(work);
    return weights;
}

}  // namespace quarnel
