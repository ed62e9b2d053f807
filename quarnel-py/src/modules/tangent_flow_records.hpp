// The parameter lists of the tangent-flow functions and the bodies that gather their
// arrays into the path-batch structs, written once. The public records (quarnel.cpp,
// greeks.cpp) and the primitives that quarnel.dask composes (greeks_chunks.cpp) are
// made from them, so a primitive binds its arguments with the function's names,
// defaults and conversions and refuses a bad one with the function's error; a check
// primitive is the function's parameter list with the function's checks for a body.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <tuple>
#include <utility>

#include "bind/record.hpp"
#include "core/chunks.hpp"
#include "core/path_batch.hpp"
#include "core/result.hpp"
#include "core/view.hpp"

namespace quarnel::py {

// The first-order batch of the weight functions, before their horizon; the price-and-
// delta batch names its coefficient fields `*_field`, up to its payoff.
inline constexpr auto kFirstOrderBatch = params(array2d("states"), array2d("dws"), array2d("sigma"),
                                                array2d("d_mu_dx"), array2d("d_sigma_dx"));
inline constexpr auto kFirstOrderParams = std::tuple_cat(kFirstOrderBatch, params(real("horizon")));
inline constexpr auto kFirstOrderFieldBatch =
    params(array2d("states"), array2d("dws"), array2d("sigma_field"), array2d("d_mu_dx_field"),
           array2d("d_sigma_dx_field"), real("horizon"), text("payoff"));
inline constexpr auto kPriceAndDeltaParams =
    std::tuple_cat(kFirstOrderFieldBatch, params(real_or("strike", 0.0, "0.0")));

// A batch of the second-order weight functions, before their horizon; with a model
// parameter's four fields; the price-and-Greeks batch names its coefficient fields
// `*_field`, as price_and_delta_tangent_flow does.
inline constexpr auto kSecondOrderBatch =
    params(array2d("states"), array2d("dws"), array2d("sigma"), array2d("d_mu_dx"),
           array2d("d_sigma_dx"), array2d("d2_mu_dx2"), array2d("d2_sigma_dx2"));
inline constexpr auto kSecondOrderParams =
    std::tuple_cat(kSecondOrderBatch, params(real("horizon")));
inline constexpr auto kParameterParams = std::tuple_cat(
    kSecondOrderBatch, params(array2d("d_mu_dp"), array2d("d_sigma_dp"), array2d("d2_mu_dx_dp"),
                              array2d("d2_sigma_dx_dp"), real("horizon")));
inline constexpr auto kFieldArrays =
    params(array2d("states"), array2d("dws"), array2d("sigma_field"), array2d("d_mu_dx_field"),
           array2d("d_sigma_dx_field"), array2d("d2_mu_dx2_field"), array2d("d2_sigma_dx2_field"),
           real("horizon"));
inline constexpr auto kFieldBatch = std::tuple_cat(kFieldArrays, params(text("payoff")));
// What follows the payoff: the price-and-Greeks options, and the vanna's, vol first.
inline constexpr auto kGreekOptions = params(
    real_or("strike", 0.0, "0.0"), text_or("estimator", "lowest_variance", "'lowest_variance'"),
    real_or_none("vol"), real_or_none("half_width"), real_or_none("rate"), real_or_none("strike2"),
    text_or_none("pairs", "", "None"));
inline constexpr auto kVannaOptions =
    params(real("vol"), real_or("strike", 0.0, "0.0"),
           text_or("estimator", "lowest_variance", "'lowest_variance'"), real_or_none("half_width"),
           real_or_none("rate"), real_or_none("strike2"), text_or_none("pairs", "", "None"));
inline constexpr auto kPriceAndGreeksParams = std::tuple_cat(kFieldBatch, kGreekOptions);
inline constexpr auto kVannaParams = std::tuple_cat(kFieldBatch, kVannaOptions);

// The chunk primitives' path index, checked as a count.
template <class R, class F>
R with_first_path(double first_path, F&& f) {
    Result<std::size_t> first = to_count(first_path, "first_path");
    if (!first.ok()) return first.error();
    return f(first.value());
}

inline FirstOrderPaths first_order_paths(const View2D& states, const View2D& dws,
                                         const View2D& sigma, const View2D& d_mu_dx,
                                         const View2D& d_sigma_dx, double horizon) {
    return {.paths = {.states = states, .dws = dws, .horizon = horizon},
            .first = {.sigma = sigma, .d_mu_dx = d_mu_dx, .d_sigma_dx = d_sigma_dx}};
}

// Bodies of kFirstOrderParams (and first_path, for a chunk): Fn(batch[, first]).
template <auto Fn>
auto first_order_body(const View2D& states, const View2D& dws, const View2D& sigma,
                      const View2D& d_mu_dx, const View2D& d_sigma_dx, double horizon) {
    return Fn(first_order_paths(states, dws, sigma, d_mu_dx, d_sigma_dx, horizon));
}

template <auto Fn>
auto first_order_chunk_body(const View2D& states, const View2D& dws, const View2D& sigma,
                            const View2D& d_mu_dx, const View2D& d_sigma_dx, double horizon,
                            double first_path) -> decltype(Fn(FirstOrderPaths{}, 0)) {
    return with_first_path<decltype(Fn(FirstOrderPaths{}, 0))>(first_path, [&](std::size_t first) {
        return Fn(first_order_paths(states, dws, sigma, d_mu_dx, d_sigma_dx, horizon), first);
    });
}

// Bodies of kPriceAndDeltaParams (and first_path): Fn(batch, payoff, strike[, first]).
template <auto Fn>
auto price_and_delta_body(const View2D& states, const View2D& dws, const View2D& sigma_field,
                          const View2D& d_mu_dx_field, const View2D& d_sigma_dx_field,
                          double horizon, std::string_view payoff, double strike) {
    return Fn(first_order_paths(states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, horizon),
              payoff, strike);
}

template <auto Fn>
auto price_and_delta_chunk_body(const View2D& states, const View2D& dws, const View2D& sigma_field,
                                const View2D& d_mu_dx_field, const View2D& d_sigma_dx_field,
                                double horizon, std::string_view payoff, double strike,
                                double first_path)
    -> decltype(Fn(FirstOrderPaths{}, payoff, strike, 0)) {
    using R = decltype(Fn(FirstOrderPaths{}, payoff, strike, 0));
    return with_first_path<R>(first_path, [&](std::size_t first) {
        return Fn(
            first_order_paths(states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field, horizon),
            payoff, strike, first);
    });
}

inline SecondOrderPaths second_order_paths(const View2D& states, const View2D& dws,
                                           const View2D& sigma, const View2D& d_mu_dx,
                                           const View2D& d_sigma_dx, const View2D& d2_mu_dx2,
                                           const View2D& d2_sigma_dx2, double horizon) {
    return {.paths = {.states = states, .dws = dws, .horizon = horizon},
            .first = {.sigma = sigma, .d_mu_dx = d_mu_dx, .d_sigma_dx = d_sigma_dx},
            .second = {.d2_mu_dx2 = d2_mu_dx2, .d2_sigma_dx2 = d2_sigma_dx2}};
}

// Bodies of kSecondOrderParams (and first_path, for a chunk): Fn(batch[, first]).
template <auto Fn>
auto second_order_body(const View2D& states, const View2D& dws, const View2D& sigma,
                       const View2D& d_mu_dx, const View2D& d_sigma_dx, const View2D& d2_mu_dx2,
                       const View2D& d2_sigma_dx2, double horizon) {
    return Fn(second_order_paths(states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2,
                                 horizon));
}

// The chunk body's trailing `extra` arguments (after first_path) go to Fn after first.
template <auto Fn, class... Extra>
auto second_order_chunk_body(const View2D& states, const View2D& dws, const View2D& sigma,
                             const View2D& d_mu_dx, const View2D& d_sigma_dx,
                             const View2D& d2_mu_dx2, const View2D& d2_sigma_dx2, double horizon,
                             double first_path, Extra... extra)
    -> decltype(Fn(SecondOrderPaths{}, 0, extra...)) {
    using R = decltype(Fn(SecondOrderPaths{}, 0, extra...));
    return with_first_path<R>(first_path, [&](std::size_t first) {
        return Fn(second_order_paths(states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2,
                                     d2_sigma_dx2, horizon),
                  first, extra...);
    });
}

// Bodies of kParameterParams (and first_path): Fn(batch with the parameter[, first]).
inline ParameterPaths parameter_paths(const View2D& states, const View2D& dws, const View2D& sigma,
                                      const View2D& d_mu_dx, const View2D& d_sigma_dx,
                                      const View2D& d2_mu_dx2, const View2D& d2_sigma_dx2,
                                      const View2D& d_mu_dp, const View2D& d_sigma_dp,
                                      const View2D& d2_mu_dx_dp, const View2D& d2_sigma_dx_dp,
                                      double horizon) {
    const SecondOrderPaths b = second_order_paths(states, dws, sigma, d_mu_dx, d_sigma_dx,
                                                  d2_mu_dx2, d2_sigma_dx2, horizon);
    return {.paths = b.paths,
            .first = b.first,
            .second = b.second,
            .parameter = {.d_mu_dp = d_mu_dp,
                          .d_sigma_dp = d_sigma_dp,
                          .d2_mu_dx_dp = d2_mu_dx_dp,
                          .d2_sigma_dx_dp = d2_sigma_dx_dp}};
}

template <auto Fn>
auto parameter_body(const View2D& states, const View2D& dws, const View2D& sigma,
                    const View2D& d_mu_dx, const View2D& d_sigma_dx, const View2D& d2_mu_dx2,
                    const View2D& d2_sigma_dx2, const View2D& d_mu_dp, const View2D& d_sigma_dp,
                    const View2D& d2_mu_dx_dp, const View2D& d2_sigma_dx_dp, double horizon) {
    return Fn(parameter_paths(states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2,
                              d_mu_dp, d_sigma_dp, d2_mu_dx_dp, d2_sigma_dx_dp, horizon));
}

template <auto Fn>
auto parameter_chunk_body(const View2D& states, const View2D& dws, const View2D& sigma,
                          const View2D& d_mu_dx, const View2D& d_sigma_dx, const View2D& d2_mu_dx2,
                          const View2D& d2_sigma_dx2, const View2D& d_mu_dp,
                          const View2D& d_sigma_dp, const View2D& d2_mu_dx_dp,
                          const View2D& d2_sigma_dx_dp, double horizon, double first_path)
    -> decltype(Fn(ParameterPaths{}, 0)) {
    return with_first_path<decltype(Fn(ParameterPaths{}, 0))>(first_path, [&](std::size_t first) {
        return Fn(parameter_paths(states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2,
                                  d_mu_dp, d_sigma_dp, d2_mu_dx_dp, d2_sigma_dx_dp, horizon),
                  first);
    });
}

// Bodies of kPriceAndGreeksParams and kVannaParams: Fn(batch, payoff, the options).
template <auto Fn>
auto price_and_greeks_body(const View2D& states, const View2D& dws, const View2D& sigma_field,
                           const View2D& d_mu_dx_field, const View2D& d_sigma_dx_field,
                           const View2D& d2_mu_dx2_field, const View2D& d2_sigma_dx2_field,
                           double horizon, std::string_view payoff, double strike,
                           std::string_view estimator, const std::optional<double>& vol,
                           const std::optional<double>& half_width,
                           const std::optional<double>& rate, const std::optional<double>& strike2,
                           const std::optional<std::string_view>& pairs) {
    return Fn(second_order_paths(states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field,
                                 d2_mu_dx2_field, d2_sigma_dx2_field, horizon),
              payoff, strike, estimator, vol, half_width, rate, strike2, pairs);
}

template <auto Fn>
auto vanna_body(const View2D& states, const View2D& dws, const View2D& sigma_field,
                const View2D& d_mu_dx_field, const View2D& d_sigma_dx_field,
                const View2D& d2_mu_dx2_field, const View2D& d2_sigma_dx2_field, double horizon,
                std::string_view payoff, double vol, double strike, std::string_view estimator,
                const std::optional<double>& half_width, const std::optional<double>& rate,
                const std::optional<double>& strike2,
                const std::optional<std::string_view>& pairs) {
    return Fn(second_order_paths(states, dws, sigma_field, d_mu_dx_field, d_sigma_dx_field,
                                 d2_mu_dx2_field, d2_sigma_dx2_field, horizon),
              payoff, vol, strike, estimator, half_width, rate, strike2, pairs);
}

// A check primitive's result: None, or the ValueError the function itself would raise
// first (from a check that returns an error, or a Result whose value is dropped).
inline Result<Ref> none_or(std::optional<ModelError> err) {
    if (err) return *std::move(err);
    return Ref::borrow(Py_None);
}

template <class T>
Result<Ref> none_or(const Result<T>& r) {
    if (!r.ok()) return r.error();
    return Ref::borrow(Py_None);
}

// The body of a check primitive from a check of the function's own arguments.
template <auto Check>
inline constexpr auto as_check = [](const auto&... a) { return none_or(Check(a...)); };

}  // namespace quarnel::py
