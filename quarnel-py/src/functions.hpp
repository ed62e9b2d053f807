// The bodies of the module's six functions. Each binds and converts its arguments,
// calls one plain C++ kernel or estimator, and builds the result. They throw
// (PythonError, InternalFault); the call entry in module.cpp catches.
#pragma once

#include "pyref.hpp"

namespace quarnel::py {

using Body = Ref (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

Ref bel_weights_constant_flow(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref bel_weights_tangent_flow(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref bel_weights_tangent_flow_parallel(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref price_from_samples(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref price_and_delta_constant_flow(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref price_and_delta_tangent_flow(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace quarnel::py
