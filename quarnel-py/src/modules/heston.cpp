// The module `quarnel._heston`: the Heston model's tangents, Greek weights and
// price-and-Greeks from the caller's Brownian increments, one record per function.
#include "core/heston.hpp"

#include <optional>
#include <string_view>
#include <tuple>

#include "bind/module.hpp"
#include "bind/record.hpp"
#include "core/fused.hpp"
#include "core/work_scope.hpp"

namespace quarnel::py {
namespace {

constexpr const char* kVersion = QUARNEL_VERSION;

// The pool work runs without the interpreter lock; validation before it, with it.
constexpr WorkScope kWithoutGil{&enter_without_gil};

// quarnel._heston_types.HestonGreeks, looked up once under the interpreter lock.
PyObject* heston_greeks_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        Ref module = check(PyImport_ImportModule("quarnel._heston_types"));
        Ref cls = check(PyObject_GetAttrString(module.get(), "HestonGreeks"));
        if (type == nullptr) type = cls.release();
    }
    return type;
}

Ref to_heston_greeks(Result<HestonGreeks>&& result) {
    const HestonGreeks g = unwrap(std::move(result));
    double values[2 * kHestonGreeks];
    for (std::size_t i = 0; i < kHestonGreeks; ++i) {
        values[i] = g.value[i];
        values[kHestonGreeks + i] = g.stderr_[i];
    }
    Ref fields = make_float_tuple(values, 2 * kHestonGreeks);
    return check(PyObject_CallObject(heston_greeks_type(), fields.get()));
}

// The parameters every function starts with; the weights' and the estimators' lists.
constexpr auto kModelParams =
    params(array2d("dw_v"), array2d("dw_perp"), real("horizon"), real("s0"), real("v0"),
           real("kappa"), real("theta"), real("xi"), real("rho"));
constexpr auto kWeightsParams = std::tuple_cat(kModelParams, params(real_or("mu", 0.0, "0.0")));
constexpr auto kEstimateParams = std::tuple_cat(
    kModelParams, params(text("payoff"), real("strike"), real_or("mu", 0.0, "0.0"),
                         text_or("estimator", "lowest_variance", "'lowest_variance'"),
                         real_or_none("rate"), real_or_none("half_width")));

#define QUARNEL_HESTON_SCHEME_DOC                                               \
    "The model dS = mu S dt + sqrt(v) S (rho dB + sqrt(1 - rho^2) dZ),\n"       \
    "dv = kappa (theta - v) dt + xi sqrt(v) dB, on a uniform grid of\n"         \
    "`n_steps` steps over `horizon`, driven by the caller's independent\n"      \
    "Brownian increments `dw_v` (dB) and `dw_perp` (dZ), each of shape\n"       \
    "`(n_paths, n_steps)`, any strides. The scheme: full-truncation Euler on\n" \
    "v (v+ = max(v, 0) in drift and diffusion), log-Euler on S:\n"              \
    "\n"                                                                        \
    "    v[j+1] = v[j] + kappa (theta - v[j]+) dt + xi sqrt(v[j]+) dB[j]\n"     \
    "    ln S[j+1] = ln S[j] + (mu - v[j]+ / 2) dt\n"                           \
    "                + sqrt(v[j]+) (rho dB[j] + sqrt(1 - rho^2) dZ[j])\n"       \
    "\n"

constexpr Function kTangentsHeston{
    "tangents_heston",
    "Low-level: the scheme's terminal state and its tangent, per path.\n"
    "\n" QUARNEL_HESTON_SCHEME_DOC
    "Returns a float64 array of shape `(n_paths, 14)`: S_T, v_T, then\n"
    "dS_T/dp and dv_T/dp for p in (s0, v0, kappa, theta, xi, rho), exact\n"
    "derivatives of the scheme above, from one forward pass:\n"
    "\n"
    "```\n"
    "t = tangents_heston(db, dz, 1.0, 100.0, 0.04, 2.0, 0.04, 0.3, -0.7)\n"
    "delta = np.mean((t[:, 0] > 100.0) * t[:, 2])\n"
    "```",
    kWeightsParams,
    [](const View2D& dw_v, const View2D& dw_perp, double horizon, double s0, double v0,
       double kappa, double theta, double xi, double rho, double mu) {
        return quarnel::heston_tangents({dw_v, dw_perp, horizon},
                                        {s0, v0, kappa, theta, xi, rho, mu}, kWithoutGil);
    }};

constexpr Function kGreekWeightsHeston{
    "greek_weights_heston",
    "Low-level: per-path Greek weights for any payoff of S_T under Heston,\n"
    "exact for the scheme at every number of steps.\n"
    "\n" QUARNEL_HESTON_SCHEME_DOC
    "Returns a float64 array of shape `(n_paths, 8)`: S_T, then the weights\n"
    "of delta, gamma, vega (d/d sqrt(v0)), kappa, theta, xi and rho (the\n"
    "correlation). Each Greek of f is the mean of f(S_T) times its column:\n"
    "\n"
    "```\n"
    "g = greek_weights_heston(db, dz, 1.0, 100.0, 0.04, 2.0, 0.04, 0.3, -0.7)\n"
    "f = (g[:, 0] > 100.0).astype(float)\n"
    "greeks = (f[:, None] * g[:, 1:]).mean(axis=0)\n"
    "```\n"
    "\n"
    "The weights integrate by parts along Z: given B, ln S_T is Gaussian\n"
    "with variance (1 - rho^2) dt sum v[j]+, and each weight is the score of\n"
    "that law in its parameter. They never divide by one step's variance, so\n"
    "steps truncated to zero are harmless.",
    kWeightsParams,
    [](const View2D& dw_v, const View2D& dw_perp, double horizon, double s0, double v0,
       double kappa, double theta, double xi, double rho, double mu) {
        return quarnel::heston_greek_weights({dw_v, dw_perp, horizon},
                                             {s0, v0, kappa, theta, xi, rho, mu}, kWithoutGil);
    }};

constexpr Function kPriceAndGreeksHeston{
    "price_and_greeks_heston",
    "High-level: price, delta, gamma, vega, and the kappa, theta, xi and rho\n"
    "Greeks of a built-in payoff under Heston, each with its standard error,\n"
    "in a `HestonGreeks` named tuple. vega is d price / d sqrt(v0) (the\n"
    "initial volatility; the v0 Greek is vega / (2 sqrt(v0))), rho the\n"
    "correlation's Greek.\n"
    "\n" QUARNEL_HESTON_SCHEME_DOC
    "Payoffs: \"call\", \"put\", \"digital\" (cash-or-nothing call),\n"
    "\"digital_put\". Estimators: \"weights\", f(S_T) times the columns of\n"
    "`greek_weights_heston`; \"lowest_variance\" (default), pathwise\n"
    "(f'(S_T) times the tangents) for calls and puts, with gamma as\n"
    "f'(S_T) S_T (z - 1) / s0^2 (z the delta weight's score); for digitals\n"
    "the weights, each Greek centred on its own weight (regression on it,\n"
    "an O(1/n_paths) bias far below the error), and with `half_width` the\n"
    "jump smoothed into a ramp of that half-width around the strike, taken\n"
    "pathwise (a width of about two standard deviations of S_T, from a\n"
    "pilot run, lowers the variance most). Prices are undiscounted unless `rate` is given:\n"
    "then every value is multiplied by exp(-rate horizon), and every error\n"
    "is that of the discounted sample (the drift stays `mu`; pass\n"
    "`mu=rate` for the risk-neutral measure).\n"
    "\n"
    "```\n"
    "g = price_and_greeks_heston(db, dz, 1.0, 100.0, 0.04, 2.0, 0.04, 0.3,\n"
    "                            -0.7, \"call\", 100.0, mu=0.03, rate=0.03)\n"
    "g.xi, g.xi_stderr\n"
    "```",
    kEstimateParams,
    [](const View2D& dw_v, const View2D& dw_perp, double horizon, double s0, double v0,
       double kappa, double theta, double xi, double rho, std::string_view payoff, double strike,
       double mu, std::string_view estimator, const std::optional<double>& rate,
       const std::optional<double>& half_width) {
        return to_heston_greeks(quarnel::price_and_greeks_heston(
            {dw_v, dw_perp, horizon}, {s0, v0, kappa, theta, xi, rho, mu}, payoff, strike,
            estimator, rate, half_width, kWithoutGil));
    }};

constexpr Function kHestonSamples{
    "_heston_samples",
    "The per-path samples (n_paths, 8) of price_and_greeks_heston over a\n"
    "chunk of paths, checked as that function checks: summed in path order\n"
    "(continue_sums), they give its estimate bit for bit.",
    kEstimateParams,
    [](const View2D& dw_v, const View2D& dw_perp, double horizon, double s0, double v0,
       double kappa, double theta, double xi, double rho, std::string_view payoff, double strike,
       double mu, std::string_view estimator, const std::optional<double>& rate,
       const std::optional<double>& half_width) {
        return quarnel::heston_chunk_samples({dw_v, dw_perp, horizon},
                                             {s0, v0, kappa, theta, xi, rho, mu}, payoff, strike,
                                             estimator, rate, half_width, kWithoutGil);
    }};

#undef QUARNEL_HESTON_SCHEME_DOC

// The fused paths: the model's parameters, the grid and the seed's two 32-bit halves (a
// float holds each exactly), which quarnel/_fused_api.py unpacks from its objects.
constexpr auto kFusedParams = params(
    real("s0"), real("v0"), real("kappa"), real("theta"), real("xi"), real("rho"), real("mu"),
    real("n_paths"), real("n_steps"), real("horizon"), real("seed_lo"), real("seed_hi"));

Result<FusedGrid> heston_grid(double n_paths, double n_steps, double horizon, double seed_lo,
                              double seed_hi) {
    return fused_grid(n_paths, n_steps, horizon, seed_lo, seed_hi, 0.0);
}

constexpr Function kSimulateFused{
    "_simulate_fused",
    "The increments (dw_v, dw_perp) of the fused Heston paths, each\n"
    "(n_paths, n_steps): sqrt(horizon / n_steps) times the normals z[k, 2j]\n"
    "and z[k, 2j + 1] of the generator keyed by the seed, for the paths\n"
    "first_path on (the chunks of quarnel.dask.price_and_greeks_heston_fused).",
    std::tuple_cat(kFusedParams, params(real_or("first_path", 0.0, "0.0"))),
    [](double s0, double v0, double kappa, double theta, double xi, double rho, double mu,
       double n_paths, double n_steps, double horizon, double seed_lo, double seed_hi,
       double first_path) -> Result<Ref> {
        Result<FusedGrid> grid =
            fused_grid(n_paths, n_steps, horizon, seed_lo, seed_hi, first_path);
        if (!grid.ok()) return grid.error();
        Result<HestonIncrementMatrices> inc = quarnel::heston_simulate(
            {s0, v0, kappa, theta, xi, rho, mu}, grid.value(), kWithoutGil);
        if (!inc.ok()) return inc.error();
        Ref dw_v = to_python(std::move(inc.value().dw_v));
        Ref dw_perp = to_python(std::move(inc.value().dw_perp));
        return check(PyTuple_Pack(2, dw_v.get(), dw_perp.get()));
    }};

constexpr Function kPriceAndGreeksFused{
    "_price_and_greeks_fused",
    "price_and_greeks_heston on the fused paths of the seed, simulated and\n"
    "estimated in one pass with no increment stored.",
    std::tuple_cat(kFusedParams,
                   params(text("payoff"), real("strike"),
                          text_or("estimator", "lowest_variance", "'lowest_variance'"),
                          real_or_none("rate"), real_or_none("half_width"))),
    [](double s0, double v0, double kappa, double theta, double xi, double rho, double mu,
       double n_paths, double n_steps, double horizon, double seed_lo, double seed_hi,
       std::string_view payoff, double strike, std::string_view estimator,
       const std::optional<double>& rate, const std::optional<double>& half_width) {
        Result<FusedGrid> grid = heston_grid(n_paths, n_steps, horizon, seed_lo, seed_hi);
        if (!grid.ok()) return to_heston_greeks(grid.error());
        return to_heston_greeks(quarnel::price_and_greeks_heston_fused(
            {s0, v0, kappa, theta, xi, rho, mu}, grid.value(), payoff, strike, estimator, rate,
            half_width, kWithoutGil));
    }};

}  // namespace
}  // namespace quarnel::py

PyMODINIT_FUNC PyInit__heston(void) {
    using namespace quarnel::py;
    static ModuleOnce once;
    static const auto functions =
        methods<kTangentsHeston, kGreekWeightsHeston, kPriceAndGreeksHeston>();
    static const auto private_functions =
        methods<kHestonSamples, kSimulateFused, kPriceAndGreeksFused>();
    return once.init({"quarnel._heston", "", kVersion, functions, private_functions});
}
