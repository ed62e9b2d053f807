// A double in error messages as Python's repr() writes a float: the shortest text that
// reads back to the same value (so 1e-07 stays 1e-07, and inf and nan are Python's).
#pragma once

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace quarnel {

inline std::string float_repr(double x) {
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    char buf[32];
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(buf, sizeof buf, "%.*g", digits, x);
        if (std::strtod(buf, nullptr) == x) break;
    }
    return buf;
}

}  // namespace quarnel
