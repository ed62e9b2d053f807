#include "core/fused.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "core/buffer.hpp"
#include "core/chunks.hpp"
#include "core/fused_kernel.hpp"
#include "core/fused_math.hpp"
#include "core/greeks_conventions.hpp"
#include "core/greeks_pairs.hpp"
#include "core/greeks_tangent_flow.hpp"
#include "core/payoffs.hpp"
#include "core/pool.hpp"
#include "quarnel/from_paths.hpp"
#include "quarnel/greeks_from_paths.hpp"

namespace quarnel {

namespace detail {
std::optional<ZeroSigma> fused_rows_1(int, const FusedModel&, const FusedGrid&, std::size_t,
                                      std::size_t, double*) noexcept;
void fused_fields_1(const FusedModel&, const FusedGrid&, std::size_t, std::size_t, double*,
                    std::size_t) noexcept;
#if QUARNEL_FUSED_VECTORS
std::optional<ZeroSigma> fused_rows_2(int, const FusedModel&, const FusedGrid&, std::size_t,
                                      std::size_t, double*) noexcept;
void fused_fields_2(const FusedModel&, const FusedGrid&, std::size_t, std::size_t, double*,
                    std::size_t) noexcept;
#endif
#if QUARNEL_FUSED_AVX2 && QUARNEL_FUSED_VECTORS
std::optional<ZeroSigma> fused_rows_4(int, const FusedModel&, const FusedGrid&, std::size_t,
                                      std::size_t, double*) noexcept;
void fused_fields_4(const FusedModel&, const FusedGrid&, std::size_t, std::size_t, double*,
                    std::size_t) noexcept;
#endif
#if QUARNEL_FUSED_AVX512 && QUARNEL_FUSED_VECTORS
std::optional<ZeroSigma> fused_rows_8(int, const FusedModel&, const FusedGrid&, std::size_t,
                                      std::size_t, double*) noexcept;
void fused_fields_8(const FusedModel&, const FusedGrid&, std::size_t, std::size_t, double*,
                    std::size_t) noexcept;
#endif

namespace {

bool cpu_has(int width) noexcept {
#if (QUARNEL_FUSED_AVX2 || QUARNEL_FUSED_AVX512) && defined(__GNUC__)
    __builtin_cpu_init();
    if (width == 4) return __builtin_cpu_supports("avx2") != 0;
    if (width == 8) {
        return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512dq") != 0;
    }
#endif
    return width <= 2;
}

}  // namespace

FusedRowsFn fused_rows_at(int width) noexcept {
    if (width == 0) width = fused_width();
    if (!cpu_has(width)) return nullptr;
    switch (width) {
        case 1: return &fused_rows_1;
#if QUARNEL_FUSED_VECTORS
        case 2: return &fused_rows_2;
#endif
#if QUARNEL_FUSED_AVX2 && QUARNEL_FUSED_VECTORS
        case 4: return &fused_rows_4;
#endif
#if QUARNEL_FUSED_AVX512 && QUARNEL_FUSED_VECTORS
        case 8: return &fused_rows_8;
#endif
        default: return nullptr;
    }
}

FusedFieldsFn fused_fields_at(int width) noexcept {
    if (width == 0) width = fused_width();
    if (!cpu_has(width)) return nullptr;
    switch (width) {
        case 1: return &fused_fields_1;
#if QUARNEL_FUSED_VECTORS
        case 2: return &fused_fields_2;
#endif
#if QUARNEL_FUSED_AVX2 && QUARNEL_FUSED_VECTORS
        case 4: return &fused_fields_4;
#endif
#if QUARNEL_FUSED_AVX512 && QUARNEL_FUSED_VECTORS
        case 8: return &fused_fields_8;
#endif
        default: return nullptr;
    }
}

int fused_width() noexcept {
    static const int widest = [] {
        for (int w : {8, 4, 2}) {
            if (cpu_has(w) && fused_rows_at(w) != nullptr) return w;
        }
        return 1;
    }();
    return widest;
}

}  // namespace detail

namespace {

std::string shown(double x) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", x);
    return buf;
}

std::optional<ModelError> finite(const char* name, double x) {
    if (std::isfinite(x)) return std::nullopt;
    return ModelError{std::string(name) + " must be finite, got " + shown(x)};
}

std::optional<ModelError> positive(const char* name, double x) {
    if (std::isfinite(x) && x > 0.0) return std::nullopt;
    return ModelError{std::string(name) + " must be positive and finite, got " + shown(x)};
}

}  // namespace

Result<FusedModel> fused_model(std::string_view name, double x0, double a, double b, double c) {
    FusedModel m;
    if (name == "gbm" || name == "abm" || name == "cev") {
        m.kind = name == "gbm" ? FusedKind::gbm : name == "abm" ? FusedKind::abm : FusedKind::cev;
        m.mu = a;
        m.vol = b;
        m.beta = m.kind == FusedKind::cev ? c : 1.0;
        if (auto e = finite("x0", x0)) return *std::move(e);
        if (auto e = finite("mu", a)) return *std::move(e);
        if (auto e = positive("vol", b)) return *std::move(e);
        if (m.kind == FusedKind::cev) {
            if (auto e = finite("beta", c)) return *std::move(e);
            if (auto e = positive("x0", x0)) return *std::move(e);
        }
    } else if (name == "ou" || name == "cir") {
        m.kind = name == "ou" ? FusedKind::ou : FusedKind::cir;
        m.kappa = a;
        m.theta = b;
        m.vol = c;
        if (auto e = finite("x0", x0)) return *std::move(e);
        if (auto e = finite("kappa", a)) return *std::move(e);
        if (auto e = finite("theta", b)) return *std::move(e);
        if (auto e = positive("vol", c)) return *std::move(e);
        if (m.kind == FusedKind::cir && !(x0 > 0.0)) {
            return ModelError{"x0 must be positive under cir (sigma(0) = 0), got " + shown(x0)};
        }
    } else if (name == "callback") {
        m.kind = FusedKind::callback;
        m.vol = b;
        if (auto e = finite("x0", x0)) return *std::move(e);
        // Addresses of user space are below 2^48 on every platform built, exact doubles.
        if (!(a >= 1.0 && a < 0x1p53 && a == std::floor(a))) {
            return ModelError{"the coefficients' address must be a nonzero whole number, got " +
                              shown(a)};
        }
        if (auto e = positive("vol", b)) return *std::move(e);
        // NOLINTNEXTLINE(performance-no-int-to-ptr,cppcoreguidelines-pro-type-reinterpret-cast)
        m.coefficients = reinterpret_cast<FusedCoefficients>(
            static_cast<std::uintptr_t>(static_cast<std::uint64_t>(a)));
    } else if (name == "local_vol") {
        m.kind = FusedKind::local_vol;
        m.mu = c;
        m.vol = b;
        if (auto e = positive("x0", x0)) return *std::move(e);
        if (auto e = finite("mu", c)) return *std::move(e);
        if (auto e = positive("vol", b)) return *std::move(e);
        if (!(a >= 1.0 && a < 0x1p53 && a == std::floor(a))) {
            return ModelError{"the surface's handle must be a nonzero whole number, got " +
                              shown(a)};
        }
        Result<std::shared_ptr<const LocalVolSurface>> surface =
            local_vol_find(static_cast<std::uint64_t>(a));
        if (!surface.ok()) return surface.error();
        m.surface = surface.value();
    } else {
        return ModelError{"unknown model '" + std::string(name) +
                          "': expected 'gbm', 'abm', 'ou', 'cev', 'cir', 'callback' or "
                          "'local_vol'"};
    }
    m.x0 = x0;
    return m;
}

Result<FusedGrid> fused_grid(double n_paths, double n_steps, double horizon, double seed_lo,
                             double seed_hi, double first_path) {
    const Result<std::size_t> paths = to_count(n_paths, "n_paths");
    if (!paths.ok()) return paths.error();
    const Result<std::size_t> steps = to_count(n_steps, "n_steps");
    if (!steps.ok()) return steps.error();
    const Result<std::size_t> first = to_count(first_path, "first_path");
    if (!first.ok()) return first.error();
    if (paths.value() == 0) return ModelError{"n_paths must be at least 1"};
    // The pair index step / 2 is one 32-bit counter word.
    if (steps.value() == 0 || steps.value() > (std::size_t{1} << 32)) {
        return ModelError{"n_steps must be from 1 to 2**32, got " + shown(n_steps)};
    }
    if (auto e = positive("horizon", horizon)) return *std::move(e);
    const double two32 = 4294967296.0;
    if (!(seed_lo >= 0.0 && seed_lo < two32 && seed_hi >= 0.0 && seed_hi < two32) ||
        seed_lo != std::floor(seed_lo) || seed_hi != std::floor(seed_hi)) {
        return ModelError{"seed must be a whole number from 0 to 2**64 - 1"};
    }
    FusedGrid g;
    g.n_paths = paths.value();
    g.n_steps = steps.value();
    g.horizon = horizon;
    g.seed = static_cast<std::uint64_t>(seed_lo) | (static_cast<std::uint64_t>(seed_hi) << 32);
    g.first_path = first.value();
    return g;
}

Result<Matrix> fused_normals(const FusedGrid& grid) {
    const std::size_t n = grid.n_paths, m = grid.n_steps;
    if (m > std::numeric_limits<std::size_t>::max() / sizeof(double) / n) {
        return ModelError{"the normals do not fit in memory"};
    }
    Matrix out = Matrix::allocate(n, m);  // NOLINT(clang-analyzer-unix.Malloc)
    const philox::Key key(grid.seed);
    for (std::size_t k = 0; k < n; ++k) {
        double* row = out.row(k);
        for (std::size_t j = 0; j < m; j += 2) {
            double z0, z1;
            fused::normal_pair<1>(key, grid.first_path + k, j / 2, z0, z1);
            row[j] = z0;
            if (j + 1 < m) row[j + 1] = z1;
        }
    }
    return out;
}

namespace {

// Paths per pool item: long enough runs of groups that the hand-off is noise, short
// enough that two threads share out small batches.
constexpr std::size_t kItemPaths = 512;
// Items per thread in a wave of rows between two serial accumulations: each wave ends
// in a wait for its slowest item, so long waves (here 1.8 MB of rows on two threads)
// keep that wait small on a busy machine.
constexpr std::size_t kWaveItems = 32;

// Rows of paths [first, first + count) into rows on the pool; the first zero sigma in
// path order.
std::optional<ZeroSigma> pool_rows(detail::FusedRowsFn rows_fn, int kind, const FusedModel& m,
                                   const FusedGrid& g, std::size_t first, std::size_t count,
                                   double* out, WorkerPool& pool) {
    const std::size_t cols = kind == detail::kRowsGreeks  ? detail::kFusedColumns
                             : kind == detail::kRowsDelta ? detail::kDeltaColumns
                                                          : 1;
    const std::size_t items = (count + kItemPaths - 1) / kItemPaths;
    std::vector<std::optional<ZeroSigma>> zeros(items);
    pool.run(
        items,
        [&](std::size_t i) noexcept {
            const std::size_t a = i * kItemPaths, len = std::min(kItemPaths, count - a);
            zeros[i] = rows_fn(kind, m, g, first + a, len, out + a * cols);
        },
        count * g.n_steps * 8);
    for (const auto& z : zeros) {
        if (z) return z;
    }
    return std::nullopt;
}

ModelError zero_error(const ZeroSigma& z) {
    return ModelError{"sigma(X) = 0 on path " + std::to_string(z.path) + " at step " +
                      std::to_string(z.step) + ": the weights divide by the diffusion coefficient"};
}

// The package's rule: a non-finite estimate has a NaN standard error.
double error_of(double mean, double err) noexcept {
    return std::isfinite(mean) ? err : std::numeric_limits<double>::quiet_NaN();
}

PathRow row_at(const double* r) noexcept { return PathRow{r[1], r[2], r[3], r[4], r[5], r[6]}; }

// X_N of stored rows, as default_half_width reads values.
struct Terminals {
    const double* rows;
    std::size_t n;
    std::size_t size() const noexcept { return n; }
    double operator[](std::size_t k) const noexcept { return rows[k * detail::kFusedColumns]; }
};

}  // namespace

Result<PriceDelta> fused_price_and_delta(const FusedModel& model, const FusedGrid& grid,
                                         std::string_view payoff, double strike,
                                         std::optional<double> rate, const WorkScope& scope) {
    const Result<PayoffKind> kind = payoff_named(payoff);
    if (!kind.ok()) return kind.error();
    if (auto err = finite("strike", strike)) return *std::move(err);
    if (rate) {
        if (auto err = finite("rate", *rate)) return *std::move(err);
    }
    const detail::FusedRowsFn rows_fn = detail::fused_rows_at(0);
    const std::size_t n = grid.n_paths;
    WorkerPool& pool = WorkerPool::global();
    const std::size_t wave = std::min(n, kWaveItems * kItemPaths * pool.threads());
    std::vector<double> rows(wave * detail::kDeltaColumns);
    std::optional<ModelError> failed;
    PriceDelta out{};
    auto work = [&] {
        with_payoff(kind.value(), strike, [&](auto f) {
            TwoStreamSums sums;
            for (std::size_t first = 0; first < n; first += wave) {
                const std::size_t count = std::min(wave, n - first);
                if (auto z = pool_rows(rows_fn, detail::kRowsDelta, model, grid, first, count,
                                       rows.data(), pool)) {
                    failed = zero_error(*z);
                    return;
                }
                // As price_and_delta_tangent_flow forms its samples.
                for (std::size_t i = 0; i < count; ++i) {
                    const double p = f(rows[i * detail::kDeltaColumns]);
                    sums.add(p, rows[i * detail::kDeltaColumns + 1] * p);
                }
            }
            const MeanStderr price = mean_stderr(sums.sum_a(), sums.sum_sq_a(), n);
            const MeanStderr delta = mean_stderr(sums.sum_b(), sums.sum_sq_b(), n);
            out = PriceDelta{price.mean, delta.mean, price.stderr_, delta.stderr_};
        });
    };
    scope(work);
    if (failed) return *std::move(failed);
    if (rate) {
        const double df = fixed::exp(-*rate * grid.horizon);
        out.price = out.price * df;
        out.delta = out.delta * df;
        out.price_stderr = out.price_stderr * df;
        out.delta_stderr = out.delta_stderr * df;
    }
    out.price_stderr = error_of(out.price, out.price_stderr);
    out.delta_stderr = error_of(out.delta, out.delta_stderr);
    return out;
}

double fused_state_sum(const FusedModel& model, const FusedGrid& grid, const WorkScope& scope) {
    const detail::FusedRowsFn rows_fn = detail::fused_rows_at(0);
    WorkerPool& pool = WorkerPool::global();
    const std::size_t n = grid.n_paths;
    const std::size_t wave = std::min(n, kWaveItems * kItemPaths * pool.threads());
    std::vector<double> rows(wave);
    double sum = 0.0;
    auto work = [&] {
        for (std::size_t first = 0; first < n; first += wave) {
            const std::size_t count = std::min(wave, n - first);
            (void)pool_rows(rows_fn, detail::kRowsState, model, grid, first, count, rows.data(),
                            pool);
            for (std::size_t i = 0; i < count; ++i) sum = sum + rows[i];
        }
    };
    scope(work);
    return sum;
}

Result<Matrix> fused_simulate(const FusedModel& model, const FusedGrid& grid) {
    const std::size_t n = grid.n_paths, m = grid.n_steps;
    const std::size_t limit = std::numeric_limits<std::size_t>::max() / sizeof(double);
    if (m > (limit - 1) / 7 || 7 * m + 1 > limit / n) {
        return ModelError{"a batch of " + std::to_string(n) + " paths x " + std::to_string(m) +
                          " steps does not fit in memory"};
    }
    const std::size_t ld = 7 * m + 1;
    Matrix out = Matrix::allocate(n, ld);  // NOLINT(clang-analyzer-unix.Malloc)
    const detail::FusedFieldsFn fields = detail::fused_fields_at(0);
    double* base = out.buffer.data();
    const std::size_t items = (n + kItemPaths - 1) / kItemPaths;
    WorkerPool::global().run(
        items,
        [&](std::size_t i) noexcept {
            const std::size_t a = i * kItemPaths;
            fields(model, grid, a, std::min(kItemPaths, n - a), base, ld);
        },
        n * m * 8);
    return out;
}

Result<bool> fused_antithetic(std::optional<std::string_view> pairs, std::size_t n_paths) {
    const Result<Pairs> paired = pairs_named(pairs);
    if (!paired.ok()) return paired.error();
    // A pair is one path's normals and their negatives, drawn side by side.
    if (paired.value() == Pairs::halves) {
        return ModelError{
            "the fused estimators pair adjacent paths: pairs must be 'adjacent' or None, got "
            "'halves'"};
    }
    if (auto err = check_pairs(paired.value(), n_paths)) return *std::move(err);
    return paired.value() == Pairs::adjacent;
}

Result<FusedGreeksCall> check_fused_greeks(
    std::string_view payoff, double strike, std::string_view estimator,
    std::optional<double> half_width, std::optional<double> rate, std::optional<double> strike2,
    std::optional<std::string_view> pairs, std::size_t n_paths) {
    const Result<GreekPayoff> kind = greek_payoff_named(payoff);
    if (!kind.ok()) return kind.error();
    const Result<Estimator> est = estimator_named(estimator);
    if (!est.ok()) return est.error();
    if (auto err = check_strikes(kind.value(), strike, strike2)) return *std::move(err);
    if (auto err = check_half_width(half_width)) return *std::move(err);
    const bool localised = est.value() == Estimator::lowest_variance && is_digital(kind.value());
    if (auto err = check_half_width_use(half_width, localised)) return *std::move(err);
    if (auto err = check_finite(rate, "rate")) return *std::move(err);
    const Result<bool> antithetic = fused_antithetic(pairs, n_paths);
    if (!antithetic.ok()) return antithetic.error();
    return FusedGreeksCall{kind.value(), est.value(), antithetic.value()};
}

Result<Matrix> fused_greek_rows(const FusedModel& model, const FusedGrid& grid,
                                const WorkScope& scope) {
    // NOLINTNEXTLINE(clang-analyzer-unix.Malloc)
    Matrix out = Matrix::allocate(grid.n_paths, detail::kFusedColumns);
    std::optional<ZeroSigma> zero;
    auto work = [&] {
        zero = pool_rows(detail::fused_rows_at(0), detail::kRowsGreeks, model, grid, 0,
                         grid.n_paths, out.buffer.data(), WorkerPool::global());
    };
    scope(work);
    if (zero) {
        zero->path += grid.first_path;  // the path's own counter, as one call names it
        return zero_error(*zero);
    }
    return out;
}

Result<Greeks> fused_price_and_greeks(const FusedModel& model, const FusedGrid& grid,
                                      std::string_view payoff, double strike,
                                      std::string_view estimator, std::optional<double> half_width,
                                      std::optional<double> rate, std::optional<double> strike2,
                                      std::optional<std::string_view> pairs,
                                      const WorkScope& scope) {
    const Result<FusedGreeksCall> call = check_fused_greeks(payoff, strike, estimator, half_width,
                                                            rate, strike2, pairs, grid.n_paths);
    if (!call.ok()) return call.error();
    FusedGrid drawn = grid;
    drawn.antithetic = call.value().antithetic;
    const GreekPayoff kind = call.value().payoff;
    const Estimator est = call.value().estimator;
    const bool localised = est == Estimator::lowest_variance && is_digital(kind);
    const detail::FusedRowsFn rows_fn = detail::fused_rows_at(0);
    const std::size_t n = grid.n_paths;
    WorkerPool& pool = WorkerPool::global();
    // The localised digital's default width needs every X_N before the first sample:
    // its rows are kept (7 doubles a path). Every other estimator consumes rows a wave
    // at a time, so memory is O(threads) whatever n.
    const bool keep_all = localised && !half_width;
    const std::size_t wave = keep_all ? n : std::min(n, kWaveItems * kItemPaths * pool.threads());
    std::vector<double> rows(wave * detail::kFusedColumns);
    bool kept = false;  // rows holds every path's row
    std::optional<ModelError> failed;
    auto fill = [&](std::size_t first, std::size_t count) {
        if (auto z = pool_rows(rows_fn, detail::kRowsGreeks, model, drawn, first, count,
                               rows.data(), pool)) {
            failed = zero_error(*z);
        }
        return !failed;
    };
    // Each path's sample, or each pair's mean sample (waves hold whole pairs: n and the
    // wave size are even).
    const bool paired = drawn.antithetic;
    auto visit_rows = [&](std::size_t count, auto& sums, auto& sample) {
        const std::size_t step = paired ? 2 : 1;
        for (std::size_t i = 0; i < count; i += step) {
            const double* r = rows.data() + i * detail::kFusedColumns;
            if (!paired) {
                sums.add(sample(r[0], row_at(r)));
            } else {
                const double* q = r + detail::kFusedColumns;
                sums.add(pair_mean(sample(r[0], row_at(r)), sample(q[0], row_at(q))));
            }
        }
    };
    // The estimators of price_and_greeks_tangent_flow with the parallel bump's vega
    // divided by s, over the rows in path order: the batch call's bits on fused_simulate.
    Greeks g{};
    auto work = [&] {
        g = estimate_tangent_greeks(
            kind, est, strike, strike2 ? *strike2 : 0.0, paired ? n / 2 : n, true, model.vol, rate,
            grid.horizon,
            [&] {
                if (half_width) return *half_width;
                kept = fill(0, n);
                return kept ? default_half_width(Terminals{rows.data(), n}) : 0.0;
            },
            [&](auto& sums, auto sample) {
                if (kept) {
                    visit_rows(n, sums, sample);
                    return true;
                }
                for (std::size_t first = 0; first < n && !failed; first += wave) {
                    const std::size_t count = std::min(wave, n - first);
                    if (fill(first, count)) visit_rows(count, sums, sample);
                }
                return !failed;
            });
    };
    scope(work);
    if (failed) return *std::move(failed);
    return g;
}

namespace {

struct StreamState {
    const View2D& v;
    std::size_t k;
    double at(std::size_t c) const noexcept { return v(k, c); }
};

}  // namespace

}  // namespace quarnel
