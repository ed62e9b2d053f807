// The built-in payoffs of the price-and-Greeks functions: those of the price-and-delta
// routines (payoffs.hpp), whose names and messages `_quarnel` fixes, and beside them the
// digital put and the call and put spreads. Matched by exact name, dispatched once per
// call to a payoff type, as in payoffs.hpp.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/greeks_conventions.hpp"
#include "core/payoffs.hpp"
#include "core/result.hpp"
#include "quarnel/fault.hpp"

namespace quarnel {

enum class GreekPayoff { identity, call, put, digital_call, digital_put, call_spread, put_spread };

// "digital" is the digital call's short name, the one the package's newer functions use.
inline std::optional<GreekPayoff> parse_greek_payoff(std::string_view name) noexcept {
    if (name == "identity") return GreekPayoff::identity;
    if (name == "call") return GreekPayoff::call;
    if (name == "put") return GreekPayoff::put;
    if (name == "digital_call" || name == "digital") return GreekPayoff::digital_call;
    if (name == "digital_put") return GreekPayoff::digital_put;
    if (name == "call_spread") return GreekPayoff::call_spread;
    if (name == "put_spread") return GreekPayoff::put_spread;
    return std::nullopt;
}

inline Result<GreekPayoff> greek_payoff_named(std::string_view name) {
    if (const std::optional<GreekPayoff> kind = parse_greek_payoff(name)) return *kind;
    return ModelError{"unknown payoff '" + std::string(name) +
                      "': expected 'identity', 'call', 'put', 'digital_call' (or 'digital'), "
                      "'digital_put', 'call_spread', or 'put_spread'"};
}

// The payoffs with a jump: no pathwise slope, so their lowest-variance Greeks are
// localised around the strike.
inline bool is_digital(GreekPayoff kind) noexcept {
    return kind == GreekPayoff::digital_call || kind == GreekPayoff::digital_put;
}

inline bool is_spread(GreekPayoff kind) noexcept {
    return kind == GreekPayoff::call_spread || kind == GreekPayoff::put_spread;
}

// The strikes: `strike` finite; `strike2`, the strike of the short leg, given and finite
// for a spread and refused elsewhere (it would be silently ignored).
inline std::optional<ModelError> check_strikes(GreekPayoff kind, double strike,
                                               std::optional<double> strike2) {
    if (auto err = check_finite(strike, "strike")) return err;
    if (is_spread(kind) && !strike2) {
        return ModelError{std::string("strike2 is required by payoff '") +
                          (kind == GreekPayoff::call_spread ? "call_spread" : "put_spread") + "'"};
    }
    if (!is_spread(kind) && strike2) {
        return ModelError{"strike2 applies only to the payoffs 'call_spread' and 'put_spread'"};
    }
    return check_finite(strike2, "strike2");
}

struct DigitalPutPayoff {
    double strike;
    // The comparison as a mask (false for NaN), not a branch.
    double operator()(double x) const noexcept {
#if QUARNEL_PAYOFF_SSE2
        return _mm_cvtsd_f64(
            _mm_and_pd(_mm_cmplt_sd(_mm_set_sd(x), _mm_set_sd(strike)), _mm_set_sd(1.0)));
#else
        return x < strike ? 1.0 : 0.0;
#endif
    }
};

// Long the option at `strike`, short the same option at `strike2`: a bull call spread
// for strike < strike2, a bear put spread for strike > strike2.
struct CallSpreadPayoff {
    double strike, strike2;
    double operator()(double x) const noexcept {
        return positive_part(x - strike) - positive_part(x - strike2);
    }
};
struct PutSpreadPayoff {
    double strike, strike2;
    double operator()(double x) const noexcept {
        return positive_part(strike - x) - positive_part(strike2 - x);
    }
};

// The slope of a spread: the long leg's less the short leg's.
template <class Slope>
struct SpreadSlope {
    Slope long_leg, short_leg;
    double operator()(double x) const noexcept { return long_leg(x) - short_leg(x); }
};

// Calls f with the payoff object for `kind`; f is instantiated once per payoff type.
template <class F>
decltype(auto) with_greek_payoff(GreekPayoff kind, double strike, double strike2, F&& f) {
    switch (kind) {
        case GreekPayoff::call: return f(CallPayoff{strike});
        case GreekPayoff::put: return f(PutPayoff{strike});
        case GreekPayoff::digital_call: return f(DigitalCallPayoff{strike});
        case GreekPayoff::digital_put: return f(DigitalPutPayoff{strike});
        case GreekPayoff::call_spread: return f(CallSpreadPayoff{strike, strike2});
        case GreekPayoff::put_spread: return f(PutSpreadPayoff{strike, strike2});
        case GreekPayoff::identity: break;
    }
    return f(IdentityPayoff{});
}

// Calls f(payoff, slope) for a Lipschitz `kind`; the digitals have no slope, and their
// callers take them elsewhere, so reaching here with one is a bug.
template <class F>
decltype(auto) with_greek_slope(GreekPayoff kind, double strike, double strike2, F&& f) {
    switch (kind) {
        case GreekPayoff::call: return f(CallPayoff{strike}, CallSlope{strike});
        case GreekPayoff::put: return f(PutPayoff{strike}, PutSlope{strike});
        case GreekPayoff::call_spread:
            return f(CallSpreadPayoff{strike, strike2},
                     SpreadSlope<CallSlope>{CallSlope{strike}, CallSlope{strike2}});
        case GreekPayoff::put_spread:
            return f(PutSpreadPayoff{strike, strike2},
                     SpreadSlope<PutSlope>{PutSlope{strike}, PutSlope{strike2}});
        case GreekPayoff::digital_call:
        case GreekPayoff::digital_put: QUARNEL_FAULT("a digital payoff has no pathwise slope");
        case GreekPayoff::identity: break;
    }
    return f(IdentityPayoff{}, IdentitySlope{});
}

}  // namespace quarnel
