// The module `quarnel._greeks`: the Greeks beyond delta, one record per function, and
// its entry point. Registration order (the order of __all__) is the order of the list
// in PyInit__greeks.
#include <vector>

#include "bind/module.hpp"
#include "bind/record.hpp"
#include "core/greeks_constant_flow.hpp"
#include "core/greeks_ladder.hpp"
#include "core/greeks_tangent_flow.hpp"
#include "core/second_order_tangent_flow.hpp"
#include "core/vanna_tangent_flow.hpp"
#include "core/vanna_volga.hpp"
#include "core/work_scope.hpp"
#include "modules/greeks_chunks.hpp"
#include "modules/tangent_flow_records.hpp"

namespace quarnel::py {
namespace {

constexpr const char* kVersion = QUARNEL_VERSION;  // the project version, from CMake

// The scope in which the parallel kernels run their loop: without the interpreter lock.
constexpr WorkScope kWithoutGil{&enter_without_gil};

// The package's handle on the one PanicException class of the process (created here
// if no fault has needed it yet), so that users can catch it by name.
constexpr Function kPanicException{
    "_panic_exception", "The class of internal faults, quarnel.PanicException.", params(), []() {
        PyObject* type = panic_type();
        if (type == nullptr) throw_pending();
        return Ref::borrow(type);
    }};

constexpr Function kGreekWeightsConstantFlow{
    "greek_weights_constant_flow",
    "Low-level: per-path weights of delta, gamma, vega and drift rho for\n"
    "GBM (`model=\"gbm\"`, dX = mu X dt + vol X dW) or ABM (`model=\"abm\"`,\n"
    "dX = mu dt + vol dW), from the terminal Brownian values alone.\n"
    "\n"
    "Returns a float64 array of shape `(n_paths, 4)`, columns delta,\n"
    "gamma, vega (d/d vol) and rho (d/d mu). With `s = vol`,\n"
    "`sigma0 = s * x0` (GBM) or `s` (ABM) and `pi = W_T / (T * sigma0)`:\n"
    "\n"
    "- delta `pi`, bit-equal to `bel_weights_constant_flow`;\n"
    "- gamma `pi^2 - pi / x0 - 1 / (T sigma0^2)` (ABM: no `pi / x0`);\n"
    "- vega `(W_T^2 - T) / (s T) - W_T` (ABM: no `- W_T`);\n"
    "- rho `W_T / s`.\n"
    "\n"
    "Each Greek of any payoff f of X_T is the mean of f(X_T) times its\n"
    "column; prices are undiscounted:\n"
    "\n"
    "```\n"
    "g = greek_weights_constant_flow(w_t, 1.0, x0=100.0, vol=0.2)\n"
    "gamma = np.mean(np.maximum(x_t - 100.0, 0.0) * g[:, 1])\n"
    "```\n"
    "\n"
    "`x0` must be positive under GBM (ABM does not use it), `horizon` and\n"
    "`vol` always.",
    params(array1d("w_terminals"), real("horizon"), real("x0"), real("vol"),
           text_or("model", "gbm", "'gbm'")),
    &quarnel::greek_weights_constant_flow};

constexpr Function kPriceAndGreeksConstantFlow{
    "price_and_greeks_constant_flow",
    "High-level: price, delta, gamma, vega (d/d vol) and drift rho\n"
    "(d/d mu) of a built-in payoff under GBM or ABM, in one call from\n"
    "terminal states and terminal Brownian values. Returns a `Greeks`\n"
    "named tuple with the five values and their standard errors.\n"
    "\n"
    "Payoffs: `\"identity\"`, `\"call\"`, `\"put\"`, `\"digital_call\"` (or\n"
    "`\"digital\"`), `\"digital_put\"`, and the spreads `\"call_spread\"` and\n"
    "`\"put_spread\"`: long the option at `strike`, short the same option\n"
    "at `strike2` (required for them, refused for the others).\n"
    "Estimators:\n"
    "\n"
    "- `\"weights\"`: f(X_T) times the weights of\n"
    "  `greek_weights_constant_flow`. Price and delta equal\n"
    "  `price_and_delta_constant_flow` with `sigma_at_x0 = vol * x0`\n"
    "  (GBM) or `vol` (ABM), bit for bit.\n"
    "- `\"lowest_variance\"` (default): pathwise Greeks for the identity,\n"
    "  calls, puts and spreads (5 to 16 times lower variance); for digitals the\n"
    "  jump is smoothed into a ramp of half-width `half_width` around the\n"
    "  strike, taken pathwise, and the rest by weights, centred (about 20\n"
    "  times lower for delta, 8 for gamma and vega). By default the\n"
    "  half-width is twice the standard deviation of X_T over the paths;\n"
    "  that width and the centring constant come from the same paths,\n"
    "  which biases the digital's Greeks by O(1/n_paths), far below the\n"
    "  standard error. Pass a `half_width` from a pilot run to remove the\n"
    "  width's part; anywhere else `half_width` is refused.\n"
    "\n"
    "Prices are undiscounted unless `rate` is given. With a rate r (the\n"
    "drift moving one for one with it, as under the risk-neutral measure),\n"
    "the price and every Greek come back times df = exp(-r T), rho is the\n"
    "rate sensitivity of the discounted price, df * (drift rho - T * price),\n"
    "and every standard error is that of the discounted per-path sample\n"
    "(rho's of the one combined sample).\n"
    "\n"
    "`horizon`, `x0`, `vol`, `strike`, `half_width` and `rate` must be\n"
    "finite (ValueError naming the argument); an estimate that is NaN or\n"
    "infinite (NaN or infinite inputs among the paths) has a NaN standard\n"
    "error.\n"
    "\n"
    "`pairs=\"halves\"` (rows k and k + n/2) or `\"adjacent\"` (rows 2j and\n"
    "2j + 1) treats the paths as antithetic pairs: each pair's samples are\n"
    "averaged first and every standard error is that of the n/2 pair means.\n"
    "\n"
    "```\n"
    "g = price_and_greeks_constant_flow(x_t, w_t, 1.0, 100.0, 0.2,\n"
    "                                   \"call\", strike=100.0)\n"
    "g.gamma, g.gamma_stderr\n"
    "```",
    params(array1d("terminal_states"), array1d("w_terminals"), real("horizon"), real("x0"),
           real("vol"), text("payoff"), real_or("strike", 0.0, "0.0"),
           text_or("model", "gbm", "'gbm'"),
           text_or("estimator", "lowest_variance", "'lowest_variance'"), real_or_none("half_width"),
           real_or_none("rate"), real_or_none("strike2"), text_or_none("pairs", "", "None")),
    [](const View1D& terminal_states, const View1D& w_terminals, double horizon, double x0,
       double vol, std::string_view payoff, double strike, std::string_view model,
       std::string_view estimator, const std::optional<double>& half_width,
       const std::optional<double>& rate, const std::optional<double>& strike2,
       const std::optional<std::string_view>& pairs) {
        return quarnel::price_and_greeks_constant_flow(terminal_states, w_terminals, horizon, x0,
                                                       vol, payoff, strike, model, estimator,
                                                       half_width, rate, strike2, pairs);
    }};

constexpr Function kVannaVolgaConstantFlow{
    "_vanna_volga_constant_flow",
    "[vanna, volga, vanna_stderr, volga_stderr] of a built-in payoff under GBM\n"
    "or ABM, with the arguments and conventions of\n"
    "price_and_greeks_constant_flow; quarnel.vanna_volga_constant_flow names them.",
    params(array1d("terminal_states"), array1d("w_terminals"), real("horizon"), real("x0"),
           real("vol"), text("payoff"), real_or("strike", 0.0, "0.0"),
           text_or("model", "gbm", "'gbm'"),
           text_or("estimator", "lowest_variance", "'lowest_variance'"), real_or_none("half_width"),
           real_or_none("rate"), real_or_none("strike2"), text_or_none("pairs", "", "None")),
    &quarnel::vanna_volga_constant_flow};

constexpr Function kPriceAndGreeksLadderConstantFlow{
    "_price_and_greeks_ladder_constant_flow",
    "(n_strikes, 10): per strike the Greeks of price_and_greeks_constant_flow,\n"
    "bit for bit, from one pass over the paths; quarnel's\n"
    "price_and_greeks_ladder_constant_flow names the columns.",
    params(array1d("terminal_states"), array1d("w_terminals"), real("horizon"), real("x0"),
           real("vol"), text("payoff"), array1d("strikes"), text_or("model", "gbm", "'gbm'"),
           text_or("estimator", "lowest_variance", "'lowest_variance'"), real_or_none("half_width"),
           real_or_none("rate")),
    [](const View1D& terminal_states, const View1D& w_terminals, double horizon, double x0,
       double vol, std::string_view payoff, const View1D& strikes, std::string_view model,
       std::string_view estimator, const std::optional<double>& half_width,
       const std::optional<double>& rate) {
        return quarnel::price_and_greeks_ladder_constant_flow(
            terminal_states, w_terminals, horizon, x0, vol, payoff, strikes, model, estimator,
            half_width, rate, kWithoutGil);
    }};

constexpr Function kGreekWeightsTangentFlow{
    "greek_weights_tangent_flow",
    "Low-level: per-path delta and gamma weights for any scalar SDE\n"
    "simulated by the Euler scheme, exact for that scheme at every number\n"
    "of steps (not only in the limit of small steps).\n"
    "\n"
    "Inputs as for `bel_weights_tangent_flow`, plus `d2_mu_dx2` and\n"
    "`d2_sigma_dx2`: the second derivatives of the coefficients at the\n"
    "state at the start of each step, shape `(n_paths, n_steps)`.\n"
    "\n"
    "Returns a float64 array of shape `(n_paths, 4)`: the delta weight\n"
    "pi, the gamma weight, the tangent Y_T = dX_T/dX_0 of the scheme and\n"
    "H_T, the derivative of Y_T that the pathwise gamma needs. The delta\n"
    "of a payoff f is the mean of f(X_T) pi and its gamma the mean of\n"
    "f(X_T) times the gamma weight; for a Lipschitz f, f'(X_T) Y_T and\n"
    "f'(X_T) (Y_T pi + H_T) have lower variance:\n"
    "\n"
    "```\n"
    "g = greek_weights_tangent_flow(states, dws, sig, dmu, dsig,\n"
    "                               d2mu, d2sig, 1.0)\n"
    "gamma = np.mean((states[:, -1] > 1.0) * g[:, 1])\n"
    "```\n"
    "\n"
    "The delta weight is not `bel_weights_tangent_flow`'s: that one takes\n"
    "Y at the start of each step and has the same limit, but differs from\n"
    "the scheme's own delta by O(1/n_steps).",
    kSecondOrderParams, &second_order_body<&quarnel::greek_weights_tangent_flow>};

// The parallel kernel's loop runs without the interpreter lock.
Result<Matrix> greek_weights_without_gil(const SecondOrderPaths& batch) {
    return quarnel::greek_weights_tangent_flow_parallel(batch, kWithoutGil);
}

constexpr Function kGreekWeightsTangentFlowParallel{
    "greek_weights_tangent_flow_parallel",
    "Parallel low-level variant: the same as `greek_weights_tangent_flow`,\n"
    "bit for bit whatever the thread count, with the per-path loop on the\n"
    "worker pool of `bel_weights_tangent_flow_parallel` and the interpreter\n"
    "lock released for its duration.",
    kSecondOrderParams, &second_order_body<&greek_weights_without_gil>};

constexpr Function kParameterWeightsTangentFlow{
    "parameter_weights_tangent_flow",
    "Low-level: per-path weights of d/dp for a model parameter p, for any\n"
    "scalar SDE simulated by the Euler scheme, exact for that scheme.\n"
    "\n"
    "Inputs as for `greek_weights_tangent_flow`, plus the derivatives of\n"
    "the coefficients in p at the state at the start of each step:\n"
    "`d_mu_dp`, `d_sigma_dp`, `d2_mu_dx_dp`, `d2_sigma_dx_dp`, each of\n"
    "shape `(n_paths, n_steps)`. The sensitivity of a payoff f is the mean\n"
    "of f(X_T) times the weight. The weights divide by the scheme's tangent\n"
    "Y_T: on grids so coarse that Y_T can come near zero (a step factor\n"
    "1 + mu' dt + sigma' dW near zero) they are heavy-tailed and their\n"
    "error bars unreliable; where Y_T is zero they are NaN or infinite.\n"
    "\n"
    "Vega as the parallel bump sigma -> (1 + e) sigma needs no new arrays:\n"
    "`parallel_volatility_bump(sigma, d_sigma_dx)` gives the four fields\n"
    "(zero drift fields as zero-stride arrays):\n"
    "\n"
    "```\n"
    "q = parameter_weights_tangent_flow(\n"
    "    states, dws, sig, dmu, dsig, d2mu, d2sig,\n"
    "    *parallel_volatility_bump(sig, dsig), 1.0)\n"
    "vega = np.mean((states[:, -1] > 1.0) * q)\n"
    "```",
    kParameterParams, &parameter_body<&quarnel::parameter_weights_tangent_flow>};

constexpr Function kMixedWeightsTangentFlow{
    "mixed_weights_tangent_flow",
    "Low-level: per-path weights of d2/dx0 dp, the cross sensitivity to\n"
    "the initial state and a model parameter p, for any scalar SDE\n"
    "simulated by the Euler scheme, exact for that scheme.\n"
    "\n"
    "Inputs as for `parameter_weights_tangent_flow`. The cross sensitivity\n"
    "of a payoff f is the mean of f(X_T) times the weight; with the\n"
    "parallel volatility bump as the parameter, that is vol times the\n"
    "vanna d2 price / dx0 dvol (`vanna_tangent_flow` estimates it with\n"
    "lower variance). Like the parameter weights they divide by the\n"
    "scheme's tangent Y_T.\n"
    "\n"
    "```\n"
    "m = mixed_weights_tangent_flow(\n"
    "    states, dws, sig, dmu, dsig, d2mu, d2sig,\n"
    "    *parallel_volatility_bump(sig, dsig), 1.0)\n"
    "vanna = np.mean((states[:, -1] > 1.0) * m) / vol\n"
    "```",
    kParameterParams, &parameter_body<&quarnel::mixed_weights_tangent_flow>};

constexpr Function kPriceAndGreeksTangentFlow{
    "price_and_greeks_tangent_flow",
    "High-level: price, delta, gamma and vega of a built-in payoff from a\n"
    "path batch of any scalar SDE simulated by the Euler scheme, exact for\n"
    "that scheme. Returns a `Greeks` named tuple; rho is NaN. Payoffs as\n"
    "for `price_and_greeks_constant_flow` (the spreads with `strike2`).\n"
    "\n"
    "Inputs as for `greek_weights_tangent_flow`, the coefficient arrays\n"
    "named `*_field`; only the last column of `states` is read, and the\n"
    "step arrays may have extra rows and columns (ignored), as for\n"
    "`price_and_delta_tangent_flow`. Vega is d price / d vol, where `vol`\n"
    "is the volatility level the batch's sigma scales with,\n"
    "sigma(x) = vol * s(x) (GBM: sigma(x) = vol * x): pass it to get vega;\n"
    "without it vega is NaN and its arithmetic is skipped.\n"
    "\n"
    "Prices are undiscounted unless `rate` is given: with a rate r the\n"
    "price, the Greeks and their standard errors come back times\n"
    "exp(-r T). `horizon`, `strike`, `vol`, `half_width` and `rate` must\n"
    "be finite; an estimate that is not finite has a NaN standard error.\n"
    "`pairs` as for `price_and_greeks_constant_flow`.\n"
    "\n"
    "Estimators:\n"
    "\n"
    "- `\"weights\"`: f(X_T) times the weights of\n"
    "  `greek_weights_tangent_flow` and `parameter_weights_tangent_flow`.\n"
    "- `\"lowest_variance\"` (default): pathwise for the identity, calls,\n"
    "  puts and spreads; for digitals the jump is smoothed into a ramp of\n"
    "  half-width `half_width` around the strike, taken pathwise, and the\n"
    "  rest by weights, centred. By default the half-width is twice the\n"
    "  standard deviation of X_T over the paths; that width and the\n"
    "  centring constant come from the same paths, which biases the\n"
    "  digital's Greeks by O(1/n_paths). Pass a `half_width` from a pilot\n"
    "  run to remove the width's part (refused for other payoffs and\n"
    "  estimators). On grids coarse enough for Y_T to\n"
    "  come near zero (see `parameter_weights_tangent_flow`), take the\n"
    "  digital's vega from `\"weights\"`: the centred estimator multiplies\n"
    "  the parameter weight on every path, not only above the strike.\n"
    "\n"
    "```\n"
    "g = price_and_greeks_tangent_flow(states, dws, sig, dmu, dsig,\n"
    "                                  d2mu, d2sig, 1.0, \"call\",\n"
    "                                  strike=1.2, vol=0.3)\n"
    "g.gamma, g.gamma_stderr\n"
    "```",
    kPriceAndGreeksParams, &price_and_greeks_body<&quarnel::price_and_greeks_tangent_flow>};

// The vanna's checks alone, those of price_and_greeks_tangent_flow with its vol, for
// quarnel.dask, which runs them on stand-ins of the whole batch.
Result<GreeksTangentFlowCall> check_vanna_tangent_flow(
    const SecondOrderPaths& paths, std::string_view payoff, double vol, double strike,
    std::string_view estimator, std::optional<double> half_width, std::optional<double> rate,
    std::optional<double> strike2, std::optional<std::string_view> pairs) {
    return check_price_and_greeks_tangent_flow(paths, payoff, strike, estimator, vol, half_width,
                                               rate, strike2, pairs);
}

constexpr Function kVannaTangentFlow{
    "_vanna_tangent_flow",
    "[vanna, vanna_stderr] of a built-in payoff from a path batch, with the\n"
    "arguments and conventions of price_and_greeks_tangent_flow (vol\n"
    "required); quarnel.vanna_tangent_flow names them.",
    kVannaParams, &vanna_body<&quarnel::vanna_tangent_flow>};

constexpr Function kCheckVannaTangentFlow{
    "_check_vanna_tangent_flow", "The checks of _vanna_tangent_flow alone: None, or their error.",
    kVannaParams, &vanna_body<as_check<&check_vanna_tangent_flow>>};

}  // namespace
}  // namespace quarnel::py

PyMODINIT_FUNC PyInit__greeks(void) {
    using namespace quarnel::py;
    static ModuleOnce once;
    static const auto functions =
        methods<kGreekWeightsConstantFlow, kPriceAndGreeksConstantFlow, kGreekWeightsTangentFlow,
                kGreekWeightsTangentFlowParallel, kParameterWeightsTangentFlow,
                kMixedWeightsTangentFlow, kPriceAndGreeksTangentFlow>();
    static const std::vector<Method> private_functions = [] {
        std::vector<Method> all;
        for (const Method& m :
             methods<kPanicException, kVannaVolgaConstantFlow, kVannaTangentFlow,
                     kCheckVannaTangentFlow, kPriceAndGreeksLadderConstantFlow>()) {
            all.push_back(m);
        }
        for (const Method& m : chunked_methods()) all.push_back(m);
        return all;
    }();
    // The package's own module says what a refused array was (float32, ndim=2).
    return once.init({"quarnel._greeks", "", kVersion, functions, private_functions, true});
}
