#include "core/chunks.hpp"

#include <cstdint>
#include <string>
#include <utility>

#include "core/payoffs.hpp"
#include "core/price_delta.hpp"
#include "core/tangent_flow.hpp"
#include "quarnel/from_paths.hpp"

namespace quarnel {
namespace {

// Stores the (price, delta) sample pairs of successive paths, row after row. Checked
// against the buffer's own size, which the analyser can follow (the callers size it
// for their paths).
struct PairWriter {
    Buffer& out;
    std::size_t at = 0;
    void operator()(double p, double d) noexcept {
        if (at + 2 > out.size()) return;
        out[at] = p;
        out[at + 1] = d;
        at += 2;
    }
};

}  // namespace

Result<std::size_t> to_count(double value, const char* name) {
    // 2^53: every whole number below it is a double, and it fits any 64-bit size_t.
    if (!(value >= 0.0 && value < 9007199254740992.0) ||
        value != static_cast<double>(static_cast<std::uint64_t>(value))) {
        return ModelError{std::string(name) + " must be a whole number from 0 to 2**53 - 1"};
    }
    return static_cast<std::size_t>(value);
}

Result<Matrix> constant_flow_chunk_samples(const View1D& terminal_states, const View1D& w_terminals,
                                           double horizon, double sigma_at_x0,
                                           std::string_view payoff, double strike) {
    const Result<PayoffKind> kind = check_price_and_delta_constant_flow(
        terminal_states, w_terminals, horizon, sigma_at_x0, payoff);
    if (!kind.ok()) return kind.error();
    const std::size_t n = terminal_states.size();
    if (auto err = check_result_length(n, 2, "terminal_states")) return *std::move(err);
    Buffer out = Buffer::allocate_rows(n, 2);
    PairWriter write{out};
    with_payoff(kind.value(), strike, [&](auto f) {
        with_dense_views(
            [&](const auto& x, const auto& w) {
                constant_flow_samples(x, w, horizon, sigma_at_x0, f, write);
            },
            terminal_states, w_terminals);
    });
    return Matrix{std::move(out), n, 2};
}

Result<Matrix> tangent_flow_chunk_samples(const FirstOrderPaths& paths, std::string_view payoff,
                                          double strike, std::size_t first_path) {
    Result<TangentFlowEstimate> checked = check_price_and_delta_tangent_flow(paths, payoff);
    if (!checked.ok()) return checked.error();
    const TangentFlowEstimate& est = checked.value();
    const TangentFlowBatch& batch = est.batch;
    if (auto err = check_result_size({batch.n_paths, batch.n_steps}, 2)) return *std::move(err);
    Buffer out = Buffer::allocate_rows(batch.n_paths, 2);
    PairWriter write{out};
    const std::optional<ZeroSigma> zero = with_payoff(est.payoff, strike, [&](auto f) {
        return tangent_flow_samples(batch, paths.paths.states, f, write);
    });
    // The zero's path counted in the whole batch.
    if (zero) return zero_sigma_error({first_path + zero->path, zero->step}, FieldNames::suffixed);
    return Matrix{std::move(out), batch.n_paths, 2};
}

std::optional<ModelError> check_bel_weights_tangent_flow(const FirstOrderPaths& batch) {
    Result<TangentFlowBatch> checked = validate_path_batch(batch);
    if (!checked.ok()) return checked.error();
    return std::nullopt;
}

Result<Buffer> bel_weights_tangent_flow_chunk(const FirstOrderPaths& batch,
                                              std::size_t first_path) {
    Result<TangentFlowBatch> checked = validate_path_batch(batch);
    if (!checked.ok()) return checked.error();
    return bel_weights_of(checked.value(), first_path);
}

Result<Buffer> continue_sums(const View2D& samples, const View1D& start) {
    const std::size_t m = samples.cols;
    if (start.size() != 2 * m) {
        return ModelError{"start must hold 2 sums per sample column: " + std::to_string(2 * m) +
                          ", not " + std::to_string(start.size())};
    }
    Buffer sums = Buffer::allocate_rows(m, 2);
    for (std::size_t c = 0; c < m; ++c) {
        // Each column's two chains on their own: the order within a chain is all that
        // fixes the bits.
        double s1 = start[c];
        double s2 = start[m + c];
        for (std::size_t k = 0; k < samples.rows; ++k) {
            const double v = samples(k, c);
            s1 = s1 + v;
            s2 = s2 + v * v;
        }
        sums[c] = s1;
        sums[m + c] = s2;
    }
    return sums;
}

Result<Buffer> finish_sums(const View1D& sums, std::size_t n) {
    if (sums.size() % 2 != 0) return ModelError{"sums must have an even length"};
    const std::size_t m = sums.size() / 2;
    Buffer out = Buffer::allocate_rows(m, 2);
    for (std::size_t c = 0; c < m; ++c) {
        const MeanStderr r = mean_stderr(sums[c], sums[m + c], n);
        out[c] = r.mean;
        out[m + c] = r.stderr_;
    }
    return out;
}

}  // namespace quarnel
