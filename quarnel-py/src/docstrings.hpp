// Docstrings of the module's functions. The first line is the text signature
// (CPython exposes it as __text_signature__ and strips it from __doc__).
// Prose lines wrap within 70 columns.
#pragma once

namespace quarnel::py::doc {

inline constexpr const char bel_weights_constant_flow[] =
    "bel_weights_constant_flow(w_terminals, horizon, sigma_at_x0)\n"
    "--\n"
    "\n"
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
    "general scalar SDEs use `bel_weights_tangent_flow`.";

inline constexpr const char bel_weights_tangent_flow[] =
    "bel_weights_tangent_flow(states, dws, sigma, d_mu_dx, d_sigma_dx, horizon)\n"
    "--\n"
    "\n"
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
    "Returns a 1-D NumPy array of per-path weights `pi_k`.";

inline constexpr const char bel_weights_tangent_flow_parallel[] =
    "bel_weights_tangent_flow_parallel(states, dws, sigma, d_mu_dx, d_sigma_dx, horizon)\n"
    "--\n"
    "\n"
    "Parallel low-level variant: the same as `bel_weights_tangent_flow`,\n"
    "but runs the per-path loop on a worker pool with the interpreter lock\n"
    "released for the duration. Recommended whenever `n_paths * n_steps` is\n"
    "large enough to amortise thread spawn cost (~10^5 path-steps or more).\n"
    "\n"
    "Uses the pool's default thread count; bound it with the environment\n"
    "variable `RAYON_NUM_THREADS`, or with a custom pool configured in\n"
    "native code.";

inline constexpr const char price_from_samples[] =
    "price_from_samples(samples)\n"
    "--\n"
    "\n"
    "Low-level: plain Monte Carlo mean and stderr from terminal payoff\n"
    "samples. Provided for symmetry so NumPy users do not have to write\n"
    "their own variance accumulator.";

inline constexpr const char price_and_delta_constant_flow[] =
    "price_and_delta_constant_flow(terminal_states, w_terminals, horizon, sigma_at_x0, payoff, strike=0.0)\n"
    "--\n"
    "\n"
    "High-level: GBM constant-flow BEL delta. Takes terminal states and\n"
    "terminal Brownian values (as NumPy) plus a built-in payoff name, and\n"
    "returns `(price, delta, price_stderr, delta_stderr)`.\n"
    "\n"
    "Accepted payoff names: `\"identity\"`, `\"call\"`, `\"put\"` and\n"
    "`\"digital_call\"`. For arbitrary payoffs, use\n"
    "`bel_weights_constant_flow` and compose in NumPy.";

inline constexpr const char price_and_delta_tangent_flow[] =
    "price_and_delta_tangent_flow(states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, horizon, payoff, strike=0.0)\n"
    "--\n"
    "\n"
    "High-level: GBM tangent-flow BEL delta over full path batches. Accepts\n"
    "`(states, dws)` and the three coefficient fields and returns `(price,\n"
    "delta, price_stderr, delta_stderr)` for a built-in payoff.";

}  // namespace quarnel::py::doc
