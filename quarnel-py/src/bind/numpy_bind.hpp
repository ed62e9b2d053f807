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
template <class View>
struct HeldArray {
    Ref owner;
    View view;
};

// Strict conversion: a numpy.ndarray (or subclass) of exactly this many dimensions
// whose dtype is float64 or equivalent to it; no casting, no copying. Any strides.
HeldArray<View1D> to_view_1d(PyObject* obj, const char* name);
HeldArray<View2D> to_view_2d(PyObject* obj, const char* name);

// A new 1-D float64 array that takes the buffer over without copying it; a private
// holder object, the array's base, frees it with the last reference.
Ref to_result_array(Buffer buffer);
// The same for a rows x cols C-ordered matrix whose buffer holds rows * cols values.
Ref to_result_array(Buffer buffer, std::size_t rows, std::size_t cols);

}  // namespace quarnel::py
