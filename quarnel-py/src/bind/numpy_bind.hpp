// NumPy, bound lazily: the C API table is taken from NumPy's `_ARRAY_API` capsule at
// the first array conversion of the process, never at import, so `import _quarnel`
// works where NumPy is absent. No NumPy headers are used: the few table slots and the
// array object's leading fields are the same in NumPy 1.x and 2.x.
#pragma once

#include "bind/pyref.hpp"
#include "core/buffer.hpp"
#include "core/view.hpp"

namespace quarnel::py {

// A read-only view of a float64 array argument together with the reference that
// keeps the array alive for the call. Nothing is ever written through it.
//
// Taken in two steps. claim() checks the argument and keeps the reference; read()
// takes its data pointer, shape and strides. A call claims every argument before it
// reads any, because converting a later argument runs Python code (a __float__) that
// may resize an earlier array in place, freeing the memory a view would point to.
template <class View>
struct HeldArray {
    Ref owner;
    View view{};
};

// Strict conversion: a numpy.ndarray (or subclass) of exactly this many dimensions
// whose dtype is float64 or equivalent to it; no casting, no copying. Any strides.
HeldArray<View1D> claim_1d(PyObject* obj, const char* name);
HeldArray<View2D> claim_2d(PyObject* obj, const char* name);

// The claimed array as it is now. Checked again: a resize may also have changed its
// number of dimensions, which raises the same TypeError as a wrong argument.
void read(HeldArray<View1D>& held, const char* name);
void read(HeldArray<View2D>& held, const char* name);

// Whether a refused array's message says what was found (", got float32", ", got
// ndim=2") after the downcast text. Off unless the module asks: _quarnel's text is
// fixed without it. Each extension links its own copy of this library, so the
// setting is the module's own (set once, while the module is built).
void describe_refused_arrays(bool on) noexcept;

// A new 1-D float64 array that takes the buffer over without copying it; a private
// holder object, the array's base, frees it with the last reference.
Ref to_result_array(Buffer buffer);
// The same for a rows x cols C-ordered matrix whose buffer holds rows * cols values.
Ref to_result_array(Buffer buffer, std::size_t rows, std::size_t cols);

}  // namespace quarnel::py
