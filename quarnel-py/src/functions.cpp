#include "functions.hpp"

#include "args.hpp"
#include "constant_flow.hpp"
#include "errors.hpp"
#include "numpy_bind.hpp"
#include "price_delta.hpp"
#include "quarnel/from_paths.hpp"
#include "tangent_flow.hpp"
#include "tangent_flow_parallel.hpp"

namespace quarnel::py {
namespace {

constexpr Signature<6> kTangentFlowWeights{
    "bel_weights_tangent_flow", {"states", "dws", "sigma", "d_mu_dx", "d_sigma_dx", "horizon"}};
constexpr Signature<6> kTangentFlowWeightsParallel{
    "bel_weights_tangent_flow_parallel",
    {"states", "dws", "sigma", "d_mu_dx", "d_sigma_dx", "horizon"}};

// The five matrices and the horizon of the weight functions, converted in order.
struct WeightArgs {
    HeldArray<View2D> states, dws, sigma, d_mu_dx, d_sigma_dx;
    double horizon;
};

WeightArgs convert_weight_args(const Signature<6>& sig, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    const Slots<6> a = bind(sig, args, nargs, kwnames);
    WeightArgs w{to_view_2d(a[0], "states"), to_view_2d(a[1], "dws"), to_view_2d(a[2], "sigma"),
                 to_view_2d(a[3], "d_mu_dx"), to_view_2d(a[4], "d_sigma_dx"), 0.0};
    w.horizon = to_double(a[5], "horizon");
    return w;
}

Ref price_delta_tuple(const PriceDelta& r) {
    const double values[4] = {r.price, r.delta, r.price_stderr, r.delta_stderr};
    return make_float_tuple(values, 4);
}

}  // namespace

Ref bel_weights_constant_flow(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature<3> sig{"bel_weights_constant_flow",
                                      {"w_terminals", "horizon", "sigma_at_x0"}};
    const Slots<3> a = bind(sig, args, nargs, kwnames);
    const HeldArray<View1D> w = to_view_1d(a[0], "w_terminals");
    const double horizon = to_double(a[1], "horizon");
    const double sigma_at_x0 = to_double(a[2], "sigma_at_x0");
    return to_result_array(unwrap(quarnel::bel_weights_constant_flow(w.view, horizon, sigma_at_x0)));
}

Ref bel_weights_tangent_flow(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const WeightArgs w = convert_weight_args(kTangentFlowWeights, args, nargs, kwnames);
    return to_result_array(unwrap(quarnel::bel_weights_tangent_flow(
        w.states.view, w.dws.view, w.sigma.view, w.d_mu_dx.view, w.d_sigma_dx.view, w.horizon)));
}

Ref bel_weights_tangent_flow_parallel(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const WeightArgs w = convert_weight_args(kTangentFlowWeightsParallel, args, nargs, kwnames);
    // Validation runs with the lock held: a failing call never releases it and never
    // starts the pool.
    const BatchShape shape = unwrap(validate_path_batch(
        w.horizon, w.states.view,
        {{{"dws", &w.dws.view},
          {"sigma", &w.sigma.view},
          {"d_mu_dx", &w.d_mu_dx.view},
          {"d_sigma_dx", &w.d_sigma_dx.view}}}));
    const TangentFlowBatch batch =
        make_batch(w.dws.view, w.sigma.view, w.d_mu_dx.view, w.d_sigma_dx.view, shape, w.horizon);
    Result<Buffer> weights = [&] {
        const ReleaseGil unlocked;  // retaken on every way out, faults included
        return tangent_flow_weights_parallel(batch);
    }();
    return to_result_array(unwrap(std::move(weights)));
}

Ref price_from_samples(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature<1> sig{"price_from_samples", {"samples"}};
    const Slots<1> a = bind(sig, args, nargs, kwnames);
    const HeldArray<View1D> samples = to_view_1d(a[0], "samples");
    const MeanStderr r = price_from_paths(samples.view);
    const double values[2] = {r.mean, r.stderr_};
    return make_float_tuple(values, 2);
}

Ref price_and_delta_constant_flow(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature<6> sig{
        "price_and_delta_constant_flow",
        {"terminal_states", "w_terminals", "horizon", "sigma_at_x0", "payoff", "strike"},
        5};
    const Slots<6> a = bind(sig, args, nargs, kwnames);
    const HeldArray<View1D> states = to_view_1d(a[0], "terminal_states");
    const HeldArray<View1D> w = to_view_1d(a[1], "w_terminals");
    const double horizon = to_double(a[2], "horizon");
    const double sigma_at_x0 = to_double(a[3], "sigma_at_x0");
    const std::string_view payoff = to_utf8(a[4], "payoff");
    const double strike = to_double_or(a[5], "strike", 0.0);
    return price_delta_tuple(unwrap(quarnel::price_and_delta_constant_flow(
        states.view, w.view, horizon, sigma_at_x0, payoff, strike)));
}

Ref price_and_delta_tangent_flow(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature<8> sig{"price_and_delta_tangent_flow",
                                      {"states", "dws", "sigma_field", "d_mu_dx_field",
                                       "d_sigma_dx_field", "horizon", "payoff", "strike"},
                                      7};
    const Slots<8> a = bind(sig, args, nargs, kwnames);
    const HeldArray<View2D> states = to_view_2d(a[0], "states");
    const HeldArray<View2D> dws = to_view_2d(a[1], "dws");
    const HeldArray<View2D> sigma = to_view_2d(a[2], "sigma_field");
    const HeldArray<View2D> d_mu_dx = to_view_2d(a[3], "d_mu_dx_field");
    const HeldArray<View2D> d_sigma_dx = to_view_2d(a[4], "d_sigma_dx_field");
    const double horizon = to_double(a[5], "horizon");
    const std::string_view payoff = to_utf8(a[6], "payoff");
    const double strike = to_double_or(a[7], "strike", 0.0);
    return price_delta_tuple(unwrap(quarnel::price_and_delta_tangent_flow(
        states.view, dws.view, sigma.view, d_mu_dx.view, d_sigma_dx.view, horizon, payoff,
        strike)));
}

}  // namespace quarnel::py
