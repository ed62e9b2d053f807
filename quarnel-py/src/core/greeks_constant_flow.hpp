// Greeks of GBM and ABM from exactly sampled terminal data: the per-path weights of
// delta, gamma, vega and drift rho, and price-and-Greeks for the built-in payoffs.
// Validation here, estimators in quarnel/greeks_from_paths.hpp.
#pragma once

#include <optional>
#include <string_view>

#include "core/greeks.hpp"
#include "core/greeks_pairs.hpp"
#include "core/greeks_payoffs.hpp"
#include "core/matrix.hpp"
#include "core/result.hpp"
#include "core/view.hpp"
#include "quarnel/greeks_from_paths.hpp"

namespace quarnel {

// Calls f with the flow object of the model; f is instantiated for both.
template <class F>
decltype(auto) with_flow(Model model, double horizon, double x0, double vol, F&& f) {
    if (model == Model::gbm) return f(GbmConstantFlow(horizon, x0, vol));
    return f(AbmConstantFlow(horizon, vol));
}

// (n_paths, 4): per path the delta, gamma, vega (d/ds) and drift-rho (d/dmu) weights.
// Checks, in order: model, horizon > 0, x0 > 0 (GBM only), vol > 0.
Result<Matrix> greek_weights_constant_flow(const View1D& w_terminals, double horizon, double x0,
                                           double vol, std::string_view model);

// Price and the four Greeks of a built-in payoff (greeks_payoffs.hpp; the spreads long
// at `strike`, short at `strike2`). "weights": f(X_T) times each weight, price and
// delta bit-equal to price_and_delta_constant_flow with sigma_at_x0 = vol * x0 (GBM) or
// vol (ABM) for its payoffs. "lowest_variance": pathwise for the identity, calls, puts
// and spreads; the localised, centred estimator for the digitals, with the ramp
// half-width `half_width`, or twice the population standard deviation of X_T when it
// is empty.
// With a `rate` r (the drift moving one for one with it) the price and every Greek come
// back times df = exp(-r T), rho as df * (drift rho - T * price) from one combined
// per-path sample, and every error that of the discounted sample. A non-finite
// estimate has a NaN error.
// Checks, in order: lengths, payoff, model, estimator, horizon, x0, vol (positive, then
// finite), strike and strike2 (check_strikes), half_width (valid, then meaningful),
// rate finite, pairs (known, then an even number of paths). With `pairs` every estimate
// is the mean of the antithetic pairs' means and its error theirs (greeks_pairs.hpp).
Result<Greeks> price_and_greeks_constant_flow(const View1D& terminal_states,
                                              const View1D& w_terminals, double horizon, double x0,
                                              double vol, std::string_view payoff, double strike,
                                              std::string_view model, std::string_view estimator,
                                              std::optional<double> half_width,
                                              std::optional<double> rate = std::nullopt,
                                              std::optional<double> strike2 = std::nullopt,
                                              std::optional<std::string_view> pairs = std::nullopt);

// What the checks of price_and_greeks_constant_flow establish.
struct ConstantFlowCall {
    GreekPayoff payoff;
    Model model;
    Estimator estimator;
    Pairs pairs;
    bool localised;  // a digital under "lowest_variance"
};

// The checks of price_and_greeks_constant_flow, in its order, and nothing else; the
// other estimators on the same arguments (vanna_volga.hpp) share them.
Result<ConstantFlowCall> check_price_and_greeks_constant_flow(
    const View1D& terminal_states, const View1D& w_terminals, double horizon, double x0, double vol,
    std::string_view payoff, double strike, std::string_view model, std::string_view estimator,
    std::optional<double> half_width, std::optional<double> rate, std::optional<double> strike2,
    std::optional<std::string_view> pairs);

}  // namespace quarnel
