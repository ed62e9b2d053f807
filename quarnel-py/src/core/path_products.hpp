// Path-dependent products (barriers, Asians) and the delta and gamma weights of any
// payoff of the path after a first monitoring date, on two kinds of batch:
//   gbm:   states of GBM simulated exactly (S_j = x0 exp((mu - s^2/2) t_j + s W_j)),
//          their Brownian increments, x0 and the volatility s;
//   euler: a scalar model on an Euler grid with its first- and second-order fields
//          (the tangent flow), optionally sigma = vol * s(x) for a vega.
//
// Every function works in two stages. The kernel walks each path once and writes one row
// of raw per-path quantities (the payoff's argument, its pathwise derivatives, the
// weights, the survival and its derivatives); the estimator turns rows into samples for
// the chosen payoff and sums them left to right in path order. Rows depend only on their
// own path, so the parallel kernels and the chunks of quarnel.dask give the serial bits.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "core/buffer.hpp"
#include "core/greeks.hpp"
#include "core/matrix.hpp"
#include "core/path_batch.hpp"
#include "core/result.hpp"
#include "core/view.hpp"
#include "core/work_scope.hpp"

namespace quarnel::paths {

enum class ModelKind { gbm, euler };

// A checked batch. For gbm the fields are unused; for euler x0 is states[:, 0].
struct PathModel {
    ModelKind kind = ModelKind::gbm;
    View2D states, dws;
    FirstOrderFields first;
    SecondOrderFields second;
    std::size_t n_paths = 0, n_steps = 0;
    double horizon = 0.0, dt = 0.0;
    double x0 = 0.0;       // gbm only
    double vol = 0.0;      // gbm: s; euler: the vol that sigma is proportional to, or NaN
    bool has_vol = false;  // a vega can be formed
};

enum class ProductKind {
    barrier_continuous,
    barrier_discrete,
    asian_arithmetic,
    asian_geometric,
    weights
};

// What the kernel computes besides the model. `dates` is the monitoring mask over grid
// dates 1..N (1.0 monitored, 0.0 not); `first_date` the first monitored index.
struct Product {
    ProductKind kind = ProductKind::weights;
    bool up = false;        // barrier above the start
    bool knock_in = false;  // pays when the barrier was touched
    double barrier = 0.0;
    View1D dates;
    std::size_t first_date = 0;
    std::size_t n_dates = 0;
};

// Row layouts.
// Barrier (both monitorings): the terminal state and its pathwise derivatives, the
// delta, gamma and vega weights, and A (the survival P, or 1 - P knocking in) with its
// derivatives (zero under discrete monitoring, where only the weights apply).
enum BarrierColumn : std::size_t {
    kX,
    kY,
    kH,
    kV,
    kPi,
    kPiG,
    kPiV,
    kA,
    kDA,
    kLA,
    kLDA,
    kLLA,
    kVA,
    kLVA,
    kBarrierColumns
};
// Asian: the average, its pathwise x0- and vol-derivatives, the weights of the first
// monitoring date and H/Y there (gamma of the pathwise delta is (pi + H/Y) times it).
enum AsianColumn : std::size_t { kAvg, kDAvg, kVAvg, kPi1, kPi1G, kHY, kPiV1, kAsianColumns };

std::size_t row_columns(ProductKind kind) noexcept;

// Rows of paths [first, first + count) into out (row p at out + p * row_columns).
// A zero sigma on an Euler grid is returned, first in path-then-step order.
std::optional<ZeroSigma> path_rows(const PathModel& model, const Product& product,
                                   std::size_t first, std::size_t count, double* out) noexcept;

// All rows of the batch, on this thread or on the worker pool (contiguous runs, so the
// same bits). A zero sigma's error names the paths counted from `first_path`.
Result<Matrix> all_rows(const PathModel& model, const Product& product, bool parallel,
                        const WorkScope* scope, std::size_t first_path = 0);

// The payoff and estimator, for the estimator stage.
enum class PayoffName { call, put, digital, digital_put };
Result<PayoffName> payoff_named(std::string_view name);

struct EstimatorSpec {
    PayoffName payoff = PayoffName::call;
    double strike = 0.0;
    double rebate = 0.0;
    Estimator estimator = Estimator::lowest_variance;
    double half_width = 0.0;   // of the digital's ramp, > 0 under lowest_variance
    double discount = 1.0;     // exp(-rate T), 1 without a rate
    bool vega_weights = true;  // the vega has a weights sample (gbm)
};

// Running sums over samples, chained across chunks in path order: the price's sum and
// sum of squares; per Greek (delta, gamma, vega) those of y, y^2, x1, x2, x1^2, x2^2,
// x1 x2, y x1, y x2 (y the sample, x1 and x2 its two mean-zero controls); the count.
struct Sums {
    static constexpr std::size_t kSize = 2 + 9 * 3 + 1;
    std::array<double, kSize> s{};
};

// Adds the samples of rows [0, n) of the row matrix to sums.
void add_barrier_samples(const EstimatorSpec& spec, bool continuous, const double* rows,
                         std::size_t n, Sums& sums) noexcept;
void add_asian_samples(const EstimatorSpec& spec, const double* rows, std::size_t n,
                       Sums& sums) noexcept;

// The Greeks from the sums: under "lowest_variance" (regress) the sample less its
// least-squares combination of the controls, otherwise the plain mean.
Greeks finish(const Sums& sums, bool regress, bool vega) noexcept;

// Twice the population standard deviation of column `column` of the rows: the default
// half-width of the digital's ramp.
double default_half_width(const double* rows, std::size_t n, std::size_t columns,
                          std::size_t column) noexcept;

}  // namespace quarnel::paths

namespace quarnel::paths {

// The checks of a batch and a product, in order: the model name; the states columns and
// the exact shape of every step array; horizon; for gbm x0 > 0 and vol > 0, for euler a
// vol that is NaN (none) or > 0; the product name; for barriers a finite level (positive
// under gbm), the direction and the knock; the monitoring mask (length n_steps, entries
// 0 or 1, one at least) where the product reads it; first_date in 1..n_steps for the
// weights.
struct PathArguments {
    std::string_view model;
    SecondOrderPaths batch;
    double x0, vol;
    std::string_view product;
    double barrier;
    std::string_view direction, knock;
    View1D dates;
    double first_date;
};

Result<PathModel> check_model(const PathArguments& args);
Result<Product> check_product(const PathArguments& args, const PathModel& model);

}  // namespace quarnel::paths
