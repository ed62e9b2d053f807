// Tangent-flow BEL weights on the worker pool. The paths are cut into at most T
// contiguous runs (T the pool's thread count), each run computed whole by one thread
// with the serial kernel's per-path recurrence, so the weights are bit-identical to
// bel_weights_tangent_flow for every T.
//
// Called with the interpreter lock released: nothing here may touch Python.
#pragma once

#include <atomic>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/buffer.hpp"
#include "core/pool.hpp"
#include "core/result.hpp"
#include "core/tangent_flow.hpp"
#include "core/work_scope.hpp"

namespace quarnel {

// One work item, paths [first_path, first_path + length), their rows written from
// `weights` on, with the slot for its outcome: the first zero sigma met, if any.
struct PathChunk {
    std::size_t first_path;
    double* weights;
    std::size_t length;
    std::optional<ZeroSigma> zero;
};

// max(1, ceil(n_paths / max(1, threads))): every item but the last holds this many paths.
std::size_t chunk_size(std::size_t n_paths, std::size_t threads) noexcept;

// The items covering the n_paths rows of `width` doubles from `out` in ascending order,
// at most `threads` of them, none empty, none overlapping.
std::vector<PathChunk> plan_chunks(std::size_t n_paths, std::size_t threads, double* out,
                                   std::size_t width = 1);

// The error-choice rule: of the items that failed, the one with the lowest index (the
// leftmost run of paths), so the error does not depend on which thread ran first.
// Within an item the kernel stops at its first zero, in path-then-step order.
std::optional<ZeroSigma> leftmost_failure(std::span<const PathChunk> items) noexcept;

// Runs `kernel(item)`, which computes an item's paths and returns their first zero
// sigma, for every item on `pool` (`work` path-steps in all), and returns the error the
// rule above picks. Once an item has failed the outcome is an error whatever else
// happens, so items that have not started yet are skipped. Only atomicity is needed:
// the pool's final wait orders every item's writes before the results are read.
template <class Kernel>
std::optional<ZeroSigma> run_chunks(WorkerPool& pool, std::vector<PathChunk>& items,
                                    std::size_t work, Kernel kernel) {
    std::atomic<bool> stop{false};
    pool.run(
        items.size(),
        [&](std::size_t i) noexcept {
            if (stop.load(std::memory_order_relaxed)) return;
            PathChunk& item = items[i];
            item.zero = kernel(item);
            if (item.zero) stop.store(true, std::memory_order_relaxed);
        },
        work);
    return leftmost_failure(items);
}

// On `pool`. The batch has passed validation.
Result<Buffer> tangent_flow_weights_parallel(const TangentFlowBatch& batch, WorkerPool& pool);

// On the process-wide pool, created here on first use (an empty batch included).
// Throws InternalFault when that pool could not be started.
Result<Buffer> tangent_flow_weights_parallel(const TangentFlowBatch& batch);

// The kernel behind bel_weights_tangent_flow_parallel: validates the batch exactly as
// the serial kernel does, on the calling thread, then runs the pool work inside
// `scope` (the Python binding's scope releases the interpreter lock).
Result<Buffer> bel_weights_tangent_flow_parallel(const FirstOrderPaths& batch,
                                                 const WorkScope& scope);

}  // namespace quarnel
