// Binding of fast-call arguments to named parameters, and conversion of scalar
// arguments. Array arguments are converted in numpy_bind.hpp.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "bind/pyref.hpp"

namespace quarnel::py {

// One function's parameter list: every parameter may be given by position or by
// keyword; the first `required` are required, the rest optional.
template <std::size_t N>
struct Signature {
    const char* function;
    std::array<const char*, N> params;
    std::size_t required = N;
};

// Borrowed argument objects by parameter; nullptr for an omitted optional one.
template <std::size_t N>
using Slots = std::array<PyObject*, N>;

void bind_arguments(const char* function, const char* const* params, std::size_t n_params,
                    std::size_t required, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots);

template <std::size_t N>
Slots<N> bind(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Slots<N> slots{};
    bind_arguments(sig.function, sig.params.data(), N, sig.required, args, nargs, kwnames,
                   slots.data());
    return slots;
}

// Anything PyFloat_AsDouble takes: floats, ints, bools, NumPy scalars, __float__ or
// __index__. No range check: the computing code owns the domain checks.
double to_double(PyObject* obj, const char* name);

// An omitted optional float takes its default without conversion.
inline double to_double_or(PyObject* obj, const char* name, double fallback) {
    return obj == nullptr ? fallback : to_double(obj, name);
}

// UTF-8 text of a str (or subclass), borrowed from the object for the call.
std::string_view to_utf8(PyObject* obj, const char* name);

// Raises the TypeError of a failed downcast:
// "argument '<name>': '<qualname of type>' object cannot be converted to '<expected>'".
[[noreturn]] void throw_downcast_error(PyObject* obj, const char* name, const char* expected);
// The same with ", got <found>" after it (`found` a str: "float32", "ndim=2").
[[noreturn]] void throw_downcast_error(PyObject* obj, const char* name, const char* expected,
                                       PyObject* found);

}  // namespace quarnel::py
