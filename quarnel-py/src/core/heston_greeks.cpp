// What the Heston forward pass gives per path (heston.hpp): terminal state, tangents and
// weights, and the price-and-Greeks estimate of the built-in payoffs.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "core/chunks.hpp"
#include "core/fixed_math.hpp"
#include "core/fused.hpp"
#include "core/greeks_chunks.hpp"
#include "core/heston.hpp"
#include "core/pool.hpp"
#include "core/tangent_flow_parallel.hpp"
#include "quarnel/from_paths.hpp"

namespace quarnel {

HestonPath heston_path(const HestonBatch& batch, const double* raw) noexcept {
    const HestonModel& m = batch.model;
    const double dt = batch.dt;
    const double half_dt = 0.5 * dt;
    const double c2 = 1.0 - m.rho * m.rho;
    const double c = std::sqrt(c2);
    const double c2_dt = c2 * dt;
    const double q = raw[1], r = raw[2], g = raw[3];
    // The conditional law of ln(S_N / S0) given B: mean m_T - (dt/2) Q + rho R, variance
    // (1 - rho^2) dt Q, and cG its Gaussian part.
    const double var = c2_dt * q;
    const double cg = c * g;
    const double x = ((m.mu * batch.horizon - half_dt * q) + m.rho * r) + cg;
    HestonPath p;
    p.s = m.s0 * fixed::exp(x);
    p.v = m.v0 + raw[0];
    const double z1 = cg / var;
    const double z2 = z1 * z1 - 1.0 / var;
    p.ds[0] = p.s / m.s0;
    p.dv[0] = 0.0;
    p.w[0] = z1 / m.s0;
    for (std::size_t k = 0; k < 4; ++k) {
        const double* t = raw + 4 + 4 * k;  // T_p, Q_p, R_p, G_p
        const double mean_p = m.rho * t[2] - half_dt * t[1];
        const double var_p = c2_dt * t[1];
        p.ds[1 + k] = p.s * (mean_p + c * t[3]);
        p.dv[1 + k] = t[0];
        p.w[1 + k] = mean_p * z1 + (0.5 * var_p) * z2;
    }
    p.ds[5] = p.s * (r - (m.rho / c) * g);
    p.dv[5] = 0.0;
    p.w[5] = r * z1 - ((m.rho * dt) * q) * z2;
    const double s0_sq = m.s0 * m.s0;
    p.w_gamma = (z2 - z1) / s0_sq;
    p.gamma_pathwise = (p.s * (z1 - 1.0)) / s0_sq;
    return p;
}

namespace {

// Paths [first, first + count) through `emit(path, row)`, `width` doubles a row from
// `out`, on the process-wide pool in contiguous runs; each run takes its raw rows a block
// at a time from `raw_rows(first, count, raw)` (the caller's increments or the fused
// paths) into its own part of one scratch buffer.
template <class RawRows, class Emit>
void emit_rows_from(const HestonBatch& b, const RawRows& raw_rows, std::size_t first,
                    std::size_t count, std::size_t width, double* out, Emit emit) {
    if (count == 0) return;
    WorkerPool& pool = WorkerPool::global();
    std::vector<PathChunk> items = plan_chunks(count, pool.threads(), out, width);
    const std::size_t per_item = chunk_size(count, pool.threads());
    // One whole across-paths tile of the kernel, so time-major batches keep their speed.
    constexpr std::size_t kBlock = 1024;
    const std::size_t block = std::min(kBlock, per_item);
    Buffer scratch = Buffer::allocate(items.size() * block * kHestonRawColumns);
    (void)run_chunks(pool, items, 3 * count * b.n_steps, [&](const PathChunk& item) {
        double* raw = scratch.data() + (item.first_path / per_item) * block * kHestonRawColumns;
        for (std::size_t p = 0; p < item.length; p += block) {
            const std::size_t n = std::min(block, item.length - p);
            raw_rows(first + item.first_path + p, n, raw);
            for (std::size_t i = 0; i < n; ++i) {
                emit(heston_path(b, raw + i * kHestonRawColumns), item.weights + (p + i) * width);
            }
        }
        return std::optional<ZeroSigma>{};
    });
}

// The raw rows of the caller's increments.
struct StoredRows {
    const HestonBatch* batch;
    void operator()(std::size_t first, std::size_t count, double* raw) const noexcept {
        heston_raw_rows(*batch, first, count, raw);
    }
};

// The raw rows of the fused paths of a seed.
struct FusedRows {
    const HestonBatch* batch;
    std::uint64_t seed;
    void operator()(std::size_t first, std::size_t count, double* raw) const noexcept {
        heston_fused_raw_rows(*batch, seed, first, count, raw);
    }
};

template <class Emit>
void emit_rows(const HestonBatch& b, std::size_t first, std::size_t count, std::size_t width,
               double* out, Emit emit) {
    emit_rows_from(b, StoredRows{&b}, first, count, width, out, emit);
}

template <class Emit>
Result<Matrix> per_path(const HestonIncrements& paths, const HestonModel& model, std::size_t width,
                        const WorkScope& scope, Emit emit) {
    Result<HestonBatch> checked = validate_heston(paths, model);
    if (!checked.ok()) return checked.error();
    const HestonBatch& b = checked.value();
    Buffer out = Buffer::allocate(b.n_paths * width);
    auto work = [&] { emit_rows(b, 0, b.n_paths, width, out.data(), emit); };
    scope(work);
    return Matrix{std::move(out), b.n_paths, width};
}

}  // namespace

Result<Matrix> heston_tangents(const HestonIncrements& paths, const HestonModel& model,
                               const WorkScope& scope) {
    return per_path(paths, model, 14, scope, [](const HestonPath& p, double* row) noexcept {
        row[0] = p.s;
        row[1] = p.v;
        for (std::size_t k = 0; k < 6; ++k) {
            row[2 + k] = p.ds[k];
            row[8 + k] = p.dv[k];
        }
    });
}

Result<Matrix> heston_greek_weights(const HestonIncrements& paths, const HestonModel& model,
                                    const WorkScope& scope) {
    const double vega_scale = 2.0 * std::sqrt(model.v0);  // d/d sqrt(v0) = 2 sqrt(v0) d/dv0
    return per_path(paths, model, 8, scope,
                    [vega_scale](const HestonPath& p, double* row) noexcept {
                        row[0] = p.s;
                        row[1] = p.w[0];
                        row[2] = p.w_gamma;
                        row[3] = vega_scale * p.w[1];
                        for (std::size_t k = 2; k < 6; ++k) row[2 + k] = p.w[k];
                    });
}

namespace {

Result<HestonPayoff> heston_payoff_named(std::string_view name) {
    if (name == "call") return HestonPayoff::call;
    if (name == "put") return HestonPayoff::put;
    if (name == "digital") return HestonPayoff::digital;
    if (name == "digital_put") return HestonPayoff::digital_put;
    return ModelError{"unknown payoff '" + std::string(name) +
                      "': expected 'call', 'put', 'digital' or 'digital_put'"};
}

}  // namespace

namespace {

// The checks of price_and_greeks_heston after the batch's.
Result<HestonCall> check_heston_call(Result<HestonBatch> batch, std::string_view payoff,
                                     double strike, std::string_view estimator,
                                     std::optional<double> rate, std::optional<double> half_width) {
    if (!batch.ok()) return batch.error();
    Result<HestonPayoff> kind = heston_payoff_named(payoff);
    if (!kind.ok()) return kind.error();
    if (!std::isfinite(strike)) {
        return ModelError{"strike must be finite, got " + heston_float_text(strike)};
    }
    const Result<Estimator> est = estimator_named(estimator);
    if (!est.ok()) return est.error();
    if (rate && !std::isfinite(*rate)) {
        return ModelError{"rate must be finite, got " + heston_float_text(*rate)};
    }
    if (auto err = check_half_width(half_width)) return *std::move(err);
    const bool lipschitz = kind.value() == HestonPayoff::call || kind.value() == HestonPayoff::put;
    const bool lowest = est.value() == Estimator::lowest_variance;
    const double discount = rate ? fixed::exp(-(*rate * batch.value().horizon)) : 1.0;
    return HestonCall{
        std::move(batch).value(),       kind.value(), lipschitz && lowest, !lipschitz && lowest,
        half_width ? *half_width : 0.0, discount};
}

}  // namespace

Result<HestonCall> check_price_and_greeks_heston(const HestonIncrements& paths,
                                                 const HestonModel& model, std::string_view payoff,
                                                 double strike, std::string_view estimator,
                                                 std::optional<double> rate,
                                                 std::optional<double> half_width) {
    return check_heston_call(validate_heston(paths, model), payoff, strike, estimator, rate,
                             half_width);
}

namespace {

// The samples of one path, discounted: f(S_N) times the weights, or for the pathwise
// estimator f'(S_N) times the tangents (and the pathwise-weight gamma). The centred
// digital splits f into a ramp fs of half-width e around the strike, taken pathwise,
// and f - fs by the weights: u = fs'(S_N) m + (f - fs)(S_N) v per Greek, m the tangent,
// v the weight, which the sums then centre on v (centre_on_weight). Without a ramp
// (e = 0) u is f v: the plain weights, centred.
struct SampleOf {
    HestonPayoff payoff;
    bool pathwise, centred;
    double strike, discount, vega_scale;
    double lo, hi, inv2e;  // the ramp: [lo, hi] and its slope, or lo = hi = inf

    void operator()(const HestonPath& p, double* row) const noexcept {
        const double x = p.s, k = strike;
        double f = 0.0;
        switch (payoff) {
            case HestonPayoff::call: f = x > k ? x - k : 0.0; break;
            case HestonPayoff::put: f = x < k ? k - x : 0.0; break;
            case HestonPayoff::digital: f = x > k ? 1.0 : 0.0; break;
            case HestonPayoff::digital_put: f = x < k ? 1.0 : 0.0; break;
        }
        // A path made of NaN increments is no outcome: it makes every estimate NaN, the
        // price too, rather than counting as out of the money.
        if (x != x) f = x;
        // Per Greek: the pathwise multiplier of f'(S_N) and the weight.
        const double m[kHestonGreeks - 1] = {
            p.ds[0], p.gamma_pathwise, vega_scale * p.ds[1], p.ds[2], p.ds[3], p.ds[4], p.ds[5]};
        const double w[kHestonGreeks - 1] = {p.w[0], p.w_gamma, vega_scale * p.w[1], p.w[2], p.w[3],
                                             p.w[4], p.w[5]};
        row[0] = f * discount;
        if (centred) {
            constexpr std::size_t G = kHestonGreeks - 1;
            const double up = x >= hi ? 1.0 : (x - lo) * inv2e;
            const double fs_call = x <= lo ? 0.0 : up;
            const double fsp_call = (lo < x && x < hi) ? inv2e : 0.0;
            const bool put = payoff == HestonPayoff::digital_put;
            const double fs = put ? 1.0 - fs_call : fs_call;
            const double fsp = put ? -fsp_call : fsp_call;
            const double g = f - fs;
            for (std::size_t i = 0; i < G; ++i) {
                const double u = (fsp * m[i] + g * w[i]) * discount;
                row[1 + i] = u;
                row[1 + G + i] = w[i];
                row[1 + 2 * G + i] = u * w[i];
            }
            return;
        }
        const double d =
            pathwise ? (payoff == HestonPayoff::call ? (x > k ? 1.0 : 0.0) : (x < k ? -1.0 : 0.0))
                     : f;
        const double* by = pathwise ? m : w;
        for (std::size_t i = 0; i + 1 < kHestonGreeks; ++i) row[1 + i] = (d * by[i]) * discount;
    }
};

SampleOf sample_of(const HestonCall& call, double strike) noexcept {
    const double inf = std::numeric_limits<double>::infinity();
    const double e = call.half_width;
    SampleOf s{call.payoff, call.pathwise, call.centred,
               strike,      call.discount, 2.0 * std::sqrt(call.batch.model.v0),
               inf,         inf,           0.0};
    if (e > 0.0) {
        s.lo = strike - e;
        s.hi = strike + e;
        s.inv2e = 1.0 / (2.0 * e);
    }
    return s;
}

}  // namespace

void heston_samples(const HestonCall& call, double strike, std::size_t first, std::size_t count,
                    const WorkScope& scope, double* out) {
    auto work = [&] {
        emit_rows(call.batch, first, count, sample_columns(call), out, sample_of(call, strike));
    };
    scope(work);
}

namespace {

// The estimate of price_and_greeks_heston over the raw rows of `raw_rows`: blocks of
// samples, each summed in path order after the pool has made it. The sums are the same
// chains as continue_sums runs over the chunks of quarnel.dask, laid out as it lays them
// out ([s1..., s2...]); memory is one block of samples whatever n_paths.
template <class RawRows>
Result<HestonGreeks> estimate_heston(const HestonCall& call, double strike, const RawRows& raw_rows,
                                     const WorkScope& scope) {
    const std::size_t n = call.batch.n_paths;
    const std::size_t width = sample_columns(call);
    constexpr std::size_t kBlock = 65536;
    Buffer samples = Buffer::allocate(std::min(kBlock, n) * width);
    Buffer sums = Buffer::allocate(2 * width, true);
    auto work = [&] {
        const SampleOf sample = sample_of(call, strike);
        for (std::size_t first = 0; first < n; first += kBlock) {
            const std::size_t count = std::min(kBlock, n - first);
            emit_rows_from(call.batch, raw_rows, first, count, width, samples.data(), sample);
            for (std::size_t k = 0; k < count; ++k) {
                const double* row = samples.data() + k * width;
                for (std::size_t i = 0; i < width; ++i) {
                    sums[i] = sums[i] + row[i];
                    sums[width + i] = sums[width + i] + row[i] * row[i];
                }
            }
        }
    };
    scope(work);
    const View1D sums_view{reinterpret_cast<const std::byte*>(sums.data()), 2 * width,
                           static_cast<std::ptrdiff_t>(sizeof(double))};
    Result<Buffer> finished =
        call.centred ? localised_digital_finish(sums_view, n) : finish_sums(sums_view, n);
    if (!finished.ok()) return finished.error();
    const double* r = finished.value().data();
    HestonGreeks out;
    for (std::size_t i = 0; i < kHestonGreeks; ++i) {
        out.value[i] = r[i];
        // A non-finite estimate has no meaningful error bar (mean_stderr would give 0).
        out.stderr_[i] = std::isfinite(r[i]) ? r[kHestonGreeks + i] : std::nan("");
    }
    return out;
}

}  // namespace

Result<HestonGreeks> price_and_greeks_heston(const HestonIncrements& paths,
                                             const HestonModel& model, std::string_view payoff,
                                             double strike, std::string_view estimator,
                                             std::optional<double> rate,
                                             std::optional<double> half_width,
                                             const WorkScope& scope) {
    Result<HestonCall> checked =
        check_price_and_greeks_heston(paths, model, payoff, strike, estimator, rate, half_width);
    if (!checked.ok()) return checked.error();
    const HestonCall& call = checked.value();
    return estimate_heston(call, strike, StoredRows{&call.batch}, scope);
}

Result<HestonGreeks> price_and_greeks_heston_fused(const HestonModel& model, const FusedGrid& grid,
                                                   std::string_view payoff, double strike,
                                                   std::string_view estimator,
                                                   std::optional<double> rate,
                                                   std::optional<double> half_width,
                                                   const WorkScope& scope) {
    Result<HestonCall> checked =
        check_heston_call(heston_batch_of(grid.n_paths, grid.n_steps, grid.horizon, model), payoff,
                          strike, estimator, rate, half_width);
    if (!checked.ok()) return checked.error();
    const HestonCall& call = checked.value();
    return estimate_heston(call, strike, FusedRows{&call.batch, grid.seed}, scope);
}

Result<Matrix> heston_chunk_samples(const HestonIncrements& paths, const HestonModel& model,
                                    std::string_view payoff, double strike,
                                    std::string_view estimator, std::optional<double> rate,
                                    std::optional<double> half_width, const WorkScope& scope) {
    Result<HestonCall> checked =
        check_price_and_greeks_heston(paths, model, payoff, strike, estimator, rate, half_width);
    if (!checked.ok()) return checked.error();
    const HestonCall& call = checked.value();
    const std::size_t width = sample_columns(call);
    Buffer out = Buffer::allocate(call.batch.n_paths * width);
    heston_samples(call, strike, 0, call.batch.n_paths, scope, out.data());
    return Matrix{std::move(out), call.batch.n_paths, width};
}

}  // namespace quarnel
