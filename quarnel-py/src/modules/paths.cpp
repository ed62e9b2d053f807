// The module `quarnel._path_native`: the primitives of the path-dependent products, which
// quarnel/_paths.py composes into the public functions and quarnel/_dask_paths.py into
// their Dask counterparts (the same primitives, so the same bits):
//   _rows     one row of raw quantities per path (the only pass over the batch);
//   _moments  the chained sums of one row column, for the default ramp half-width;
//   _sums     the chained sample sums of a payoff and estimator over rows;
//   _finish   the Greeks from the sums.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "bind/module.hpp"
#include "bind/record.hpp"
#include "core/fixed_math.hpp"
#include "core/path_products.hpp"
#include "core/work_scope.hpp"

namespace quarnel::py {
namespace {

constexpr const char* kVersion = QUARNEL_VERSION;
constexpr WorkScope kWithoutGil{&enter_without_gil};

using namespace quarnel::paths;

Result<Matrix> rows_body(std::string_view model, const View2D& states, const View2D& dws,
                         const View2D& sigma, const View2D& d_mu_dx, const View2D& d_sigma_dx,
                         const View2D& d2_mu_dx2, const View2D& d2_sigma_dx2, double horizon,
                         double x0, double vol, std::string_view product, double barrier,
                         std::string_view direction, std::string_view knock, const View1D& dates,
                         double first_date, double first_path, std::string_view threads) {
    const PathArguments args{
        model,
        {.paths = {.states = states, .dws = dws, .horizon = horizon},
         .first = {.sigma = sigma, .d_mu_dx = d_mu_dx, .d_sigma_dx = d_sigma_dx},
         .second = {.d2_mu_dx2 = d2_mu_dx2, .d2_sigma_dx2 = d2_sigma_dx2}},
        x0,
        vol,
        product,
        barrier,
        direction,
        knock,
        dates,
        first_date};
    Result<PathModel> m = check_model(args);
    if (!m.ok()) return m.error();
    Result<Product> p = check_product(args, m.value());
    if (!p.ok()) return p.error();
    if (threads != "serial" && threads != "parallel") {
        return ModelError{"unknown threads '" + std::string(threads) +
                          "': expected 'serial' or 'parallel'"};
    }
    const bool parallel = threads == "parallel";
    const auto offset = first_path >= 0.0 && std::isfinite(first_path)
                            ? static_cast<std::size_t>(first_path)
                            : std::size_t{0};
    return all_rows(m.value(), p.value(), parallel, parallel ? &kWithoutGil : nullptr, offset);
}

constexpr Function kRows{
    "_rows", "Per-path rows of a path-dependent product (private).",
    params(text("model"), array2d("states"), array2d("dws"), array2d("sigma"), array2d("d_mu_dx"),
           array2d("d_sigma_dx"), array2d("d2_mu_dx2"), array2d("d2_sigma_dx2"), real("horizon"),
           real("x0"), real("vol"), text("product"), real("barrier"), text("direction"),
           text("knock"), array1d("dates"), real("first_date"), real("first_path"),
           text("threads")),
    &rows_body};

// The chained sums, copied in and out as plain arrays of Sums::kSize doubles.
Result<Sums> sums_from(const View1D& v, std::size_t size) {
    if (v.size() != size) {
        return ModelError{"sums has length " + std::to_string(v.size()) + ", expected " +
                          std::to_string(size)};
    }
    Sums s;
    for (std::size_t i = 0; i < size; ++i) s.s[i] = v[i];
    // The last entry counts paths; finish converts it to an integer.
    const double count = s.s[size - 1];
    if (!(count >= 0.0 && count <= 0x1p53 && count == std::floor(count))) {
        return ModelError{"sums must end with a path count, a whole number >= 0"};
    }
    return s;
}

Buffer sums_buffer(const double* values, std::size_t size) {
    Buffer out = Buffer::allocate(size);
    std::copy(values, values + size, out.data());
    return out;
}

// The rows of `rows` a block at a time, as contiguous doubles for `visit`.
template <class Visit>
void by_blocks(const View2D& rows, Visit&& visit) {
    constexpr std::size_t kBlock = 1024;
    std::vector<double> block(std::min(kBlock, rows.rows) * rows.cols);
    for (std::size_t first = 0; first < rows.rows; first += kBlock) {
        const std::size_t n = std::min(kBlock, rows.rows - first);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t c = 0; c < rows.cols; ++c) {
                block[i * rows.cols + c] = rows(first + i, c);
            }
        }
        visit(block.data(), n);
    }
}

Result<Buffer> sums_body(const View2D& rows, const View1D& sums_in, std::string_view product,
                         std::string_view payoff, double strike, double rebate,
                         std::string_view estimator, double half_width, double rate, double horizon,
                         double vega_weights) {
    const bool barrier = product == "barrier_continuous" || product == "barrier_discrete";
    const bool asian = product == "asian_arithmetic" || product == "asian_geometric";
    if (!barrier && !asian) return ModelError{"unknown product '" + std::string(product) + "'"};
    const std::size_t width = barrier ? std::size_t{kBarrierColumns} : std::size_t{kAsianColumns};
    if (rows.cols != width && rows.rows > 0) {
        return ModelError{"rows have " + std::to_string(rows.cols) + " columns, expected " +
                          std::to_string(width)};
    }
    Result<Sums> sums = sums_from(sums_in, Sums::kSize);
    if (!sums.ok()) return sums.error();
    Result<PayoffName> pay = payoff_named(payoff);
    if (!pay.ok()) return pay.error();
    Result<Estimator> est = estimator_named(estimator);
    if (!est.ok()) return est.error();
    // Discounted samples: their errors are those of the discounted per-path sample.
    const double discount = std::isnan(rate) ? 1.0 : quarnel::fixed::exp(-(rate * horizon));
    const EstimatorSpec spec{pay.value(),        strike, rebate, est.value(), half_width, discount,
                             vega_weights != 0.0};
    Sums s = sums.value();
    const bool continuous = product == "barrier_continuous";
    by_blocks(rows, [&](const double* block, std::size_t n) {
        if (barrier) {
            add_barrier_samples(spec, continuous, block, n, s);
        } else {
            add_asian_samples(spec, block, n, s);
        }
    });
    return sums_buffer(s.s.data(), Sums::kSize);
}

constexpr Function kSums{
    "_sums", "Chained sample sums over rows (private).",
    params(array2d("rows"), array1d("sums"), text("product"), text("payoff"), real("strike"),
           real("rebate"), text("estimator"), real("half_width"), real("rate"), real("horizon"),
           real("vega_weights")),
    &sums_body};

Result<Buffer> moments_body(const View2D& rows, double column, const View1D& sums_in) {
    if (!(column >= 0.0 && column < static_cast<double>(rows.cols))) {
        return ModelError{"column out of range"};
    }
    if (sums_in.size() != 3) return ModelError{"sums must have length 3"};
    double s[3] = {sums_in[0], sums_in[1], sums_in[2]};
    const auto c = static_cast<std::size_t>(column);
    // Left to right in path order, as default_half_width sums.
    for (std::size_t k = 0; k < rows.rows; ++k) {
        const double x = rows(k, c);
        s[0] = s[0] + x;
        s[1] = s[1] + x * x;
        s[2] = s[2] + 1.0;
    }
    return sums_buffer(s, 3);
}

constexpr Function kMoments{"_moments", "Chained sums of one row column (private).",
                            params(array2d("rows"), real("column"), array1d("sums")),
                            &moments_body};

Result<Greeks> finish_body(const View1D& sums_in, double centred, double vega) {
    Result<Sums> sums = sums_from(sums_in, Sums::kSize);
    if (!sums.ok()) return sums.error();
    return finish(sums.value(), centred != 0.0, vega != 0.0);
}

constexpr Function kFinish{"_finish", "The Greeks from chained sums (private).",
                           params(array1d("sums"), real("centred"), real("vega")), &finish_body};

}  // namespace
}  // namespace quarnel::py

PyMODINIT_FUNC PyInit__path_native(void) {
    using namespace quarnel::py;
    static ModuleOnce once;
    static const auto functions = methods<>();
    static const auto private_functions = methods<kRows, kSums, kMoments, kFinish>();
    return once.init({"quarnel._path_native", "", kVersion, functions, private_functions});
}
