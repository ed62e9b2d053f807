#include "bind/args.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "bind/errors.hpp"

namespace quarnel::py {
namespace {

std::string quoted_list(const std::string* names, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) out += (n == 2) ? " and " : (i + 1 == n ? ", and " : ", ");
        out += "'" + names[i] + "'";
    }
    return out;
}

}  // namespace

void bind_arguments(const char* function, const char* const* params, std::size_t n_params,
                    std::size_t required, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots) {
    const std::string fn = std::string(function) + "()";
    const auto n_pos = static_cast<std::size_t>(nargs);
    if (n_pos > n_params) {
        const std::string given = std::to_string(n_pos) + (n_pos == 1 ? " was" : " were");
        if (required == n_params) {
            throw_type_error(fn + " takes " + std::to_string(n_params) +
                             " positional arguments but " + given + " given");
        }
        throw_type_error(fn + " takes from " + std::to_string(required) + " to " +
                         std::to_string(n_params) + " positional arguments but " + given +
                         " given");
    }
    for (std::size_t i = 0; i < n_pos; ++i) slots[i] = args[i];

    const Py_ssize_t n_kw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < n_kw; ++k) {
        PyObject* key = PyTuple_GetItem(kwnames, k);
        if (key == nullptr) throw_pending();
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
        std::size_t i = n_params;
        if (utf8 != nullptr) {
            const std::string_view kw(utf8, static_cast<std::size_t>(size));
            i = 0;
            while (i < n_params && kw != params[i]) ++i;
        } else {
            // A name with no UTF-8 form (a lone surrogate) matches no parameter: it is
            // an unexpected keyword, as for a plain def, not an encoding failure.
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_pending();
            PyErr_Clear();
        }
        if (i == n_params) {
            // Formatted from the name object itself: it may hold a NUL or a surrogate.
            Ref message = check(PyUnicode_FromFormat("%s() got an unexpected keyword argument '%U'",
                                                     function, key));
            PyErr_SetObject(PyExc_TypeError, message.get());
            throw PythonError{};
        }
        if (slots[i] != nullptr) {
            throw_type_error(fn + " got multiple values for argument '" + params[i] + "'");
        }
        slots[i] = args[nargs + k];
    }

    // As many names as the function has required parameters: CPython lists them all.
    std::vector<std::string> missing;
    for (std::size_t i = n_pos; i < required; ++i) {
        if (slots[i] == nullptr) missing.emplace_back(params[i]);
    }
    const std::size_t n_missing = missing.size();
    if (n_missing > 0) {
        throw_type_error(fn + " missing " + std::to_string(n_missing) + " required positional " +
                         (n_missing == 1 ? "argument" : "arguments") + ": " +
                         quoted_list(missing.data(), n_missing));
    }
}

double to_double(PyObject* obj, const char* name) {
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred() != nullptr) throw_argument_error(name);
    return v;
}

std::string_view to_utf8(PyObject* obj, const char* name) {
    if (!PyUnicode_Check(obj)) throw_downcast_error(obj, name, "str");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) throw_argument_error(name);  // lone surrogates: UnicodeEncodeError
    return {utf8, static_cast<std::size_t>(size)};
}

void throw_downcast_error(PyObject* obj, const char* name, const char* expected, PyObject* found) {
    Ref qualname =
        check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    Ref message = check(PyUnicode_FromFormat("'%S' object cannot be converted to '%s', got %S",
                                             qualname.get(), expected, found));
    PyErr_SetObject(PyExc_TypeError, message.get());
    throw_argument_error(name);
}

void throw_downcast_error(PyObject* obj, const char* name, const char* expected) {
    Ref qualname =
        check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    Ref message = check(
        PyUnicode_FromFormat("'%S' object cannot be converted to '%s'", qualname.get(), expected));
    PyErr_SetObject(PyExc_TypeError, message.get());
    throw_argument_error(name);
}

}  // namespace quarnel::py
