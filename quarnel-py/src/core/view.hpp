// Read-only strided views of float64 data that belongs to someone else (a NumPy
// array). No Python in here: kernels take views and stay plain C++.
//
// Strides are kept in bytes, so every layout NumPy can describe is read correctly:
// negative and zero strides, slices, column-major order, and float64 fields at odd
// offsets inside structured buffers. Loads go through memcpy, which is free on x86-64
// (a plain unaligned load) and keeps misaligned data from being undefined behaviour.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

#include "quarnel/fault.hpp"

namespace quarnel {

inline double load_f64(const std::byte* p) noexcept {
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

struct View1D {
    const std::byte* data = nullptr;  // element 0
    std::size_t length = 0;
    std::ptrdiff_t stride = 0;  // bytes

    std::size_t size() const noexcept { return length; }
    // Unchecked: for loops whose bounds were validated up front.
    double operator[](std::size_t i) const noexcept {
        return load_f64(data + static_cast<std::ptrdiff_t>(i) * stride);
    }
};

// A View1D known to be contiguous: the same reads with a constant stride, which the
// compiler can keep in a pointer increment (estimator loops pick it when they can).
struct DenseView1D {
    const std::byte* data = nullptr;
    std::size_t length = 0;

    std::size_t size() const noexcept { return length; }
    double operator[](std::size_t i) const noexcept {
        return load_f64(data + static_cast<std::ptrdiff_t>(i * sizeof(double)));
    }
};

// Calls f with the dense form of each view when all of them are contiguous, else with
// the views as they are; f is instantiated for both.
template <class F, class... Views>
decltype(auto) with_dense_views(F&& f, const Views&... views) {
    constexpr auto dense_stride = static_cast<std::ptrdiff_t>(sizeof(double));
    if (((views.stride == dense_stride) && ...)) {
        return f(DenseView1D{views.data, views.length}...);
    }
    return f(views...);
}

struct View2D {
    const std::byte* data = nullptr;  // element [0, 0]
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;  // bytes
    std::ptrdiff_t col_stride = 0;  // bytes

    const std::byte* row_ptr(std::size_t i) const noexcept {
        return data + static_cast<std::ptrdiff_t>(i) * row_stride;
    }
    // Unchecked: for loops whose bounds were validated up front.
    double operator()(std::size_t i, std::size_t j) const noexcept {
        return load_f64(row_ptr(i) + static_cast<std::ptrdiff_t>(j) * col_stride);
    }
    double at(std::size_t i, std::size_t j) const {
        if (i >= rows || j >= cols) {
            QUARNEL_FAULT("index [" + std::to_string(i) + ", " + std::to_string(j) +
                          "] out of bounds for an array of shape [" + std::to_string(rows) + ", " +
                          std::to_string(cols) + "]");
        }
        return (*this)(i, j);
    }
    View1D row(std::size_t i) const noexcept { return {row_ptr(i), cols, col_stride}; }
};

}  // namespace quarnel
