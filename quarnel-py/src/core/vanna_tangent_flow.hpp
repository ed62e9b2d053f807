// Vanna of a built-in payoff from a path batch of any scalar model: d2/dx0 dvol of the
// simulated Euler scheme, through the mixed weight of the second-order tangent flow
// (second_order_tangent_flow.hpp) under the parallel volatility bump of
// price_and_greeks_tangent_flow, whose vega it differentiates in x0. The per-path
// samples are written once here, for the single call and for the chunks of quarnel.dask.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "core/buffer.hpp"
#include "core/matrix.hpp"
#include "core/path_batch.hpp"
#include "core/result.hpp"
#include "core/view.hpp"
#include "quarnel/greeks_from_paths.hpp"

namespace quarnel {

// [vanna, vanna_stderr] of a built-in payoff, vol the level sigma scales with
// (sigma(x) = vol * s(x)), with the arguments, checks and conventions of
// price_and_greeks_tangent_flow (vol required). "weights": f(X_N) times the mixed weight
// of the parallel bump, over vol; "lowest_variance": for the identity, calls, puts and
// spreads f'(X_N) (Y_N q + M Y_N) over vol, the digitals localised (the ramp that way,
// the rest by the mixed weight, centred).
Result<Buffer> vanna_tangent_flow(const SecondOrderPaths& paths, std::string_view payoff,
                                  double vol, double strike, std::string_view estimator,
                                  std::optional<double> half_width, std::optional<double> rate,
                                  std::optional<double> strike2,
                                  std::optional<std::string_view> pairs);

// One path's row of the kernel's mixed kind: Y_N, the parameter weight q, M Y_N, the
// mixed weight.
struct MixedRow {
    double y, q, my, w;
};

// What f'(X_N) multiplies in the pathwise form: the bump-derivative of Y_N, taken with
// the operator that leaves X_N alone, plus Y_N times the bump's weight.
inline double vanna_multiplier(const MixedRow& r) noexcept { return r.y * r.q + r.my; }

// One path's vanna sample in the centred form (price, u, v); the plain estimators
// leave v at 0 and use u alone.
using VannaSample = LocalisedSamples<1>;

template <class Payoff>
VannaSample vanna_by_weights(Payoff f, double x, const MixedRow& r) noexcept {
    const double fx = f(x);
    return {fx, {fx * r.w}, {0.0}};
}

template <class Payoff, class Slope>
VannaSample vanna_pathwise(Payoff f, Slope slope, double x, const MixedRow& r) noexcept {
    return {f(x), {slope(x) * vanna_multiplier(r)}, {0.0}};
}

inline VannaSample vanna_localised(const LocalisedDigital& digital, double x,
                                   const MixedRow& r) noexcept {
    const double m[1] = {vanna_multiplier(r)};
    const double v[1] = {r.w};
    return digital.sample(x, m, v);
}

// The chunks of quarnel.dask: the kernel rows over a chunk with X_N in front, (n, 5)
// X_N, Y_N, q, M Y_N and the mixed weight (a zero diffusion value reported with its
// path's index in the batch), and the samples from such rows, (n, 1) or for the
// localised digitals (ramp half-width `width`) (n, 4) f, u, v, u * v. The arguments are
// checked beforehand by the single call, on stand-ins.
Result<Matrix> vanna_rows_tangent_flow_chunk(const SecondOrderPaths& batch, std::size_t first_path);
Result<Matrix> vanna_tangent_flow_chunk_samples(const View2D& rows, std::string_view payoff,
                                                double strike, std::string_view estimator,
                                                double width, double strike2);

}  // namespace quarnel
