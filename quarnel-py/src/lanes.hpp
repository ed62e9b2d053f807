// Helpers of the kernels that run several independent paths in the lanes of a vector:
// the lane types (GCC vector extensions) and the choice of the rows each lane walks.
#pragma once

#include <algorithm>
#include <cstddef>

namespace quarnel {

#if defined(__GNUC__)
template <int W>
struct Lanes;
template <>
struct Lanes<2> {
    typedef double type __attribute__((vector_size(16)));
};
template <>
struct Lanes<4> {
    typedef double type __attribute__((vector_size(32)));
};
#endif

// Rows per lane run: close to count / lanes, chosen so the lanes' streams start at
// different offsets within a 4 KiB page. Streams at equal page offsets compete for the
// same L1 sets (and alias in the load-store unit), which costs more than the few rows
// that the choice leaves to the adjacent-row blocks. 0 when count < lanes.
inline std::size_t lane_spacing(std::ptrdiff_t row_stride, std::size_t count,
                                std::size_t lanes) noexcept {
    const std::size_t even = count / lanes;
    if (even == 0) return 0;
    constexpr std::size_t kPage = 4096, kFarEnough = 512, kTries = 64;
    const std::size_t row = static_cast<std::size_t>(row_stride < 0 ? -row_stride : row_stride);
    std::size_t best = even, best_score = 0;
    for (std::size_t q = even; q + kTries > even && q > 0; --q) {
        std::size_t score = 0;
        for (std::size_t a = 0; a < lanes; ++a) {
            for (std::size_t c = a + 1; c < lanes; ++c) {
                const std::size_t d = ((c - a) * q % kPage) * (row % kPage) % kPage;
                score += std::min(std::min(d, kPage - d), kFarEnough);
            }
        }
        if (score > best_score) {
            best = q;
            best_score = score;
        }
        if (best_score == kFarEnough * lanes * (lanes - 1) / 2) break;
    }
    return best;
}

}  // namespace quarnel
