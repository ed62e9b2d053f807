// The shape of the per-path samples that the chunk primitives of the stored-batch
// estimates write, told to the Dask layer instead of written again there: how many
// columns a path has (a strike, for a ladder), whether they are the centred form (f,
// u[m], v[m], u[i] v[i] with m = (columns - 1) / 3, finished as the localised digital)
// and whether the ramp half-width applies (the digitals' localisation; a spread is
// centred without one).
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "core/greeks.hpp"
#include "core/greeks_payoffs.hpp"

namespace quarnel {

enum class SampledEstimate { constant_flow, tangent_flow, vanna_volga, vanna_tangent_flow, ladder };

inline std::optional<SampledEstimate> parse_sampled_estimate(std::string_view name) noexcept {
    if (name == "constant_flow") return SampledEstimate::constant_flow;
    if (name == "tangent_flow") return SampledEstimate::tangent_flow;
    if (name == "vanna_volga") return SampledEstimate::vanna_volga;
    if (name == "vanna_tangent_flow") return SampledEstimate::vanna_tangent_flow;
    if (name == "ladder") return SampledEstimate::ladder;
    return std::nullopt;
}

struct SampleLayout {
    std::size_t columns;
    bool centred;
    bool ramp;
};

inline SampleLayout sample_layout(SampledEstimate e, GreekPayoff kind, Estimator est) noexcept {
    const bool lowest = est == Estimator::lowest_variance;
    const bool ramp = lowest && is_digital(kind);
    // Vanna and volga take a spread pathwise, and a ladder has no spreads.
    const bool centred =
        ramp || (lowest && is_spread(kind) &&
                 (e == SampledEstimate::constant_flow || e == SampledEstimate::tangent_flow));
    switch (e) {
        case SampledEstimate::constant_flow:
        case SampledEstimate::ladder: return {centred ? 13U : 5U, centred, ramp};
        case SampledEstimate::tangent_flow: return {centred ? 10U : 4U, centred, ramp};
        case SampledEstimate::vanna_tangent_flow: return {centred ? 4U : 1U, centred, ramp};
        case SampledEstimate::vanna_volga: break;
    }
    return {centred ? 7U : 2U, centred, ramp};
}

}  // namespace quarnel
