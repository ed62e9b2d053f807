// The module `quarnel._fused`: simulation and estimation in one pass for the built-in
// models, the counter-based normals and the batch of a fused call. The package wraps
// these in quarnel/_fused_api.py (model objects, 64-bit seeds), so the records take
// plain numbers: a model as its name and parameters (a, b, c), a seed as two 32-bit
// halves (a float holds every 32-bit whole number exactly).
#include "core/fused.hpp"

#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>
#include <vector>

#include "bind/module.hpp"
#include "bind/record.hpp"
#include "core/work_scope.hpp"

namespace quarnel::py {
namespace {

constexpr const char* kVersion = QUARNEL_VERSION;

constexpr WorkScope kWithoutGil{&enter_without_gil};

// A fused call's model (its name and parameters a, b, c) and grid, which every function
// but `normals` starts with, and their checked values.
constexpr auto kModelGridParams =
    params(text("model"), real("x0"), real("a"), real("b"), real("c"), real("n_paths"),
           real("n_steps"), real("horizon"), real("seed_lo"), real("seed_hi"));

// price_and_greeks' parameters, which its check shares.
constexpr auto kGreeksParams = std::tuple_cat(
    kModelGridParams,
    params(text("payoff"), real_or("strike", 0.0, "0.0"),
           text_or("estimator", "lowest_variance", "'lowest_variance'"), real_or_none("half_width"),
           real_or_none("rate"), real_or_none("strike2"), text_or_none("pairs", "", "None")));

struct ModelGrid {
    FusedModel model;
    FusedGrid grid;
};

Result<ModelGrid> model_grid(std::string_view model, double x0, double a, double b, double c,
                             double n_paths, double n_steps, double horizon, double seed_lo,
                             double seed_hi) {
    Result<FusedModel> m = fused_model(model, x0, a, b, c);
    if (!m.ok()) return m.error();
    Result<FusedGrid> grid = fused_grid(n_paths, n_steps, horizon, seed_lo, seed_hi, 0.0);
    if (!grid.ok()) return grid.error();
    return ModelGrid{m.value(), grid.value()};
}

constexpr Function kNormals{
    "normals",
    "Low-level: the standard normals z[k, j] of paths first_path + k and steps\n"
    "j of the generator keyed by the seed (seed_lo + 2**32 seed_hi); the\n"
    "fused calls' increments are sqrt(horizon / n_steps) z.",
    params(real("seed_lo"), real("seed_hi"), real("n_paths"), real("n_steps"),
           real_or("first_path", 0.0, "0.0")),
    [](double seed_lo, double seed_hi, double n_paths, double n_steps,
       double first_path) -> Result<Matrix> {
        Result<FusedGrid> grid = fused_grid(n_paths, n_steps, 1.0, seed_lo, seed_hi, first_path);
        if (!grid.ok()) return grid.error();
        return fused_normals(grid.value());
    }};

constexpr Function kSimulate{
    "simulate",
    "Low-level: the batch of a fused call as one (n_paths, 7 n_steps + 1)\n"
    "matrix: states, dws, sigma, d_mu_dx, d_sigma_dx, d2_mu_dx2, d2_sigma_dx2;\n"
    "with pairs='adjacent' the antithetic pairs of adjacent paths.",
    std::tuple_cat(kModelGridParams, params(text_or_none("pairs", "", "None"))),
    [](std::string_view model, double x0, double a, double b, double c, double n_paths,
       double n_steps, double horizon, double seed_lo, double seed_hi,
       const std::optional<std::string_view>& pairs) -> Result<Matrix> {
        Result<ModelGrid> call =
            model_grid(model, x0, a, b, c, n_paths, n_steps, horizon, seed_lo, seed_hi);
        if (!call.ok()) return call.error();
        auto [m, grid] = call.value();
        Result<bool> antithetic = fused_antithetic(pairs, grid.n_paths);
        if (!antithetic.ok()) return antithetic.error();
        grid.antithetic = antithetic.value();
        return fused_simulate(m, grid);
    }};

constexpr Function kPriceAndGreeks{
    "price_and_greeks",
    "Low-level: price, delta, gamma and vega (d/d vol) of a built-in payoff,\n"
    "simulating and estimating in one pass; a `Greeks`.",
    kGreeksParams,
    [](std::string_view model, double x0, double a, double b, double c, double n_paths,
       double n_steps, double horizon, double seed_lo, double seed_hi, std::string_view payoff,
       double strike, std::string_view estimator, const std::optional<double>& half_width,
       const std::optional<double>& rate, const std::optional<double>& strike2,
       const std::optional<std::string_view>& pairs) -> Result<Greeks> {
        Result<ModelGrid> call =
            model_grid(model, x0, a, b, c, n_paths, n_steps, horizon, seed_lo, seed_hi);
        if (!call.ok()) return call.error();
        const auto& [m, grid] = call.value();
        return fused_price_and_greeks(m, grid, payoff, strike, estimator, half_width, rate, strike2,
                                      pairs, kWithoutGil);
    }};

constexpr Function kPriceAndDelta{
    "price_and_delta",
    "Low-level: price and delta of a built-in payoff with the first-order\n"
    "tangent-flow weight, simulating and estimating in one pass.",
    std::tuple_cat(kModelGridParams,
                   params(text("payoff"), real_or("strike", 0.0, "0.0"), real_or_none("rate"))),
    [](std::string_view model, double x0, double a, double b, double c, double n_paths,
       double n_steps, double horizon, double seed_lo, double seed_hi, std::string_view payoff,
       double strike, const std::optional<double>& rate) -> Result<PriceDelta> {
        Result<ModelGrid> call =
            model_grid(model, x0, a, b, c, n_paths, n_steps, horizon, seed_lo, seed_hi);
        if (!call.ok()) return call.error();
        const auto& [m, grid] = call.value();
        return fused_price_and_delta(m, grid, payoff, strike, rate, kWithoutGil);
    }};

constexpr Function kRows{
    "rows",
    "Test hook: the per-path rows of the kernel of `width` lanes (0: the\n"
    "widest), or None where that width is not built or the CPU lacks it. Kind\n"
    "0: X_N, delta weight, gamma weight, Y_N, H_N, V_N, vega weight; 1: X_N\n"
    "and the first-order delta weight; 2: X_N.",
    std::tuple_cat(params(real("width"), real("kind")), kModelGridParams),
    [](double width, double kind, std::string_view model, double x0, double a, double b, double c,
       double n_paths, double n_steps, double horizon, double seed_lo,
       double seed_hi) -> Result<Ref> {
        Result<ModelGrid> call =
            model_grid(model, x0, a, b, c, n_paths, n_steps, horizon, seed_lo, seed_hi);
        if (!call.ok()) return call.error();
        const auto& [m, grid] = call.value();
        const int w = static_cast<int>(width);
        const detail::FusedRowsFn fn =
            (w == 0 || w == 1 || w == 2 || w == 4 || w == 8) ? detail::fused_rows_at(w) : nullptr;
        if (fn == nullptr) return Ref::borrow(Py_None);
        const int k = kind == 1.0   ? detail::kRowsDelta
                      : kind == 2.0 ? detail::kRowsState
                                    : detail::kRowsGreeks;
        const std::size_t cols = k == detail::kRowsGreeks  ? detail::kFusedColumns
                                 : k == detail::kRowsDelta ? detail::kDeltaColumns
                                                           : 1;
        Matrix out = Matrix::allocate(grid.n_paths, cols);  // NOLINT(clang-analyzer-unix.Malloc)
        if (auto z = fn(k, m, grid, 0, grid.n_paths, out.buffer.data())) {
            return ModelError{"sigma(X) = 0 on a path"};
        }
        return to_python(std::move(out));
    }};

constexpr Function kCheckPriceAndGreeks{
    "_check_price_and_greeks",
    "The checks of price_and_greeks without its work: None, or the error\n"
    "that call raises first (the generator's and the kernel's faults aside).",
    kGreeksParams,
    [](std::string_view model, double x0, double a, double b, double c, double n_paths,
       double n_steps, double horizon, double seed_lo, double seed_hi, std::string_view payoff,
       double strike, std::string_view estimator, const std::optional<double>& half_width,
       const std::optional<double>& rate, const std::optional<double>& strike2,
       const std::optional<std::string_view>& pairs) -> Result<Ref> {
        Result<ModelGrid> call =
            model_grid(model, x0, a, b, c, n_paths, n_steps, horizon, seed_lo, seed_hi);
        if (!call.ok()) return call.error();
        Result<FusedGreeksCall> r = check_fused_greeks(payoff, strike, estimator, half_width, rate,
                                                       strike2, pairs, call.value().grid.n_paths);
        if (!r.ok()) return r.error();
        return Ref::borrow(Py_None);
    }};

constexpr Function kGreekRows{
    "_greek_rows",
    "The kernel rows (n_paths, 7) of paths first_path on of a fused call:\n"
    "X_N, delta weight, gamma weight, Y_N, H_N, V_N, vega weight (of the\n"
    "parallel bump); the chunks of quarnel.dask.price_and_greeks_fused (with\n"
    "pairs='adjacent', chunks of whole pairs).",
    std::tuple_cat(kModelGridParams, params(real("first_path"), text_or_none("pairs", "", "None"))),
    [](std::string_view model, double x0, double a, double b, double c, double n_paths,
       double n_steps, double horizon, double seed_lo, double seed_hi, double first_path,
       const std::optional<std::string_view>& pairs) -> Result<Matrix> {
        Result<FusedModel> m = fused_model(model, x0, a, b, c);
        if (!m.ok()) return m.error();
        Result<FusedGrid> grid =
            fused_grid(n_paths, n_steps, horizon, seed_lo, seed_hi, first_path);
        if (!grid.ok()) return grid.error();
        Result<bool> antithetic = fused_antithetic(pairs, grid.value().n_paths);
        if (!antithetic.ok()) return antithetic.error();
        FusedGrid drawn = grid.value();
        drawn.antithetic = antithetic.value();
        return fused_greek_rows(m.value(), drawn, kWithoutGil);
    }};

constexpr Function kLocalVolSurface{
    "_local_vol_surface",
    "A checked local volatility surface vols[i, k] at (times[i], states[k]),\n"
    "its spline built once: the handle that the model 'local_vol' names.",
    params(array1d("times"), array1d("states"), array2d("vols")),
    [](const View1D& times, const View1D& states, const View2D& vols) -> Result<Ref> {
        Result<std::uint64_t> handle = local_vol_register(times, states, vols);
        if (!handle.ok()) return handle.error();
        PyObject* h = PyLong_FromUnsignedLongLong(handle.value());
        if (h == nullptr) throw_pending();
        return Ref::steal(h);
    }};

constexpr Function kReleaseLocalVol{"_release_local_vol",
                                    "Frees the surface of a handle (a handle not live is ignored).",
                                    params(real("handle")), [](double handle) -> Result<Ref> {
                                        if (handle >= 1.0 && handle < 0x1p53)
                                            local_vol_release(static_cast<std::uint64_t>(handle));
                                        return Ref::borrow(Py_None);
                                    }};

constexpr Function kStateSum{
    "state_sum",
    "Benchmark hook: the sum of X_T over the paths simulated without tangents\n"
    "(normals, coefficients and Euler steps only), on the worker pool.",
    kModelGridParams,
    [](std::string_view model, double x0, double a, double b, double c, double n_paths,
       double n_steps, double horizon, double seed_lo, double seed_hi) -> Result<MeanStderr> {
        Result<ModelGrid> call =
            model_grid(model, x0, a, b, c, n_paths, n_steps, horizon, seed_lo, seed_hi);
        if (!call.ok()) return call.error();
        const auto& [m, grid] = call.value();
        return MeanStderr{fused_state_sum(m, grid, kWithoutGil), 0.0};
    }};

constexpr Function kWidth{"width", "The lanes of the fused kernels on this CPU.", params(), []() {
                              PyObject* w = PyLong_FromLong(detail::fused_width());
                              if (w == nullptr) throw_pending();
                              return Ref::steal(w);
                          }};

}  // namespace
}  // namespace quarnel::py

PyMODINIT_FUNC PyInit__fused(void) {
    using namespace quarnel::py;
    static ModuleOnce once;
    static const auto functions =
        methods<kNormals, kSimulate, kPriceAndGreeks, kPriceAndDelta, kRows, kStateSum, kWidth>();
    static const auto private_functions =
        methods<kCheckPriceAndGreeks, kGreekRows, kLocalVolSurface, kReleaseLocalVol>();
    return once.init({"quarnel._fused", "", kVersion, functions, private_functions});
}
