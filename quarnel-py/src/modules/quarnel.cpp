// The module `_quarnel`: its six functions, one record each, and its entry point.
// Registration order (the order of __all__) is the order of the list in PyInit__quarnel.
#include "bind/module.hpp"
#include "bind/record.hpp"
#include "core/constant_flow.hpp"
#include "core/price_delta.hpp"
#include "core/tangent_flow.hpp"
#include "core/tangent_flow_parallel.hpp"
#include "core/work_scope.hpp"
#include "modules/tangent_flow_records.hpp"
#include "quarnel/from_paths.hpp"

namespace quarnel::py {
namespace {

// _quarnel's own version, part of its fixed contract: it stays "0.1.3" while the package
// (QUARNEL_VERSION, the project's, quarnel.__version__) moves on.
constexpr const char* kVersion = "0.1.3";

// The scope in which the parallel kernels run their loop: without the interpreter lock.
constexpr WorkScope kWithoutGil{&enter_without_gil};

constexpr Function kBelWeightsConstantFlow{
    "bel_weights_constant_flow",
    "Low-level: compute per-path BEL **constant-flow** weights for a scalar\n"
    "SDE.\n"
    "\n"
    "Returns a 1-D NumPy array `w[k] = W_T_k / (T * sigma(X_0))` of length\n"
    "`n_paths`. Multiply the weights by a vectorised payoff in NumPy (or\n"
    "any other array library) and average to get the delta:\n"
    "\n"
    "```\n"
    "w = bel_weights_constant_flow(w_t, horizon=1.0, sigma_at_x0=20.0)\n"
    "delta = np.mean(np.maximum(x_t - k, 0.0) * w)\n"
    "```\n"
    "\n"
    "Use this when `sigma(X) = s*X` (GBM) or `sigma = const` (ABM); for\n"
    "general scalar SDEs use `bel_weights_tangent_flow`.",
    params(array1d("w_terminals"), real("horizon"), real("sigma_at_x0")),
    &quarnel::bel_weights_constant_flow};

constexpr Function kBelWeightsTangentFlow{
    "bel_weights_tangent_flow",
    "Low-level: compute per-path BEL **tangent-flow** weights for a scalar\n"
    "SDE.\n"
    "\n"
    "Inputs:\n"
    "\n"
    "- `states`: shape `(n_paths, n_steps + 1)`, state values along each\n"
    "  path.\n"
    "- `dws`: shape `(n_paths, n_steps)`, Brownian increments.\n"
    "- `sigma`, `d_mu_dx`, `d_sigma_dx`: arrays shape `(n_paths, n_steps)`\n"
    "  of coefficient values evaluated at each pre-update state. Passing\n"
    "  coefficient arrays rather than callables keeps the hot loop in\n"
    "  native code and avoids taking the interpreter lock once per step for\n"
    "  Python callbacks.\n"
    "- `horizon`: T.\n"
    "\n"
    "Returns a 1-D NumPy array of per-path weights `pi_k`.",
    kFirstOrderParams, &first_order_body<&quarnel::bel_weights_tangent_flow>};

constexpr Function kBelWeightsTangentFlowParallel{
    "bel_weights_tangent_flow_parallel",
    "Parallel low-level variant: the same as `bel_weights_tangent_flow`,\n"
    "but runs the per-path loop on a worker pool with the interpreter lock\n"
    "released for the duration. Recommended whenever `n_paths * n_steps` is\n"
    "large enough to amortise thread spawn cost (~10^5 path-steps or more).\n"
    "\n"
    "Uses the pool's default thread count; bound it with the environment\n"
    "variable `RAYON_NUM_THREADS`, or with a custom pool configured in\n"
    "native code.",
    kFirstOrderParams, &first_order_body<[](const FirstOrderPaths& batch) {
        return quarnel::bel_weights_tangent_flow_parallel(batch, kWithoutGil);
    }>};

constexpr Function kPriceFromSamples{
    "price_from_samples",
    "Low-level: plain Monte Carlo mean and stderr from terminal payoff\n"
    "samples. Provided for symmetry so NumPy users do not have to write\n"
    "their own variance accumulator.",
    params(array1d("samples")), [](const View1D& samples) { return price_from_paths(samples); }};

constexpr Function kPriceAndDeltaConstantFlow{
    "price_and_delta_constant_flow",
    "High-level: GBM constant-flow BEL delta. Takes terminal states and\n"
    "terminal Brownian values (as NumPy) plus a built-in payoff name, and\n"
    "returns `(price, delta, price_stderr, delta_stderr)`.\n"
    "\n"
    "Accepted payoff names: `\"identity\"`, `\"call\"`, `\"put\"` and\n"
    "`\"digital_call\"`. For arbitrary payoffs, use\n"
    "`bel_weights_constant_flow` and compose in NumPy.",
    params(array1d("terminal_states"), array1d("w_terminals"), real("horizon"), real("sigma_at_x0"),
           text("payoff"), real_or("strike", 0.0, "0.0")),
    &quarnel::price_and_delta_constant_flow};

constexpr Function kPriceAndDeltaTangentFlow{
    "price_and_delta_tangent_flow",
    "High-level: GBM tangent-flow BEL delta over full path batches. Accepts\n"
    "`(states, dws)` and the three coefficient fields and returns `(price,\n"
    "delta, price_stderr, delta_stderr)` for a built-in payoff.",
    kPriceAndDeltaParams, &price_and_delta_body<&quarnel::price_and_delta_tangent_flow>};

}  // namespace
}  // namespace quarnel::py

PyMODINIT_FUNC PyInit__quarnel(void) {
    using namespace quarnel::py;
    static ModuleOnce once;
    static const auto functions =
        methods<kBelWeightsConstantFlow, kBelWeightsTangentFlow, kBelWeightsTangentFlowParallel,
                kPriceFromSamples, kPriceAndDeltaConstantFlow, kPriceAndDeltaTangentFlow>();
    return once.init({"_quarnel", "", kVersion, functions});
}
