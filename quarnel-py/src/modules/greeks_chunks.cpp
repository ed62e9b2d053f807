#include "modules/greeks_chunks.hpp"

#include <optional>
#include <string_view>
#include <tuple>

#include "bind/record.hpp"
#include "core/chunks.hpp"
#include "core/greeks_chunks.hpp"
#include "core/greeks_ladder.hpp"
#include "core/greeks_tangent_flow.hpp"
#include "core/price_delta.hpp"
#include "core/sample_layout.hpp"
#include "core/vanna_tangent_flow.hpp"
#include "core/vanna_volga.hpp"
#include "modules/tangent_flow_records.hpp"

namespace quarnel::py {
namespace {

constexpr Function kConstantFlowSamples{
    "_constant_flow_samples",
    "Samples (n_paths, 2) of price_and_delta_constant_flow: the price sample\n"
    "and the delta sample of each path, checked as that function checks.",
    params(array1d("terminal_states"), array1d("w_terminals"), real("horizon"), real("sigma_at_x0"),
           text("payoff"), real_or("strike", 0.0, "0.0")),
    &quarnel::constant_flow_chunk_samples};

constexpr Function kTangentFlowSamples{
    "_tangent_flow_samples",
    "Samples (n_paths, 2) of price_and_delta_tangent_flow over a chunk of\n"
    "paths whose first row is path `first_path` of the batch.",
    std::tuple_cat(kFirstOrderFieldBatch, params(real("strike"), real("first_path"))),
    &price_and_delta_chunk_body<&quarnel::tangent_flow_chunk_samples>};

constexpr Function kCheckPriceAndDeltaTangentFlow{
    "_check_price_and_delta_tangent_flow",
    "The checks of price_and_delta_tangent_flow alone: None, or their error.", kPriceAndDeltaParams,
    &price_and_delta_body<[](const FirstOrderPaths& batch, std::string_view payoff,
                             double /*strike: converted, as the function does*/) {
        return none_or(check_price_and_delta_tangent_flow(batch, payoff));
    }>};

constexpr Function kBelWeightsTangentFlowChunk{
    "_bel_weights_tangent_flow_chunk",
    "bel_weights_tangent_flow over a chunk of paths whose first row is path\n"
    "`first_path` of the batch.",
    std::tuple_cat(kFirstOrderParams, params(real("first_path"))),
    &first_order_chunk_body<&bel_weights_tangent_flow_chunk>};

constexpr Function kCheckBelWeightsTangentFlow{
    "_check_bel_weights_tangent_flow",
    "The checks of bel_weights_tangent_flow alone: None, or their error.", kFirstOrderParams,
    &first_order_body<as_check<&check_bel_weights_tangent_flow>>};

constexpr Function kContinueSums{
    "_continue_sums",
    "The running sums [s1..., s2...] of the sample columns, continued from\n"
    "`start` over the rows of `samples` in order: s1 = s1 + v and\n"
    "s2 = s2 + v * v per column.",
    params(array2d("samples"), array1d("start")), &quarnel::continue_sums};

constexpr Function kFinishSums{"_finish_sums",
                               "[means..., stderrs...] of `n_paths` samples from their final sums.",
                               params(array1d("sums"), real("n_paths")),
                               [](const View1D& sums, double n_paths) -> Result<Buffer> {
                                   Result<std::size_t> n = to_count(n_paths, "n_paths");
                                   if (!n.ok()) return n.error();
                                   return finish_sums(sums, n.value());
                               }};

constexpr Function kGreeksConstantFlowSamples{
    "_greeks_constant_flow_samples",
    "Sample columns of price_and_greeks_constant_flow over a chunk: (n, 5)\n"
    "price, delta, gamma, vega, rho samples, or for the localised digital\n"
    "(n, 13) with the ramp half-width `width`.",
    params(array1d("terminal_states"), array1d("w_terminals"), real("horizon"), real("x0"),
           real("vol"), text("payoff"), real("strike"), text("model"), text("estimator"),
           real("width"), real("rate_rho"), real("strike2")),
    [](const View1D& terminal_states, const View1D& w_terminals, double horizon, double x0,
       double vol, std::string_view payoff, double strike, std::string_view model,
       std::string_view estimator, double width, double rate_rho, double strike2) {
        return greeks_constant_flow_chunk_samples(terminal_states, w_terminals, horizon, x0, vol,
                                                  payoff, strike, model, estimator, width,
                                                  rate_rho != 0.0, strike2);
    }};

constexpr Function kVannaVolgaConstantFlowSamples{
    "_vanna_volga_constant_flow_samples",
    "Sample columns of vanna_volga_constant_flow over a chunk: (n, 2) vanna\n"
    "and volga samples, or for the localised digital (n, 7) with the ramp\n"
    "half-width `width`.",
    params(array1d("terminal_states"), array1d("w_terminals"), real("horizon"), real("x0"),
           real("vol"), text("payoff"), real("strike"), text("model"), text("estimator"),
           real("width"), real("strike2")),
    &quarnel::vanna_volga_constant_flow_chunk_samples};

constexpr Function kLadderConstantFlowSamples{
    "_ladder_constant_flow_samples",
    "Sample columns of price_and_greeks_ladder_constant_flow over a chunk:\n"
    "per strike the 5 columns of _greeks_constant_flow_samples, or 13 for\n"
    "the localised digital with the ramp half-width `width`.",
    params(array1d("terminal_states"), array1d("w_terminals"), real("horizon"), real("x0"),
           real("vol"), text("payoff"), array1d("strikes"), text("model"), text("estimator"),
           real("width"), real("rate_rho")),
    [](const View1D& terminal_states, const View1D& w_terminals, double horizon, double x0,
       double vol, std::string_view payoff, const View1D& strikes, std::string_view model,
       std::string_view estimator, double width, double rate_rho) {
        return ladder_constant_flow_chunk_samples(terminal_states, w_terminals, horizon, x0, vol,
                                                  payoff, strikes, model, estimator, width,
                                                  rate_rho != 0.0);
    }};

constexpr Function kFinishGreeks{
    "_finish_greeks",
    "The Greeks of the single call from its finished [means..., stderrs...]:\n"
    "10 numbers (constant flow) or 8 (tangent flow, vega of the bump).",
    params(array1d("estimates"), real("horizon"), real_or_none("vol"), real_or_none("rate")),
    &quarnel::finish_chunked_greeks};

constexpr Function kLocalisedDigitalFinish{
    "_localised_digital_finish",
    "[price and m Greek means, their stderrs] of the localised digital\n"
    "from the final sums of its 1 + 3 m columns.",
    params(array1d("sums"), real("n_paths")),
    [](const View1D& sums, double n_paths) -> Result<Buffer> {
        Result<std::size_t> n = to_count(n_paths, "n_paths");
        if (!n.ok()) return n.error();
        return localised_digital_finish(sums, n.value());
    }};

constexpr Function kDefaultHalfWidth{
    "_default_half_width", "[the default ramp half-width] of n values from [S(x), S(x * x)].",
    params(array1d("sums"), real("n_paths")),
    [](const View1D& sums, double n_paths) -> Result<Buffer> {
        Result<std::size_t> n = to_count(n_paths, "n_paths");
        if (!n.ok()) return n.error();
        return default_half_width_of(sums, n.value());
    }};

constexpr Function kCheckPriceAndGreeksTangentFlow{
    "_check_price_and_greeks_tangent_flow",
    "The checks of price_and_greeks_tangent_flow alone: None, or their error.",
    kPriceAndGreeksParams, &price_and_greeks_body<as_check<&check_price_and_greeks_tangent_flow>>};

constexpr Function kGreekRowsTangentFlow{
    "_greek_rows_tangent_flow",
    "Kernel rows of price_and_greeks_tangent_flow over a chunk whose first\n"
    "row is path `first_path` of the batch, X_N in front: (n, 5), or (n, 7)\n"
    "when `with_vega` is nonzero.",
    std::tuple_cat(kFieldArrays, params(real("first_path"), real("with_vega"))),
    &second_order_chunk_body<[](const SecondOrderPaths& batch, std::size_t first,
                                double with_vega) {
        return greek_rows_tangent_flow_chunk(batch, with_vega != 0.0, first);
    },
                             double>};

constexpr Function kGreeksTangentFlowSamples{
    "_greeks_tangent_flow_samples",
    "Samples of price_and_greeks_tangent_flow from a chunk's rows: (n, 4),\n"
    "or (n, 10) for the localised digital with ramp half-width `width`.",
    params(array2d("rows"), text("payoff"), real("strike"), text("estimator"), real("width"),
           real("strike2")),
    &quarnel::greeks_tangent_flow_chunk_samples};

constexpr Function kVannaRowsTangentFlow{
    "_vanna_rows_tangent_flow",
    "Kernel rows of vanna_tangent_flow over a chunk whose first row is path\n"
    "`first_path` of the batch: (n, 5), X_N, Y_N, q, M Y_N, the mixed weight.",
    std::tuple_cat(kFieldArrays, params(real("first_path"))),
    &second_order_chunk_body<&vanna_rows_tangent_flow_chunk>};

constexpr Function kVannaTangentFlowSamples{
    "_vanna_tangent_flow_samples",
    "Samples of vanna_tangent_flow from a chunk's rows: (n, 1), or (n, 4)\n"
    "for the localised digital with ramp half-width `width`.",
    params(array2d("rows"), text("payoff"), real("strike"), text("estimator"), real("width"),
           real("strike2")),
    &quarnel::vanna_tangent_flow_chunk_samples};

constexpr Function kGreekWeightsTangentFlowChunk{
    "_greek_weights_tangent_flow_chunk",
    "greek_weights_tangent_flow over a chunk of paths whose first row is\n"
    "path `first_path` of the batch.",
    std::tuple_cat(kSecondOrderParams, params(real("first_path"))),
    &second_order_chunk_body<&greek_weights_tangent_flow_chunk>};

constexpr Function kCheckGreekWeightsTangentFlow{
    "_check_greek_weights_tangent_flow",
    "The checks of greek_weights_tangent_flow alone: None, or their error.", kSecondOrderParams,
    &second_order_body<as_check<&check_greek_weights_tangent_flow>>};

constexpr Function kParameterWeightsTangentFlowChunk{
    "_parameter_weights_tangent_flow_chunk",
    "parameter_weights_tangent_flow over a chunk of paths whose first row is\n"
    "path `first_path` of the batch.",
    std::tuple_cat(kParameterParams, params(real("first_path"))),
    &parameter_chunk_body<&parameter_weights_tangent_flow_chunk>};

constexpr Function kMixedWeightsTangentFlowChunk{
    "_mixed_weights_tangent_flow_chunk",
    "mixed_weights_tangent_flow over a chunk of paths whose first row is\n"
    "path `first_path` of the batch (its checks are the parameter weights').",
    std::tuple_cat(kParameterParams, params(real("first_path"))),
    &parameter_chunk_body<&mixed_weights_tangent_flow_chunk>};

constexpr Function kCheckParameterWeightsTangentFlow{
    "_check_parameter_weights_tangent_flow",
    "The checks of parameter_weights_tangent_flow alone: None, or their error.", kParameterParams,
    &parameter_body<as_check<&check_parameter_weights_tangent_flow>>};

constexpr Function kSampleLayout{
    "_sample_layout",
    "(columns, centred, ramp) of the per-path samples of an estimate's chunk\n"
    "primitive ('constant_flow', 'tangent_flow', 'vanna_volga',\n"
    "'vanna_tangent_flow', or 'ladder' per strike) for a payoff and estimator,\n"
    "as floats: how the chunks are summed.",
    params(text("estimate"), text("payoff"), text("estimator")),
    [](std::string_view estimate, std::string_view payoff,
       std::string_view estimator) -> Result<Ref> {
        const std::optional<SampledEstimate> e = parse_sampled_estimate(estimate);
        if (!e) return ModelError{"unknown estimate '" + std::string(estimate) + "'"};
        const Result<GreekPayoff> kind = greek_payoff_named(payoff);
        if (!kind.ok()) return kind.error();
        const Result<Estimator> est = estimator_named(estimator);
        if (!est.ok()) return est.error();
        const SampleLayout layout = sample_layout(*e, kind.value(), est.value());
        const double values[3] = {static_cast<double>(layout.columns), layout.centred ? 1.0 : 0.0,
                                  layout.ramp ? 1.0 : 0.0};
        return make_float_tuple(values, 3);
    }};

}  // namespace

std::span<const Method> chunked_methods() {
    static const auto functions =
        methods<kConstantFlowSamples, kTangentFlowSamples, kCheckPriceAndDeltaTangentFlow,
                kBelWeightsTangentFlowChunk, kCheckBelWeightsTangentFlow, kContinueSums,
                kFinishSums, kGreeksConstantFlowSamples, kVannaVolgaConstantFlowSamples,
                kLadderConstantFlowSamples, kLocalisedDigitalFinish, kDefaultHalfWidth,
                kFinishGreeks, kCheckPriceAndGreeksTangentFlow, kGreekRowsTangentFlow,
                kGreeksTangentFlowSamples, kGreekWeightsTangentFlowChunk,
                kCheckGreekWeightsTangentFlow, kParameterWeightsTangentFlowChunk,
                kCheckParameterWeightsTangentFlow, kMixedWeightsTangentFlowChunk,
                kVannaRowsTangentFlow, kVannaTangentFlowSamples, kSampleLayout>();
    return functions;
}

}  // namespace quarnel::py
