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

// Running sums of (a, b) and (a * a, b * b) for two sample streams at once. Each of the
// four sums is still its own left-to-right chain; keeping a and b in the two lanes of
// one vector halves the adds and multiplies the loop issues, so it runs at the add
// latency instead of waiting on the floating-point ports.
#if defined(__GNUC__)
struct TwoStreamSums {
    typedef double Pair __attribute__((vector_size(16)));
    Pair s1 = {0.0, 0.0};
    Pair s2 = {0.0, 0.0};
    void add(double a, double b) noexcept {
        const Pair v = {a, b};
        s1 = s1 + v;
        s2 = s2 + v * v;
    }
    double sum_a() const noexcept { return s1[0]; }
    double sum_b() const noexcept { return s1[1]; }
    double sum_sq_a() const noexcept { return s2[0]; }
    double sum_sq_b() const noexcept { return s2[1]; }
};
#else
struct TwoStreamSums {
    double s1a = 0.0, s1b = 0.0, s2a = 0.0, s2b = 0.0;
    void add(double a, double b) noexcept {
        s1a = s1a + a;
        s1b = s1b + b;
        s2a = s2a + a * a;
        s2b = s2b + b * b;
    }
    double sum_a() const noexcept { return s1a; }
    double sum_b() const noexcept { return s1b; }
    double sum_sq_a() const noexcept { return s2a; }
    double sum_sq_b() const noexcept { return s2b; }
};
#endif

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

// The per-path samples of the constant-flow estimator below, handed to `sink` in index
// order: sink(f(X_T), (f(X_T) * W_T) * (1 / (T * sigma(X_0)))). Code that sums them
// elsewhere, chunk by chunk with the sums carried over, gets the estimator's bits.
template <class States, class Brownians, class Payoff, class Sink>
void constant_flow_samples(const States& terminal_states, const Brownians& w_terminals,
                           double horizon, double sigma_at_x0, Payoff payoff, Sink&& sink) {
    const double scale = 1.0 / (horizon * sigma_at_x0);
    const std::size_t n = terminal_states.size();
    for (std::size_t k = 0; k < n; ++k) {
        const double p = payoff(terminal_states[k]);
        // (p * W) * scale, in this order: p * (W * scale) differs in the last bit.
        sink(p, (p * w_terminals[k]) * scale);
    }
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
    TwoStreamSums sums;
    constant_flow_samples(terminal_states, w_terminals, horizon, sigma_at_x0, payoff,
                          [&sums](double p, double d) { sums.add(p, d); });
    const MeanStderr price = mean_stderr(sums.sum_a(), sums.sum_sq_a(), n);
    const MeanStderr delta = mean_stderr(sums.sum_b(), sums.sum_sq_b(), n);
    return {price.mean, delta.mean, price.stderr_, delta.stderr_};
}

}  // namespace quarnel
