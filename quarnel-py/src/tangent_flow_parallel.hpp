// Tangent-flow BEL weights on the worker pool. The paths are cut into at most T
// contiguous runs (T the pool's thread count), each run computed whole by one thread
// with the serial kernel's per-path recurrence, so the weights are bit-identical to
// bel_weights_tangent_flow for every T.
//
// Called with the interpreter lock released: nothing here may touch Python.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "buffer.hpp"
#include "result.hpp"
#include "tangent_flow.hpp"

namespace quarnel {

class WorkerPool;

// One work item, paths [first_path, first_path + length), written to weights[0, length),
// with the slot for its outcome: the first zero sigma met, if any.
struct PathChunk {
    std::size_t first_path;
    double* weights;
    std::size_t length;
    std::optional<ZeroSigma> zero;
};

// max(1, ceil(n_paths / max(1, threads))): every item but the last holds this many paths.
std::size_t chunk_size(std::size_t n_paths, std::size_t threads) noexcept;

// The items covering out[0, n_paths) in ascending order, at most `threads` of them,
// none empty, none overlapping.
std::vector<PathChunk> plan_chunks(std::size_t n_paths, std::size_t threads, double* out);

// On `pool`. The batch has passed validation.
Result<Buffer> tangent_flow_weights_parallel(const TangentFlowBatch& batch, WorkerPool& pool);

// On the process-wide pool, created here on first use (an empty batch included).
// Throws InternalFault when that pool could not be started.
Result<Buffer> tangent_flow_weights_parallel(const TangentFlowBatch& batch);

}  // namespace quarnel
