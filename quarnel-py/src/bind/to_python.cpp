#include "bind/to_python.hpp"

namespace quarnel::py {
namespace {

// The named tuple class of the package, looked up once (under the interpreter lock;
// a second lookup racing with the first finds the same class).
PyObject* greeks_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        Ref module = check(PyImport_ImportModule("quarnel._types"));
        Ref cls = check(PyObject_GetAttrString(module.get(), "Greeks"));
        if (type == nullptr) type = cls.release();
    }
    return type;
}

}  // namespace

Ref to_python(Matrix m) { return to_result_array(std::move(m.buffer), m.rows, m.cols); }

Ref to_python(const MeanStderr& r) {
    const double values[2] = {r.mean, r.stderr_};
    return make_float_tuple(values, 2);
}

Ref to_python(const PriceDelta& r) {
    const double values[4] = {r.price, r.delta, r.price_stderr, r.delta_stderr};
    return make_float_tuple(values, 4);
}

Ref to_python(const Greeks& g) {
    const double values[10] = {g.price,       g.delta,        g.gamma,        g.vega,
                               g.rho,         g.price_stderr, g.delta_stderr, g.gamma_stderr,
                               g.vega_stderr, g.rho_stderr};
    Ref fields = make_float_tuple(values, 10);
    return check(PyObject_CallObject(greeks_type(), fields.get()));
}

}  // namespace quarnel::py
