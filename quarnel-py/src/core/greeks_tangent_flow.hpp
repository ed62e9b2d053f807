// Price and Greeks of a built-in payoff from a path batch of any scalar model, through
// the second-order tangent flow (second_order_tangent_flow.hpp): delta and gamma of the simulated
// Euler scheme exactly, vega as the derivative under the parallel volatility bump
// sigma -> (1 + e) sigma at e = 0 (for GBM, sigma(x) = s x, that is s times d/ds).
#pragma once

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "core/greeks.hpp"
#include "core/greeks_pairs.hpp"
#include "core/greeks_payoffs.hpp"
#include "core/path_batch.hpp"
#include "core/result.hpp"
#include "core/second_order_tangent_flow.hpp"
#include "core/view.hpp"
#include "quarnel/from_paths.hpp"
#include "quarnel/greeks_from_paths.hpp"

namespace quarnel {

// "weights": every Greek is the mean of f(X_N) times its weight.
// "lowest_variance": identity, calls, puts and spreads pathwise (delta f'(X_N) Y_N, gamma
// f'(X_N) (Y_N pi + H_N), vega f'(X_N) V_N); the digitals localised around the strike
// with a ramp of half-width `half_width` (default: twice the population standard
// deviation of X_N, which biases the estimates by O(1/n)), the remainder centred.
// Vega is d/dvol for the volatility level `vol` that sigma scales with (sigma(x) =
// vol * s(x)): the parallel bump sigma -> (1 + e) sigma is e = dvol / vol, so its
// derivative divided by vol. Without `vol` vega is NaN and its arithmetic skipped.
// Rho is always NaN. With a `rate`, the price and Greeks come back times exp(-rate T).
// Checks, in order: the states columns, the six step matrices at least (n_paths,
// n_steps) (extra rows and columns ignored; the fields named `*_field`), payoff,
// estimator, horizon, strike and strike2, vol, half_width (valid, then meaningful),
// rate, pairs (known, then an even number of paths); then zero
// diffusion values.
Result<Greeks> price_and_greeks_tangent_flow(const SecondOrderPaths& batch, std::string_view payoff,
                                             double strike, std::string_view estimator,
                                             std::optional<double> vol,
                                             std::optional<double> half_width,
                                             std::optional<double> rate = std::nullopt,
                                             std::optional<double> strike2 = std::nullopt,
                                             std::optional<std::string_view> pairs = std::nullopt);

// The pieces of price_and_greeks_tangent_flow, for the chunks of quarnel.dask.

// What its checks establish.
struct GreeksTangentFlowCall {
    BatchShape shape;
    GreekPayoff payoff;
    Estimator estimator;
    Pairs pairs;
};

// The checks of price_and_greeks_tangent_flow, in its order, and nothing else.
Result<GreeksTangentFlowCall> check_price_and_greeks_tangent_flow(
    const SecondOrderPaths& batch, std::string_view payoff, double strike,
    std::string_view estimator, std::optional<double> vol, std::optional<double> half_width,
    std::optional<double> rate, std::optional<double> strike2,
    std::optional<std::string_view> pairs);

// What price_and_greeks_tangent_flow does to the finished means and errors of the
// parallel bump: vega divided by `vol` (NaN without it), rho NaN, then the discount
// and the NaN errors of non-finite estimates (greeks_conventions.hpp).
Greeks finish_tangent_greeks(Greeks bumped, std::optional<double> vol, std::optional<double> rate,
                             double horizon) noexcept;

// The kernel's batch with the parallel volatility bump as its parameter: d sigma/de =
// sigma, d2 sigma/dx de = sigma', drift unchanged.
SecondOrderBatch parallel_bump_batch(const SecondOrderPaths& batch, BatchShape shape);

// X_N, the column of `states` after the batch's n_steps steps (only that one is read).
View1D terminal_states(const SecondOrderPaths& paths, const SecondOrderBatch& batch) noexcept;

// One path's kernel row: the delta and gamma weights pi and pi_g, Y_N, H_N, and with
// vega V_N and the vega weight q (both 0 without).
struct PathRow {
    double pi, pi_g, y, h, v, q;
};

// Runs the kernel of `kind` over the batch in blocks and hands each path's (index, row)
// to `visit` in path order, the row its `columns(kind)` doubles; stops at the first zero
// diffusion value. A block is one whole tile of the kernel's lanes over adjacent paths
// (2048, second_order_tangent_flow.cpp), so time-major batches are not cut into smaller
// tiles; its rows (96 KiB at most) are on the heap and stay in cache for `visit`.
template <class Visit>
std::optional<ZeroSigma> for_each_kernel_row(const SecondOrderBatch& batch, SecondOrderKind kind,
                                             Visit&& visit) {
    constexpr std::size_t kBlock = 2048;
    const std::size_t width = columns(kind);
    std::vector<double> rows(kBlock * width);
    for (std::size_t first = 0; first < batch.n_paths; first += kBlock) {
        const std::size_t count = std::min(kBlock, batch.n_paths - first);
        if (auto zero = second_order_rows(kind, batch, first, count, rows.data())) return zero;
        for (std::size_t i = 0; i < count; ++i) visit(first + i, rows.data() + i * width);
    }
    return std::nullopt;
}

// for_each_kernel_row for antithetic pairs: hands `visit` the (index, row) of both paths
// of each pair, pair after pair (greeks_pairs.hpp). For "halves" the kernel runs a block
// of the first half and the same block of the second; a zero diffusion value is the
// first met in that order.
template <class Visit>
std::optional<ZeroSigma> for_each_kernel_row_pair(const SecondOrderBatch& batch,
                                                  SecondOrderKind kind, Pairs pairs,
                                                  Visit&& visit) {
    constexpr std::size_t kBlock = 2048;  // even: adjacent pairs never straddle two blocks
    const std::size_t width = columns(kind);
    std::vector<double> a(kBlock * width);
    if (pairs == Pairs::adjacent) {
        for (std::size_t first = 0; first < batch.n_paths; first += kBlock) {
            const std::size_t count = std::min(kBlock, batch.n_paths - first);
            if (auto zero = second_order_rows(kind, batch, first, count, a.data())) return zero;
            for (std::size_t i = 0; i + 1 < count; i += 2) {
                visit(first + i, a.data() + i * width, first + i + 1, a.data() + (i + 1) * width);
            }
        }
        return std::nullopt;
    }
    std::vector<double> b(kBlock * width);
    const std::size_t half = batch.n_paths / 2;
    for (std::size_t first = 0; first < half; first += kBlock) {
        const std::size_t count = std::min(kBlock, half - first);
        if (auto zero = second_order_rows(kind, batch, first, count, a.data())) return zero;
        if (auto zero = second_order_rows(kind, batch, half + first, count, b.data())) return zero;
        for (std::size_t i = 0; i < count; ++i) {
            visit(first + i, a.data() + i * width, half + first + i, b.data() + i * width);
        }
    }
    return std::nullopt;
}

// The Greeks' kernel rows as PathRows: with vega the `all` kind's six columns, without
// it the `greeks` kind's four (V_N and q then 0).
inline SecondOrderKind greek_row_kind(bool with_vega) noexcept {
    return with_vega ? SecondOrderKind::all : SecondOrderKind::greeks;
}

inline PathRow path_row(const double* r, bool with_vega) noexcept {
    return PathRow{r[0], r[1], r[2], r[3], with_vega ? r[4] : 0.0, with_vega ? r[5] : 0.0};
}

template <class Visit>
std::optional<ZeroSigma> for_each_greek_row(const SecondOrderBatch& batch, bool with_vega,
                                            Visit&& visit) {
    return for_each_kernel_row(
        batch, greek_row_kind(with_vega),
        [&](std::size_t k, const double* r) { visit(k, path_row(r, with_vega)); });
}

template <class Visit>
std::optional<ZeroSigma> for_each_greek_row_pair(const SecondOrderBatch& batch, bool with_vega,
                                                 Pairs pairs, Visit&& visit) {
    return for_each_kernel_row_pair(
        batch, greek_row_kind(with_vega), pairs,
        [&](std::size_t ka, const double* ra, std::size_t kb, const double* rb) {
            visit(ka, path_row(ra, with_vega), kb, path_row(rb, with_vega));
        });
}

// One path's price, delta, gamma and vega samples.
struct TangentGreekSamples {
    double price, delta, gamma, vega;
};

inline TangentGreekSamples pair_mean(const TangentGreekSamples& a,
                                     const TangentGreekSamples& b) noexcept {
    return {pair_mean(a.price, b.price), pair_mean(a.delta, b.delta), pair_mean(a.gamma, b.gamma),
            pair_mean(a.vega, b.vega)};
}

// "weights": f(X_N) times each weight.
template <class Payoff>
TangentGreekSamples tangent_greeks_by_weights_sample(Payoff f, double x,
                                                     const PathRow& r) noexcept {
    const double fx = f(x);
    return {fx, fx * r.pi, fx * r.pi_g, fx * r.q};
}

// Pathwise: f'(X_N) times Y_N, Y_N pi + H_N and V_N.
template <class Payoff, class Slope>
TangentGreekSamples tangent_greeks_pathwise_sample(Payoff f, Slope slope, double x,
                                                   const PathRow& r) noexcept {
    const double d = slope(x);
    return {f(x), d * r.y, d * ((r.y * r.pi) + r.h), d * r.v};
}

// The localised digital: the pathwise multipliers above against the weights of delta,
// gamma and vega.
inline LocalisedSamples<3> tangent_greeks_localised_digital_sample(const LocalisedDigital& digital,
                                                                   double x,
                                                                   const PathRow& r) noexcept {
    const double m[3] = {r.y, (r.y * r.pi) + r.h, r.v};
    const double v[3] = {r.pi, r.pi_g, r.q};
    return digital.sample(x, m, v);
}

// A spread's pathwise and weights samples, blended (greeks_blended_sample of
// quarnel/greeks_from_paths.hpp): per Greek the weights sample z, centred on z - u.
template <class Payoff, class Slope>
LocalisedSamples<3> tangent_greeks_blended_sample(Payoff f, Slope slope, double x,
                                                  const PathRow& r) noexcept {
    const TangentGreekSamples z = tangent_greeks_by_weights_sample(f, x, r);
    const TangentGreekSamples u = tangent_greeks_pathwise_sample(f, slope, x, r);
    return {z.price,
            {z.delta, z.gamma, z.vega},
            {z.delta - u.delta, z.gamma - u.gamma, z.vega - u.vega}};
}

// The four sample streams of the estimators, summed left to right in sample order.
struct GreekSums {
    TwoStreamSums price_delta, gamma_vega;
    void add(const TangentGreekSamples& s) noexcept {
        price_delta.add(s.price, s.delta);
        gamma_vega.add(s.gamma, s.vega);
    }
    Greeks finish(std::size_t n, bool with_vega) const noexcept {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        const MeanStderr p = mean_stderr(price_delta.sum_a(), price_delta.sum_sq_a(), n);
        const MeanStderr d = mean_stderr(price_delta.sum_b(), price_delta.sum_sq_b(), n);
        const MeanStderr g = mean_stderr(gamma_vega.sum_a(), gamma_vega.sum_sq_a(), n);
        MeanStderr v = mean_stderr(gamma_vega.sum_b(), gamma_vega.sum_sq_b(), n);
        if (!with_vega) v = {nan, nan};
        return {p.mean,    d.mean,    g.mean,    v.mean,    nan,
                p.stderr_, d.stderr_, g.stderr_, v.stderr_, nan};
    }
};

inline Greeks finish_localised(const CentringSums<3>& sums, std::size_t n,
                               bool with_vega) noexcept {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const MeanStderr p = sums.price(n);
    MeanStderr g[3];
    for (std::size_t i = 0; i < 3; ++i) g[i] = sums.greek(i, n);
    if (!with_vega) g[2] = {nan, nan};
    return {p.mean,    g[0].mean,    g[1].mean,    g[2].mean,    nan,
            p.stderr_, g[0].stderr_, g[1].stderr_, g[2].stderr_, nan};
}

// The estimators of price_and_greeks_tangent_flow over any source of kernel rows, so
// that a stored batch and a streamed accumulator give the same bits: `add(sums, sample)`
// adds sample(X_N, row) of each path (or each pair's mean) in order to `sums` and says
// whether it got through every path; `width()` is the digitals' default half-width,
// asked for only when needed. `n` is the count of what `add` adds.
template <class Width, class Add>
Greeks estimate_tangent_greeks(GreekPayoff kind, Estimator estimator, double strike, double strike2,
                               std::size_t n, bool with_vega, std::optional<double> vol,
                               std::optional<double> rate, double horizon, Width&& width,
                               Add&& add) {
    Greeks out{};
    auto accumulate = [&](auto sample) {
        GreekSums sums;
        if (add(sums, sample)) {
            out = finish_tangent_greeks(sums.finish(n, with_vega), vol, rate, horizon);
        }
        return out;
    };
    if (estimator == Estimator::weights) {
        return with_greek_payoff(kind, strike, strike2, [&](auto f) {
            return accumulate([f](double x, const PathRow& r) {
                return tangent_greeks_by_weights_sample(f, x, r);
            });
        });
    }
    // The centred sums of the digitals' and the spreads' samples.
    auto centred = [&](auto sample) {
        CentringSums<3> sums;
        if (add(sums, sample)) {
            out = finish_tangent_greeks(finish_localised(sums, n, with_vega), vol, rate, horizon);
        }
        return out;
    };
    if (is_spread(kind)) {
        return with_greek_slope(kind, strike, strike2, [&](auto f, auto slope) {
            return centred([f, slope](double x, const PathRow& r) {
                return tangent_greeks_blended_sample(f, slope, x, r);
            });
        });
    }
    if (!is_digital(kind)) {
        return with_greek_slope(kind, strike, strike2, [&](auto f, auto slope) {
            return accumulate([f, slope](double x, const PathRow& r) {
                return tangent_greeks_pathwise_sample(f, slope, x, r);
            });
        });
    }
    // One cheap pass over X_N before the rows for the default width; the centring
    // coefficients come out of the sums at the end.
    const LocalisedDigital digital(strike, width(), kind == GreekPayoff::digital_put);
    return centred([&digital](double x, const PathRow& r) {
        return tangent_greeks_localised_digital_sample(digital, x, r);
    });
}

}  // namespace quarnel
