// The module `quarnel._stream`: the native side of quarnel.TangentFlowAccumulator. The
// accumulator's state (core/stream.hpp) travels as a capsule that owns it; each
// function takes the capsule first and holds the state for the length of the call.
// All of them are private: the Python class is the interface.
#include "core/stream.hpp"

#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "bind/module.hpp"
#include "bind/record.hpp"
#include "core/work_scope.hpp"

namespace quarnel::py {
namespace {

constexpr const char* kVersion = QUARNEL_VERSION;
constexpr WorkScope kWithoutGil{&enter_without_gil};
constexpr const char* kCapsuleName = "quarnel._stream.state";

void free_state(PyObject* capsule) noexcept {
    delete static_cast<TangentFlowStream*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

// A non-negative integer (anything with __index__).
struct SizeParam {
    const char* name;
    using Held = std::size_t;
    static constexpr bool required = true;
    std::size_t convert(PyObject* obj) const {
        Ref index = Ref::steal(PyNumber_Index(obj));
        if (!index) throw_argument_error(name);
        const Py_ssize_t n = PyLong_AsSsize_t(index.get());
        if (n == -1 && PyErr_Occurred() != nullptr) throw_pending();
        if (n < 0) {
            throw_model_error(
                {std::string(name) + " must be non-negative, got " + std::to_string(n)});
        }
        return static_cast<std::size_t>(n);
    }
    static std::size_t value(std::size_t v) noexcept { return v; }
};

// The accumulator's capsule, as a borrowed pointer to its state.
struct StateParam {
    const char* name;
    using Held = TangentFlowStream*;
    static constexpr bool required = true;
    TangentFlowStream* convert(PyObject* obj) const {
        if (PyCapsule_IsValid(obj, kCapsuleName) == 0) {
            throw_downcast_error(obj, name, "TangentFlowAccumulator state");
        }
        return static_cast<TangentFlowStream*>(PyCapsule_GetPointer(obj, kCapsuleName));
    }
    static TangentFlowStream* value(TangentFlowStream* v) noexcept { return v; }
};

constexpr SizeParam size(const char* name) { return {name}; }
constexpr StateParam state(const char* name) { return {name}; }

// The state for one call. A step runs without the interpreter lock, so a second thread
// could reach the same state meanwhile: it is refused instead of racing.
class InUse {
public:
    explicit InUse(TangentFlowStream* s) : s_(s) {
        if (s_->in_use.exchange(true, std::memory_order_acquire)) {
            PyErr_SetString(PyExc_RuntimeError,
                            "the accumulator is in use by another thread: step it from one "
                            "thread at a time");
            throw PythonError{};
        }
    }
    ~InUse() { s_->in_use.store(false, std::memory_order_release); }
    InUse(const InUse&) = delete;
    InUse& operator=(const InUse&) = delete;
    TangentFlowStream& operator*() const noexcept { return *s_; }
    TangentFlowStream* operator->() const noexcept { return s_; }

private:
    TangentFlowStream* s_;
};

Ref none() { return Ref::borrow(Py_None); }

Ref no_error(std::optional<ModelError>&& err) {
    if (err) throw_model_error(*err);
    return none();
}

constexpr Function kNew{
    "_new",
    "A new accumulator state for n_paths paths of n_steps uniform steps over\n"
    "horizon; order is 'first_order', 'second_order' or 'second_order_vega'.",
    params(size("n_paths"), size("n_steps"), real("horizon"), text("order")),
    [](std::size_t n_paths, std::size_t n_steps, double horizon, std::string_view order) {
        const StreamOrder o = unwrap(stream_order_named(order));
        std::unique_ptr<TangentFlowStream> s =
            unwrap(TangentFlowStream::create(n_paths, n_steps, horizon, o));
        // The capsule owns the state from here; if it cannot be made, nothing does.
        TangentFlowStream* owned = s.release();
        PyObject* capsule = PyCapsule_New(owned, kCapsuleName, &free_state);
        if (capsule == nullptr) {
            delete owned;
            throw_pending();
        }
        return Ref::steal(capsule);
    }};

constexpr Function kStep{
    "_step", "One step of a second-order accumulator, every array 1-D of n_paths.",
    params(state("accumulator"), array1d("dw"), array1d("sigma"), array1d("d_mu_dx"),
           array1d("d_sigma_dx"), array1d("d2_mu_dx2"), array1d("d2_sigma_dx2")),
    [](TangentFlowStream* s, const View1D& dw, const View1D& sigma, const View1D& d_mu_dx,
       const View1D& d_sigma_dx, const View1D& d2_mu_dx2, const View1D& d2_sigma_dx2) {
        InUse held(s);
        return no_error(held->step({.dw = dw,
                                    .sigma = sigma,
                                    .d_mu_dx = d_mu_dx,
                                    .d_sigma_dx = d_sigma_dx,
                                    .d2_mu_dx2 = d2_mu_dx2,
                                    .d2_sigma_dx2 = d2_sigma_dx2,
                                    .second = true},
                                   kWithoutGil));
    }};

constexpr Function kStepFirstOrder{
    "_step_first_order", "One step of a first-order accumulator, every array 1-D of n_paths.",
    params(state("accumulator"), array1d("dw"), array1d("sigma"), array1d("d_mu_dx"),
           array1d("d_sigma_dx")),
    [](TangentFlowStream* s, const View1D& dw, const View1D& sigma, const View1D& d_mu_dx,
       const View1D& d_sigma_dx) {
        InUse held(s);
        return no_error(held->step({.dw = dw,
                                    .sigma = sigma,
                                    .d_mu_dx = d_mu_dx,
                                    .d_sigma_dx = d_sigma_dx,
                                    .d2_mu_dx2 = {},
                                    .d2_sigma_dx2 = {},
                                    .second = false},
                                   kWithoutGil));
    }};

constexpr Function kReset{"_reset", "Back to the state before the first step.",
                          params(state("accumulator")), [](TangentFlowStream* s) {
                              InUse held(s);
                              held->reset();
                              return none();
                          }};

constexpr Function kStepsTaken{"_steps_taken", "The number of steps taken so far.",
                               params(state("accumulator")), [](TangentFlowStream* s) {
                                   InUse held(s);
                                   return check(PyLong_FromSize_t(held->steps_taken()));
                               }};

constexpr Function kBelWeights{"_bel_weights", "bel_weights_tangent_flow of the steps.",
                               params(state("accumulator")), [](TangentFlowStream* s) {
                                   InUse held(s);
                                   return held->bel_weights();
                               }};

constexpr Function kGreekWeights{"_greek_weights", "greek_weights_tangent_flow of the steps.",
                                 params(state("accumulator")), [](TangentFlowStream* s) {
                                     InUse held(s);
                                     return held->greek_weights();
                                 }};

constexpr Function kVegaWeights{"_vega_weights",
                                "parameter_weights_tangent_flow of the parallel volatility bump.",
                                params(state("accumulator")), [](TangentFlowStream* s) {
                                    InUse held(s);
                                    return held->vega_weights();
                                }};

constexpr Function kPriceAndGreeks{
    "_price_and_greeks", "price_and_greeks_tangent_flow of the steps and the terminal states.",
    params(state("accumulator"), array1d("terminal_states"), text("payoff"),
           real_or("strike", 0.0, "0.0"),
           text_or("estimator", "lowest_variance", "'lowest_variance'"), real_or_none("vol"),
           real_or_none("half_width"), real_or_none("rate"), real_or_none("strike2")),
    [](TangentFlowStream* s, const View1D& terminal_states, std::string_view payoff, double strike,
       std::string_view estimator, const std::optional<double>& vol,
       const std::optional<double>& half_width, const std::optional<double>& rate,
       const std::optional<double>& strike2) {
        InUse held(s);
        return held->price_and_greeks(terminal_states, payoff, strike, estimator, vol, half_width,
                                      rate, strike2);
    }};

}  // namespace
}  // namespace quarnel::py

PyMODINIT_FUNC PyInit__stream(void) {
    using namespace quarnel::py;
    static ModuleOnce once;
    static const auto private_functions =
        methods<kNew, kStep, kStepFirstOrder, kReset, kStepsTaken, kBelWeights, kGreekWeights,
                kVegaWeights, kPriceAndGreeks>();
    return once.init({"quarnel._stream", "", kVersion, {}, private_functions});
}
