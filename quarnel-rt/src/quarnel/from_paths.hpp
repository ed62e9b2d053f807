// Monte Carlo estimators over per-path data, generic over the payoff.
//
// The inputs are any random-access sequence of doubles (`size()` and `operator[]`):
// a std::vector, a std::span, or a strided view into someone else's memory. Values
// are read once each, in index order.
//
// The floating-point order is part of the contract: every sum is a plain
// left-to-right sum, every product is rounded on its own, and the variance uses the
// one-pass population form. Results are reproducible bit for bit; do not reassociate,
// compensate or pairwise-sum any of these loops.
#pragma once

#include <cmath>
#include <cstddef>

#include "quarnel/fault.hpp"

namespace quarnel {

struct MeanStderr {
    double mean;
    double stderr_;
};

struct PriceDelta {
    double price;
    double delta;
    double price_stderr;
    double delta_stderr;
};

// Mean and population standard error of n samples from their sum and sum of squares.
// A variance that comes out negative (cancellation) or NaN (inf - inf) is clamped to
// +0.0, as IEEE maxNum(var, 0.0) does.
inline MeanStderr mean_stderr(double sum, double sum_sq, std::size_t n) noexcept {
    const double count = static_cast<double>(n);
    const double mean = sum / count;
    double var = sum_sq / count - mean * mean;
    var = var > 0.0 ? var : 0.0;
    return {mean, std::sqrt(var / count)};
}

struct Identity {
    double operator()(double x) const noexcept { return x; }
};

// Price E[f(X)] and its standard error from samples X.
template <class Values, class Payoff = Identity>
MeanStderr price_from_paths(const Values& values, Payoff payoff = {}) {
    const std::size_t n = values.size();
    double s1 = 0.0;
    double s2 = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = payoff(values[i]);
        s1 = s1 + v;
        s2 = s2 + v * v;
    }
    return mean_stderr(s1, s2, n);
}

// Price and constant-flow BEL delta, for models where the first variation divided by
// the diffusion coefficient is constant along a path (GBM, ABM):
//   delta = mean of f(X_T) * W_T / (T * sigma(X_0)).
// Preconditions: equal lengths (checked by the caller), horizon > 0 and
// sigma_at_x0 > 0 (checked here; a violation is an InternalFault).
template <class States, class Brownians, class Payoff>
PriceDelta bel_delta_constant_flow_from_paths(const States& terminal_states,
                                              const Brownians& w_terminals, double horizon,
                                              double sigma_at_x0, Payoff payoff) {
    QUARNEL_CHECK(horizon > 0.0, "horizon must be positive");
    QUARNEL_CHECK(sigma_at_x0 > 0.0, "sigma_at_x0 must be positive");
    const std::size_t n = terminal_states.size();
    QUARNEL_CHECK(w_terminals.size() == n,
                  "terminal_states and w_terminals must have the same length");
    const double scale = 1.0 / (horizon * sigma_at_x0);
    double s1p = 0.0, s1d = 0.0, s2p = 0.0, s2d = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        const double p = payoff(terminal_states[k]);
        // (p * W) * scale, in this order: p * (W * scale) differs in the last bit.
        const double d = (p * w_terminals[k]) * scale;
        s1p = s1p + p;
        s1d = s1d + d;
        s2p = s2p + p * p;
        s2d = s2d + d * d;
    }
    const MeanStderr price = mean_stderr(s1p, s2p, n);
    const MeanStderr delta = mean_stderr(s1d, s2d, n);
    return {price.mean, delta.mean, price.stderr_, delta.stderr_};
}

}  // namespace quarnel
