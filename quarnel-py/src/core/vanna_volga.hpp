// Vanna (d2 / dx0 dvol) and volga (d2 / dvol2) of GBM and ABM from exactly sampled
// terminal data, beside price_and_greeks_constant_flow and with its conventions.
//
// Weights, with pi_D the delta weight and pi_V the vega weight of the constant flow:
//   GBM  vanna  pi_D pi_V + 1/(s x0) - 2 W/(s^2 T x0)
//        volga  pi_V^2 + 1/s^2 + 3 W/s - 3 W^2/(s^2 T) - T
//   ABM  vanna  pi_D pi_V - 2 W/(s^2 T)
//        volga  pi_V^2 + 1/s^2 - 3 W^2/(s^2 T)
// Pathwise-weight forms for Lipschitz payoffs, f'(X_T) times (the d/ds of a pathwise
// first derivative, by the vega weight on its X_T-dependence and by hand on its explicit
// s-dependence at fixed X_T):
//   GBM  vanna  (X/x0) pi_V          volga  X ((W - sT) pi_V - W/s)
//   ABM  vanna  pi_V                 volga  W pi_V - W/s
// (dX/ds = X (W - sT) under GBM and W under ABM, and at fixed X_T, dW/ds = T - W/s and
// -W/s respectively.) The digitals are localised as in the other Greeks: these
// multipliers for the ramp's slope, the weights for the remainder, centred.
#pragma once

#include <optional>
#include <string_view>

#include "core/buffer.hpp"
#include "core/matrix.hpp"
#include "core/result.hpp"
#include "core/view.hpp"

namespace quarnel {

// [vanna, volga, vanna_stderr, volga_stderr] of a built-in payoff, with the arguments,
// checks and conventions of price_and_greeks_constant_flow (rate: both discounted by
// exp(-rate T); pairs: the errors of the pair means; non-finite: NaN errors).
Result<Buffer> vanna_volga_constant_flow(const View1D& terminal_states, const View1D& w_terminals,
                                         double horizon, double x0, double vol,
                                         std::string_view payoff, double strike,
                                         std::string_view model, std::string_view estimator,
                                         std::optional<double> half_width,
                                         std::optional<double> rate, std::optional<double> strike2,
                                         std::optional<std::string_view> pairs);

// The per-path samples of vanna_volga_constant_flow over a chunk, for quarnel.dask: (n, 2)
// the vanna and volga samples, or for the localised digitals (ramp half-width `width`,
// 0 or NaN turning the ramp off) (n, 7) f, u[2], v[2] and u[i] * v[i], the columns of
// the single call's centring sums. The arguments are checked beforehand by the single
// call, on empty stand-ins.
Result<Matrix> vanna_volga_constant_flow_chunk_samples(
    const View1D& terminal_states, const View1D& w_terminals, double horizon, double x0, double vol,
    std::string_view payoff, double strike, std::string_view model, std::string_view estimator,
    double width, double strike2);

}  // namespace quarnel
