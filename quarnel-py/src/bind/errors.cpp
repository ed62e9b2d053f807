#include "bind/errors.hpp"

#include <cstdio>
#include <cstring>

#include "quarnel/fault.hpp"

namespace quarnel::py {
namespace {

// Where the one PanicException class of the process is kept, for both extensions.
constexpr const char* kPanicRegistry = "_quarnel_PanicException";

constexpr const char* kPanicDoc =
    "Raised when native code called from Python fails with an internal fault.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that it typically propagates all the way up the stack and ends the\n"
    "interpreter instead of being swallowed by `except Exception`.";

// Owned references to a fetched exception triple.
struct Fetched {
    Ref type, value, traceback;
    static Fetched take() noexcept {
        PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
        PyErr_Fetch(&t, &v, &tb);
        return {Ref::steal(t), Ref::steal(v), Ref::steal(tb)};
    }
    void normalize() noexcept {
        PyObject *t = type.release(), *v = value.release(), *tb = traceback.release();
        PyErr_NormalizeException(&t, &v, &tb);
        type = Ref::steal(t);
        value = Ref::steal(v);
        traceback = Ref::steal(tb);
    }
    void restore() noexcept { PyErr_Restore(type.release(), value.release(), traceback.release()); }
};

[[noreturn]] void throw_none_set() {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    throw PythonError{};
}

// A PanicException raised earlier and now coming back through Python code (say from
// a __float__ that re-raised it): keep it a fault with the same text rather than
// letting it pass as an ordinary error.
[[noreturn]] void resume_panic(Fetched exc) {
    exc.normalize();
    std::string text = "Unwrapped panic from Python code";
    if (Ref s = Ref::steal(exc.value ? PyObject_Str(exc.value.get()) : nullptr)) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(s.get(), &size)) {
            text.assign(utf8, static_cast<std::size_t>(size));
        }
    }
    PyErr_Clear();
    std::fputs(
        "quarnel: resuming an internal fault raised through Python code\n"
        "Python stack trace below:\n",
        stderr);
    exc.restore();
    PyErr_PrintEx(0);
    throw InternalFault(std::move(text));
}

}  // namespace

PyObject* panic_type() {
    // Kept for the process. Both extension modules of the library raise the one class:
    // the first to need it creates it and leaves it on `sys`, where the other finds it.
    static PyObject* type = nullptr;
    if (type != nullptr) return type;
    // Creating the class calls into the interpreter, which refuses to start with an
    // exception pending; the caller's exception is put back afterwards.
    Fetched pending = Fetched::take();
    PyObject* found = PySys_GetObject(kPanicRegistry);  // borrowed
    if (found == nullptr) {
        Ref created = Ref::steal(PyErr_NewExceptionWithDoc("quarnel.PanicException", kPanicDoc,
                                                           PyExc_BaseException, nullptr));
        // Creation may run the garbage collector, which lets other threads run: one of
        // them may have registered a class meanwhile. The first one stays.
        found = PySys_GetObject(kPanicRegistry);
        if (found == nullptr && created && PySys_SetObject(kPanicRegistry, created.get()) == 0) {
            found = created.get();
        }
    }
    if (found != nullptr && type == nullptr) type = Ref::borrow(found).release();
    PyErr_Clear();  // a failure here leaves `type` unset: the next need tries again
    pending.restore();
    return type;
}

void set_panic(std::string_view message) noexcept {
    PyObject* type = panic_type();
    if (type == nullptr) {
        if (PyErr_Occurred() == nullptr)
            PyErr_SetString(PyExc_SystemError, "PanicException unavailable");
        return;
    }
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

void throw_pending() {
    PyObject* pending = PyErr_Occurred();
    if (pending == nullptr) throw_none_set();
    PyObject* panic = panic_type();
    if (panic != nullptr && pending == panic) resume_panic(Fetched::take());
    throw PythonError{};
}

void throw_argument_error(const char* name) {
    PyObject* pending = PyErr_Occurred();
    if (pending == nullptr) throw_none_set();
    if (pending != PyExc_TypeError) throw_pending();  // other classes pass unchanged
    Fetched exc = Fetched::take();
    exc.normalize();
    Ref text = check(PyObject_Str(exc.value.get()));
    Ref message = check(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    Ref replacement = check(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (PyObject* cause = PyException_GetCause(exc.value.get())) {
        PyException_SetCause(replacement.get(), cause);  // steals cause
    }
    PyErr_SetObject(PyExc_TypeError, replacement.get());
    throw PythonError{};
}

void throw_type_error(std::string_view message) {
    // With its length: the text may carry user input with a NUL in it (a keyword name).
    Ref text = check(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    PyErr_SetObject(PyExc_TypeError, text.get());
    throw PythonError{};
}

void throw_model_error(const ModelError& error) {
    Ref text = check(PyUnicode_FromStringAndSize(error.message.data(),
                                                 static_cast<Py_ssize_t>(error.message.size())));
    PyErr_SetObject(PyExc_ValueError, text.get());
    throw PythonError{};
}

Ref make_float_tuple(const double* values, Py_ssize_t n) {
    PyObject* tuple = PyTuple_New(n);
    if (tuple == nullptr) {
        PyErr_Print();
        QUARNEL_FAULT("Python API call failed");
    }
    Ref owner = Ref::steal(tuple);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) {
            PyErr_Print();
            QUARNEL_FAULT("Python API call failed");
        }
        PyTuple_SetItem(tuple, i, item);  // steals item; cannot fail on a fresh tuple
    }
    return owner;
}

}  // namespace quarnel::py
