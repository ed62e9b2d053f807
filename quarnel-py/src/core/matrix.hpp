// A kernel's 2-D output before it becomes a NumPy array: `rows` x `cols` doubles in
// row-major (C) order, taken over by the result array without a copy.
#pragma once

#include <cstddef>

#include "core/buffer.hpp"

namespace quarnel {

struct Matrix {
    Buffer buffer;
    std::size_t rows = 0;
    std::size_t cols = 0;

    static Matrix allocate(std::size_t rows, std::size_t cols, bool zeroed = false) {
        return {Buffer::allocate_rows(rows, cols, zeroed), rows, cols};
    }
    double* row(std::size_t i) noexcept { return buffer.data() + i * cols; }
};

}  // namespace quarnel
