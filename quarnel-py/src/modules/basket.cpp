// The module `quarnel._basket`: Greeks of payoffs on several correlated assets, one
// record per function. quarnel/_basket.py wraps the flat results in typed objects.
#include "core/basket.hpp"

#include <vector>

#include "bind/module.hpp"
#include "bind/record.hpp"
#include "core/work_scope.hpp"

namespace quarnel::py {
namespace {

constexpr const char* kVersion = QUARNEL_VERSION;

constexpr WorkScope kWithoutGil{&enter_without_gil};

constexpr auto kPriceParams = params(
    array2d("terminal_states"), array2d("w_terminals"), array1d("x0"), array1d("vols"),
    array2d("correlation"), real("horizon"), text("payoff"), real("strike"), array1d("weights"),
    text("model"), text("estimator"), real_or_none("half_width"), real_or_none("rate"));

BasketArgs basket_args(const View2D& x, const View2D& w, const View1D& x0, const View1D& vols,
                       const View2D& corr, double horizon, std::string_view payoff, double strike,
                       const View1D& weights, std::string_view model, std::string_view estimator,
                       const std::optional<double>& half_width, const std::optional<double>& rate) {
    return {x,      w,       x0,    vols,      corr,       horizon, payoff,
            strike, weights, model, estimator, half_width, rate};
}

constexpr Function kPriceAndGreeksBasket{
    "price_and_greeks_basket",
    "Native: [means, standard errors] of the price, the deltas, the upper\n"
    "triangle of the gamma matrix (row by row) and the vegas of a payoff on\n"
    "d correlated assets. Use quarnel.price_and_greeks_basket.",
    kPriceParams,
    [](const View2D& x, const View2D& w, const View1D& x0, const View1D& vols, const View2D& corr,
       double horizon, std::string_view payoff, double strike, const View1D& weights,
       std::string_view model, std::string_view estimator, const std::optional<double>& half_width,
       const std::optional<double>& rate) {
        return quarnel::price_and_greeks_basket(
            basket_args(x, w, x0, vols, corr, horizon, payoff, strike, weights, model, estimator,
                        half_width, rate),
            kWithoutGil);
    }};

constexpr Function kGreekWeightsBasket{
    "greek_weights_basket",
    "Native: (n_paths, 2 d + d * d), per path the delta weights, the gamma\n"
    "weights (row-major) and the vega weights. Use\n"
    "quarnel.greek_weights_basket.",
    params(array2d("w_terminals"), array1d("x0"), array1d("vols"), array2d("correlation"),
           real("horizon"), text("model")),
    [](const View2D& w, const View1D& x0, const View1D& vols, const View2D& corr, double horizon,
       std::string_view model) {
        return quarnel::greek_weights_basket(w, x0, vols, corr, horizon, model, kWithoutGil);
    }};

constexpr auto kChunkParams = params(
    array2d("terminal_states"), array2d("w_terminals"), array1d("x0"), array1d("vols"),
    array2d("correlation"), real("horizon"), text("payoff"), real("strike"), array1d("weights"),
    text("model"), text("estimator"), real("width"), real_or_none("rate"));

constexpr Function kChunkSamples{
    "_basket_samples", "Chunk primitive: the per-path samples (n, m) of a chunk.", kChunkParams,
    [](const View2D& x, const View2D& w, const View1D& x0, const View1D& vols, const View2D& corr,
       double horizon, std::string_view payoff, double strike, const View1D& weights,
       std::string_view model, std::string_view estimator, double width,
       const std::optional<double>& rate) {
        return quarnel::basket_chunk_samples(
            basket_args(x, w, x0, vols, corr, horizon, payoff, strike, weights, model, estimator,
                        std::nullopt, rate),
            width);
    }};

constexpr Function kChunkBlockSums{
    "_basket_block_sums",
    "Chunk primitive: [sums, sums of squares] of each block of a chunk that starts a block.",
    kChunkParams,
    [](const View2D& x, const View2D& w, const View1D& x0, const View1D& vols, const View2D& corr,
       double horizon, std::string_view payoff, double strike, const View1D& weights,
       std::string_view model, std::string_view estimator, double width,
       const std::optional<double>& rate) {
        return quarnel::basket_chunk_block_sums(
            basket_args(x, w, x0, vols, corr, horizon, payoff, strike, weights, model, estimator,
                        std::nullopt, rate),
            width);
    }};

constexpr Function kChunkLevels{
    "_basket_levels", "Chunk primitive: the basket level of each path, shape (n, 1).", kPriceParams,
    [](const View2D& x, const View2D& w, const View1D& x0, const View1D& vols, const View2D& corr,
       double horizon, std::string_view payoff, double strike, const View1D& weights,
       std::string_view model, std::string_view estimator, const std::optional<double>& half_width,
       const std::optional<double>& rate) {
        return quarnel::basket_levels(basket_args(x, w, x0, vols, corr, horizon, payoff, strike,
                                                  weights, model, estimator, half_width, rate));
    }};

}  // namespace
}  // namespace quarnel::py

PyMODINIT_FUNC PyInit__basket(void) {
    using namespace quarnel::py;
    static ModuleOnce once;
    static const auto functions = methods<kPriceAndGreeksBasket, kGreekWeightsBasket>();
    static const auto private_functions = methods<kChunkSamples, kChunkBlockSums, kChunkLevels>();
    return once.init({"quarnel._basket", "", kVersion, functions, private_functions});
}
