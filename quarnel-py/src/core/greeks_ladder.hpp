// A ladder of strikes from one read of a constant-flow batch: price_and_greeks_constant_flow
// for every strike, bit for bit, with the per-path work that does not depend on the
// strike (the weights, the pathwise multipliers) done once per path. Each strike keeps
// its own left-to-right sums in path order, so its numbers are the single call's; the
// strikes' sums are independent chains that the loop over strikes may vectorise.
#pragma once

#include <optional>
#include <string_view>

#include "core/matrix.hpp"
#include "core/result.hpp"
#include "core/view.hpp"
#include "core/work_scope.hpp"

namespace quarnel {

// (n_strikes, 10): per strike the fields of Greeks in their order (price, delta, gamma,
// vega, rho, then the five standard errors), each row equal to
// price_and_greeks_constant_flow with that strike. Checks: those of the single call
// (with its strike checks made per strike, "strikes[3] must be finite, got nan"); the
// spreads have no ladder (their second strike would need a ladder of its own).
// The strikes are shared out on the process-wide pool in groups of lanes, each strike's
// sums whole on one thread (so the same bits at every thread count), the loop inside
// `scope`.
Result<Matrix> price_and_greeks_ladder_constant_flow(
    const View1D& terminal_states, const View1D& w_terminals, double horizon, double x0, double vol,
    std::string_view payoff, const View1D& strikes, std::string_view model,
    std::string_view estimator, std::optional<double> half_width, std::optional<double> rate,
    const WorkScope& scope);

class WorkerPool;

namespace detail {

// The widest lanes of strikes the build and the CPU have: 8 (AVX-512), 4 (AVX2), 2, or 1
// without vector extensions.
int ladder_width() noexcept;

// price_and_greeks_ladder_constant_flow with the strikes in lanes of `width` (1, 2, or
// on x86-64 4 and 8 where ladder_width() allows them; 0 for the widest): the same bits at
// every width, which the tests check width by width.
// With a `pool`, the groups of strikes are shared out on it; without, run in order here.
Result<Matrix> price_and_greeks_ladder_in_lanes(
    int width, const View1D& terminal_states, const View1D& w_terminals, double horizon, double x0,
    double vol, std::string_view payoff, const View1D& strikes, std::string_view model,
    std::string_view estimator, std::optional<double> half_width, std::optional<double> rate,
    WorkerPool* pool = nullptr, const WorkScope* scope = nullptr);

}  // namespace detail

// The ladder's per-path samples over a chunk, for quarnel.dask: per strike, in the order
// of `strikes`, the columns of greeks_constant_flow_chunk_samples at that strike, 5 (the
// weights and pathwise estimators) or 13 (the localised digitals, ramp half-width
// `width`), so that each strike's sums continue as that function's do. With `rate_rho`
// the rho column is the discounted call's combined sample. The arguments are checked
// beforehand by the single call, on empty stand-ins.
Result<Matrix> ladder_constant_flow_chunk_samples(const View1D& terminal_states,
                                                  const View1D& w_terminals, double horizon,
                                                  double x0, double vol, std::string_view payoff,
                                                  const View1D& strikes, std::string_view model,
                                                  std::string_view estimator, double width,
                                                  bool rate_rho);

}  // namespace quarnel
