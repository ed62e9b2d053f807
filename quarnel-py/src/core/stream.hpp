// The tangent flow fed one time step at a time: for users who simulate the paths
// themselves and never want to hold more than one step of them. The per-path tangents
// and weight sums live here, in native memory (a few doubles a path), and each step
// updates them in place with exactly the operations, in exactly the order, that the
// batch kernels perform on that step's column (tangent_flow.hpp for the BEL weight,
// second_order_tangent_flow.hpp for delta, gamma and the parallel-bump vega). Paths are
// independent, so the bits do not depend on how the paths are dealt to lanes or
// threads: once every step is in, the results equal the batch calls on the stacked
// arrays bit for bit.
//
// The grid is the batch's: n_steps uniform steps over the horizon, dt = T / N,
// 1 / T and 1 / N formed once, as the batch kernels form them.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/buffer.hpp"
#include "core/greeks.hpp"
#include "core/matrix.hpp"
#include "core/result.hpp"
#include "core/view.hpp"
#include "core/work_scope.hpp"

namespace quarnel {

// What an accumulator tracks, each level a superset of the one before:
//   first:       Y and the first-order BEL weight (bel_weights_tangent_flow)
//   second:      + H and the delta and gamma weights (greek_weights_tangent_flow)
//   second_vega: + the parallel volatility bump's tangents and weight
enum class StreamOrder { first, second, second_vega };

// "first_order", "second_order" or "second_order_vega", or the error naming them.
Result<StreamOrder> stream_order_named(std::string_view name);

// One step of all paths, each 1-D of n_paths values at the state at the start of the
// step; the second-order arrays are read only by second-order accumulators.
// How a step deals the paths: the fastest lanes the CPU has (AVX2 where built and
// present), pairs of paths in 2-lane vectors, or one path at a time. The bits are the
// same; the choice exists so the tests can hold each against the others.
enum class StreamLanes { fastest, pairs, one_by_one };

struct StreamStep {
    View1D dw, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2;
    bool second = false;  // whether the second-order arrays were given
};

namespace detail {
// A double in the messages, written as Python writes inf and nan.
std::string float_text(double x);
}  // namespace detail

class TangentFlowStream {
public:
    // Checks: n_steps >= 1, horizon > 0 and finite. Throws SizeOverflow when the state
    // of n_paths paths cannot be had.
    static Result<std::unique_ptr<TangentFlowStream>> create(
        std::size_t n_paths, std::size_t n_steps, double horizon, StreamOrder order,
        StreamLanes lanes = StreamLanes::fastest);

    // Step `steps_taken()`: checks that steps remain, every array's length and that no
    // sigma is zero (the first in path order is named), all before any state changes,
    // so a refused step leaves the accumulator as it was. The update runs in `scope`,
    // split over the worker pool for large batches.
    std::optional<ModelError> step(const StreamStep& in, const WorkScope& scope);

    // Back to the state before the first step, keeping the memory.
    void reset() noexcept;

    // Each fails until all n_steps steps are in; greek_weights and vega_weights also on
    // accumulators that do not track them.
    Result<Buffer> bel_weights() const;    // (n_paths,)
    Result<Matrix> greek_weights() const;  // (n_paths, 4) pi, gamma weight, Y_N, H_N
    Result<Buffer> vega_weights() const;   // (n_paths,) parallel-bump weight

    // price_and_greeks_tangent_flow on the stacked arrays, `terminal_states` standing in
    // for the last column of `states`, the same estimators (greeks_tangent_flow.hpp).
    // Checks, in order: all steps in, terminal_states' length, payoff, estimator, vol
    // (and that vega is tracked), the strikes, vol, half_width (valid, then meaningful)
    // and rate finite.
    Result<Greeks> price_and_greeks(const View1D& terminal_states, std::string_view payoff,
                                    double strike, std::string_view estimator,
                                    std::optional<double> vol, std::optional<double> half_width,
                                    std::optional<double> rate,
                                    std::optional<double> strike2) const;

    std::size_t n_paths() const noexcept { return n_paths_; }
    std::size_t n_steps() const noexcept { return n_steps_; }
    std::size_t steps_taken() const noexcept { return taken_; }
    StreamOrder order() const noexcept { return order_; }

    // Set while a call uses the accumulator: a step runs without the interpreter lock,
    // so another Python thread could otherwise read or step it meanwhile.
    std::atomic<bool> in_use{false};

private:
    TangentFlowStream(std::size_t n_paths, std::size_t n_steps, double horizon, StreamOrder order,
                      StreamLanes lanes);
    std::optional<ModelError> check_complete() const;
    void update(const StreamStep& in, std::size_t first, std::size_t count) noexcept;
    // Path k's parallel-bump weight, beta * pi - (DV_N - beta * K_N) / Y_N with
    // beta = V_N / Y_N, as the batch kernel forms it.
    double vega_weight(std::size_t k) const noexcept;

    std::size_t n_paths_, n_steps_, taken_ = 0;
    double horizon_, inv_t_, dt_, inv_n_;
    StreamOrder order_;
    StreamLanes lanes_;
    // One run of n_paths doubles per tracked quantity (see the recurrences): y, the
    // first-order weight; h, acc, accl; k, v, dv.
    Buffer y_, bel_, h_, acc_, accl_, k_, v_, dv_;
};

}  // namespace quarnel
