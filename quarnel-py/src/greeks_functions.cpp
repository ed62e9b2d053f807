// The module `quarnel._greeks`: the Greeks beyond delta, one record per function, and
// its entry point. Registration order (the order of __all__) is the order of the list
// in PyInit__greeks.
#include "greeks_constant_flow.hpp"
#include "module.hpp"
#include "record.hpp"
#include "work_scope.hpp"

namespace quarnel::py {
namespace {

constexpr const char* kVersion = QUARNEL_VERSION;  // the project version, from CMake

// The scope in which the parallel kernels run their loop: without the interpreter lock.
[[maybe_unused]] constexpr WorkScope kWithoutGil{&enter_without_gil};

// The package's handle on the one PanicException class of the process (created here
// if no fault has needed it yet), so that users can catch it by name.
constexpr Function kPanicException{
    "_panic_exception", "The class of internal faults, quarnel.PanicException.", params(),
    []() {
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
    "Payoffs: `\"identity\"`, `\"call\"`, `\"put\"`, `\"digital_call\"`.\n"
    "Estimators:\n"
    "\n"
    "- `\"weights\"`: f(X_T) times the weights of\n"
    "  `greek_weights_constant_flow`. Price and delta equal\n"
    "  `price_and_delta_constant_flow` with `sigma_at_x0 = vol * x0`\n"
    "  (GBM) or `vol` (ABM), bit for bit.\n"
    "- `\"lowest_variance\"` (default): pathwise Greeks for the identity,\n"
    "  calls and puts (5 to 16 times lower variance); for digitals the\n"
    "  jump is smoothed into a ramp of half-width `half_width` around the\n"
    "  strike, taken pathwise, and the rest by weights, centred (about 20\n"
    "  times lower for delta, 8 for gamma and vega). By default the\n"
    "  half-width is twice the standard deviation of X_T over the paths;\n"
    "  that width and the centring constant come from the same paths,\n"
    "  which biases the digital's Greeks by O(1/n_paths), far below the\n"
    "  standard error. Pass a `half_width` from a pilot run to remove the\n"
    "  width's part.\n"
    "\n"
    "```\n"
    "g = price_and_greeks_constant_flow(x_t, w_t, 1.0, 100.0, 0.2,\n"
    "                                   \"call\", strike=100.0)\n"
    "g.gamma, g.gamma_stderr\n"
    "```",
    params(array1d("terminal_states"), array1d("w_terminals"), real("horizon"), real("x0"),
           real("vol"), text("payoff"), real_or("strike", 0.0, "0.0"),
           text_or("model", "gbm", "'gbm'"),
           text_or("estimator", "lowest_variance", "'lowest_variance'"),
           real_or_none("half_width")),
    [](const View1D& terminal_states, const View1D& w_terminals, double horizon, double x0,
       double vol, std::string_view payoff, double strike, std::string_view model,
       std::string_view estimator, const std::optional<double>& half_width) {
        return quarnel::price_and_greeks_constant_flow(terminal_states, w_terminals, horizon,
                                                       x0, vol, payoff, strike, model,
                                                       estimator, half_width);
    }};

}  // namespace
}  // namespace quarnel::py

PyMODINIT_FUNC PyInit__greeks(void) {
    using namespace quarnel::py;
    static ModuleOnce once;
    static const auto functions = methods<kGreekWeightsConstantFlow, kPriceAndGreeksConstantFlow>();
    static const auto private_functions = methods<kPanicException>();
    return once.init({"quarnel._greeks", "", kVersion, functions, private_functions});
}
