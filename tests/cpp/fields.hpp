// Fixtures of the kernel tests: step matrices in any memory layout, and comparison bit
// for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/view.hpp"

namespace fixtures {

struct Field {
    std::vector<double> data;
    quarnel::View2D view;
};

// How a matrix lies in memory: C order, column-major (paths adjacent), column-major
// with the paths reversed, column-major over every other element, and broadcast
// across the paths (row stride 0).
enum class Layout { c, fortran, reversed, gapped, broadcast };

// rows x cols in `layout`, with every element drawn by `gen`, row after row.
template <class Gen>
Field make(std::size_t rows, std::size_t cols, Layout layout, Gen gen) {
    const auto e = static_cast<std::ptrdiff_t>(sizeof(double));
    const auto r = static_cast<std::ptrdiff_t>(rows), c = static_cast<std::ptrdiff_t>(cols);
    std::ptrdiff_t rs = c * e, cs = e, start = 0;
    std::size_t size = rows * cols;
    switch (layout) {
        case Layout::c: break;
        case Layout::fortran: rs = e, cs = r * e; break;
        case Layout::reversed: rs = -e, cs = r * e, start = (r - 1) * e; break;
        case Layout::gapped: rs = 2 * e, cs = 2 * r * e, size *= 2; break;
        case Layout::broadcast: rs = 0, size = cols; break;
    }
    Field m{std::vector<double>(size, 1234.5), {}};
    const auto* base = reinterpret_cast<const std::byte*>(m.data.data()) + start;
    m.view = quarnel::View2D{base, rows, cols, rs, cs};
    for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t j = 0; j < cols; ++j) {
            const double v = gen();
            std::memcpy(
                const_cast<std::byte*>(m.view.row_ptr(i)) + static_cast<std::ptrdiff_t>(j) * cs, &v,
                sizeof v);
        }
    }
    return m;
}

template <class Gen>
Field make(std::size_t rows, std::size_t cols, bool fortran, Gen gen) {
    return make(rows, cols, fortran ? Layout::fortran : Layout::c, gen);
}

inline std::uint64_t bits(double x) {
    std::uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

// Bit for bit, except NaN signs and payloads: the compiler may swap the operands of a
// commutative operation (Clang does), which changes which NaN propagates.
inline bool same(double a, double b) { return (a != a && b != b) || bits(a) == bits(b); }

inline bool same(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same(a[i], b[i])) {
            std::printf("  element %zu: %a != %a\n", i, a[i], b[i]);
            return false;
        }
    }
    return true;
}

}  // namespace fixtures
