// Price and delta of a call spread under Black-Scholes with the quarnel-rt estimators
// and a payoff of our own: max(x - k1, 0) - max(x - k2, 0), as a lambda.
//
//   ./call_spread [n_paths]
//
// Prints the estimates beside the closed form and exits with status 1 if either is
// more than four standard errors away from it.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <random>
#include <vector>

#include "quarnel/from_paths.hpp"

namespace {

double norm_cdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

// Zero rates, so that the price process is a martingale.
double call_price(double x0, double k, double s, double t) {
    const double v = s * std::sqrt(t);
    const double d1 = (std::log(x0 / k) + 0.5 * v * v) / v;
    return x0 * norm_cdf(d1) - k * norm_cdf(d1 - v);
}

double call_delta(double x0, double k, double s, double t) {
    const double v = s * std::sqrt(t);
    return norm_cdf((std::log(x0 / k) + 0.5 * v * v) / v);
}

bool report(const char* what, double estimate, double stderr_, double exact) {
    const double z = (estimate - exact) / stderr_;
    std::printf("%-6s %.6f +- %.6f  exact %.6f  z %+.2f\n", what, estimate, stderr_, exact, z);
    return std::fabs(z) <= 4.0;
}

int run(std::size_t n) {
    const double x0 = 1.0, s = 0.2, t = 1.0, k1 = 0.9, k2 = 1.1;

    // Exact GBM terminal states from the terminal Brownian values (a fixed seed, so that
    // every run prints the same numbers).
    std::mt19937_64 rng(2026);
    std::normal_distribution<double> normal;
    std::vector<double> w_t(n), x_t(n);
    for (std::size_t i = 0; i < n; ++i) {
        w_t[i] = std::sqrt(t) * normal(rng);
        x_t[i] = x0 * std::exp(-0.5 * s * s * t + s * w_t[i]);
    }

    const auto spread = [=](double x) {
        return (x - k1 > 0.0 ? x - k1 : 0.0) - (x - k2 > 0.0 ? x - k2 : 0.0);
    };
    const quarnel::MeanStderr price = quarnel::price_from_paths(x_t, spread);
    // sigma(x) = s x, so sigma(X_0) = s * x0 and the weight is W_T / (T s x0).
    const quarnel::PriceDelta est =
        quarnel::bel_delta_constant_flow_from_paths(x_t, w_t, t, s * x0, spread);

    std::printf("call spread %.2f/%.2f, %zu paths\n", k1, k2, n);
    const bool price_ok = report("price", price.mean, price.stderr_,
                                 call_price(x0, k1, s, t) - call_price(x0, k2, s, t));
    const bool delta_ok = report("delta", est.delta, est.delta_stderr,
                                 call_delta(x0, k1, s, t) - call_delta(x0, k2, s, t));
    // Both estimators apply the same payoff to the same states: the prices agree exactly.
    return price_ok && delta_ok && price.mean == est.price ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200000;
    try {
        return run(n);
    } catch (const std::exception& e) {  // quarnel::InternalFault: a broken precondition
        std::fprintf(stderr, "call_spread: %s\n", e.what());
        return 2;
    }
}
