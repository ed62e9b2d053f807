#include <cstddef>
#include <limits>
#include <string>

#include "check.hpp"
#include "core/buffer.hpp"
#include "core/matrix.hpp"

using quarnel::Buffer;
using quarnel::Matrix;
using quarnel::SizeOverflow;

namespace {

constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();

// The message of the SizeOverflow that allocating rows x cols throws, "" when none is.
std::string refusal(std::size_t rows, std::size_t cols) {
    try {
        (void)Buffer::allocate_rows(rows, cols);
    } catch (const SizeOverflow& e) {
        CHECK(e.overflow());
        return e.message();
    }
    return "";
}

}  // namespace

TEST_CASE("allocator: counts whose bytes wrap are refused before malloc sees them") {
    // 2^64 / 40 + 1 paths of 5 columns: the byte count wraps to a few bytes.
    const std::size_t paths = kMax / 40 + 1;
    CHECK(refusal(paths, 5) ==
          "the result of " + std::to_string(paths) + " x 5 float64 values would not fit in memory");
    CHECK(!refusal(kMax / 8 + 1, 1).empty());
    CHECK(!refusal(2, kMax / 2 + 1).empty());  // the element count itself wraps
    CHECK(!refusal(kMax, kMax).empty());
    bool threw = false;
    try {
        (void)Buffer::allocate(kMax / 4);
    } catch (const SizeOverflow&) {
        threw = true;
    }
    CHECK(threw);
    threw = false;
    try {
        (void)Matrix::allocate(kMax / 16, 3);
    } catch (const SizeOverflow&) {
        threw = true;
    }
    CHECK(threw);
}

TEST_CASE("allocator: counts that fit are kept exactly, zero included") {
    CHECK(Buffer::allocate_rows(0, 5).size() == 0);
    CHECK(Buffer::allocate_rows(kMax, 0).size() == 0);
    CHECK(Buffer::allocate_rows(3, 7, true).size() == 21);
    Buffer zeroed = Buffer::allocate(9, true);
    bool all_zero = zeroed.data() != nullptr;
    for (std::size_t i = 0; i < zeroed.size(); ++i) all_zero = all_zero && zeroed[i] == 0.0;
    CHECK(all_zero);
    CHECK(Buffer::allocate(0).data() != nullptr);
}

QTEST_MAIN
