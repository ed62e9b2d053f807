// The built-in payoffs of the price-and-delta routines, matched by exact name so the
// per-path loops never call back into Python. Each is a small value type so the
// estimator loops can be instantiated once per payoff, with no per-sample dispatch.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/result.hpp"
#include "quarnel/fault.hpp"

// MSVC never defines __SSE2__, but SSE2 is part of x64.
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define QUARNEL_PAYOFF_SSE2 1
#include <emmintrin.h>
#else
#define QUARNEL_PAYOFF_SSE2 0
#endif

namespace quarnel {

enum class PayoffKind { identity, call, put, digital_call };

// Byte-exact match: no case folding, trimming or prefixes.
inline std::optional<PayoffKind> parse_payoff(std::string_view name) noexcept {
    if (name == "identity") return PayoffKind::identity;
    if (name == "call") return PayoffKind::call;
    if (name == "put") return PayoffKind::put;
    if (name == "digital_call") return PayoffKind::digital_call;
    return std::nullopt;
}

// parse_payoff, or the error that lists the names.
inline Result<PayoffKind> payoff_named(std::string_view name) {
    if (const std::optional<PayoffKind> kind = parse_payoff(name)) return *kind;
    return ModelError{"unknown payoff '" + std::string(name) +
                      "': expected 'identity', 'call', 'put', or 'digital_call'"};
}

// maxNum(d, 0) that returns +0.0 whenever d is not greater than zero, so -0.0 and NaN
// both become +0.0. This is exactly x86's MAXSD with d first, which also keeps the
// loops free of data-dependent branches (payoffs straddle the strike at random, and
// a mispredicted branch per sample would cost more than everything else together).
// Elsewhere the same function is written as a select, which compilers turn into a
// conditional move (AArch64 FCSEL): the constant is +0.0, so -0.0 and NaN map to it.
inline double positive_part(double d) noexcept {
#if QUARNEL_PAYOFF_SSE2
    return _mm_cvtsd_f64(_mm_max_sd(_mm_set_sd(d), _mm_setzero_pd()));
#else
    return d > 0.0 ? d : 0.0;
#endif
}

struct IdentityPayoff {
    double operator()(double x) const noexcept { return x; }
};
struct CallPayoff {
    double strike;
    double operator()(double x) const noexcept { return positive_part(x - strike); }
};
struct PutPayoff {
    double strike;
    double operator()(double x) const noexcept { return positive_part(strike - x); }
};
struct DigitalCallPayoff {
    double strike;
    // The comparison as a mask (false for NaN), not a branch.
    double operator()(double x) const noexcept {
#if QUARNEL_PAYOFF_SSE2
        return _mm_cvtsd_f64(
            _mm_and_pd(_mm_cmpgt_sd(_mm_set_sd(x), _mm_set_sd(strike)), _mm_set_sd(1.0)));
#else
        return x > strike ? 1.0 : 0.0;
#endif
    }
};

// Calls f with the payoff object for `kind`; f is instantiated once per payoff type.
template <class F>
decltype(auto) with_payoff(PayoffKind kind, double strike, F&& f) {
    switch (kind) {
        case PayoffKind::call: return f(CallPayoff{strike});
        case PayoffKind::put: return f(PutPayoff{strike});
        case PayoffKind::digital_call: return f(DigitalCallPayoff{strike});
        case PayoffKind::identity: break;
    }
    return f(IdentityPayoff{});
}

// Slopes of the Lipschitz built-in payoffs, for the pathwise estimators; the value at
// the kink (a set of measure zero) is 0.
struct IdentitySlope {
    double operator()(double) const noexcept { return 1.0; }
};
struct CallSlope {
    double strike;
    double operator()(double x) const noexcept { return x > strike ? 1.0 : 0.0; }
};
struct PutSlope {
    double strike;
    double operator()(double x) const noexcept { return x < strike ? -1.0 : 0.0; }
};

// Calls f(payoff, slope) for a Lipschitz `kind`. The digital call has no slope: its
// callers take it elsewhere, so reaching here with it is a bug.
template <class F>
decltype(auto) with_slope(PayoffKind kind, double strike, F&& f) {
    switch (kind) {
        case PayoffKind::call: return f(CallPayoff{strike}, CallSlope{strike});
        case PayoffKind::put: return f(PutPayoff{strike}, PutSlope{strike});
        case PayoffKind::digital_call: QUARNEL_FAULT("the digital call has no pathwise slope");
        case PayoffKind::identity: break;
    }
    return f(IdentityPayoff{}, IdentitySlope{});
}

}  // namespace quarnel
