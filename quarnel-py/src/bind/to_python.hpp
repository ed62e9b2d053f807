// What a function body returns, turned into the Python result: weight buffers become
// NumPy arrays without a copy, estimates become tuples of floats (or the named tuple
// Greeks), and a ModelError becomes ValueError with exactly its message.
#pragma once

#include "bind/errors.hpp"
#include "bind/numpy_bind.hpp"
#include "core/greeks.hpp"
#include "core/matrix.hpp"
#include "core/result.hpp"
#include "quarnel/from_paths.hpp"

namespace quarnel::py {

inline Ref to_python(Ref r) { return r; }
inline Ref to_python(Buffer b) { return to_result_array(std::move(b)); }
Ref to_python(Matrix m);
Ref to_python(const MeanStderr& r);
Ref to_python(const PriceDelta& r);
Ref to_python(const Greeks& g);

template <class T>
Ref to_python(Result<T>&& r) {
    return to_python(unwrap(std::move(r)));
}

}  // namespace quarnel::py
