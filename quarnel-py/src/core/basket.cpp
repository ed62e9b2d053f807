#include "core/basket.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/basket_model.hpp"
#include "core/fixed_math.hpp"
#include "core/greeks_chunks.hpp"
#include "core/pool.hpp"
#include "quarnel/from_paths.hpp"

namespace quarnel {
namespace {

enum class Kind { call, put, digital, digital_put, best_call, best_put, worst_call, worst_put };
// weights: f times every weight. pathwise: the payoff's slope along the path, with one
// weight for gamma. localised: a ramp of the digital taken pathwise, the rest by weights.
enum class Mode { weights, pathwise, localised };

struct PayoffSpec {
    Kind kind;
    bool pair;  // spread and exchange: the basket X_0 - X_1
};

Result<PayoffSpec> parse_payoff(std::string_view name) {
    if (name == "call") return PayoffSpec{Kind::call, false};
    if (name == "put") return PayoffSpec{Kind::put, false};
    if (name == "digital") return PayoffSpec{Kind::digital, false};
    if (name == "digital_put") return PayoffSpec{Kind::digital_put, false};
    if (name == "spread" || name == "exchange") return PayoffSpec{Kind::call, true};
    if (name == "best_of_call") return PayoffSpec{Kind::best_call, false};
    if (name == "best_of_put") return PayoffSpec{Kind::best_put, false};
    if (name == "worst_of_call") return PayoffSpec{Kind::worst_call, false};
    if (name == "worst_of_put") return PayoffSpec{Kind::worst_put, false};
    return ModelError{"unknown payoff '" + std::string(name) +
                      "': expected 'call', 'put', 'digital', 'digital_put', 'spread', "
                      "'exchange', 'best_of_call', 'best_of_put', 'worst_of_call' or "
                      "'worst_of_put'"};
}

bool is_digital(Kind k) noexcept { return k == Kind::digital || k == Kind::digital_put; }
bool on_basket(Kind k) noexcept { return k <= Kind::digital_put; }

// Built by appending: GCC 12 misreads a chain of temporaries here as an overlapping copy.
std::string shape_text(const View2D& v) {
    std::string s = "(";
    s.append(std::to_string(v.rows)).append(", ").append(std::to_string(v.cols)).append(")");
    return s;
}

// Everything a path needs, validated.
struct Job {
    BasketModel model;
    Kind kind = Kind::call;
    Mode mode = Mode::weights;
    double strike = 0.0;
    std::vector<double> a;  // basket weights
    double lo = 0.0, hi = 0.0, inv2e = 0.0;
    double df = 1.0;
    std::size_t m = 0;
    View2D x, w;
};

// Scratch of one thread: x, w, p, lw, vw, c, ph (d each), the samples (m), the sums (2 m).
struct Scratch {
    std::vector<double> all;
    double *x, *w, *p, *lw, *vw, *c, *ph, *v, *s;
    Scratch(std::size_t d, std::size_t m) : all(7 * d + 3 * m, 0.0) {
        double* b = all.data();
        x = b;
        w = b + d;
        p = b + 2 * d;
        lw = b + 3 * d;
        vw = b + 4 * d;
        c = b + 5 * d;
        ph = b + 6 * d;
        v = b + 7 * d;
        s = b + 7 * d + m;
    }
};

double level(const Job& job, const double* x) noexcept {
    double b = 0.0;
    for (std::size_t i = 0; i < job.model.d; ++i) b = b + job.a[i] * x[i];
    return b;
}

// The payoff f of one path, the remainder r that the weights carry and the slope c of
// the part taken pathwise (c only for the pathwise and localised modes).
template <Mode E>
double payoff(const Job& job, const double* x, double* c, double& r) noexcept {
    const std::size_t d = job.model.d;
    const double k = job.strike;
    double f = 0.0;
    if (on_basket(job.kind)) {
        const double b = level(job, x);
        double h = 0.0;  // slope in the level
        switch (job.kind) {
            case Kind::call:
                f = b > k ? b - k : 0.0;
                h = b > k ? 1.0 : 0.0;
                break;
            case Kind::put:
                f = b < k ? k - b : 0.0;
                h = b < k ? -1.0 : 0.0;
                break;
            case Kind::digital:
                f = b > k ? 1.0 : 0.0;
                if constexpr (E == Mode::localised) {
                    const double fs =
                        b <= job.lo ? 0.0 : (b >= job.hi ? 1.0 : (b - job.lo) * job.inv2e);
                    h = (job.lo < b && b < job.hi) ? job.inv2e : 0.0;
                    r = f - fs;
                }
                break;
            default:  // digital_put
                f = b < k ? 1.0 : 0.0;
                if constexpr (E == Mode::localised) {
                    const double fs =
                        b >= job.hi ? 0.0 : (b <= job.lo ? 1.0 : (job.hi - b) * job.inv2e);
                    h = (job.lo < b && b < job.hi) ? -job.inv2e : 0.0;
                    r = f - fs;
                }
                break;
        }
        // A NaN level fails every comparison above: carry it, never a silent zero.
        if (b != b) f = h = b;
        if constexpr (E != Mode::weights) {
            for (std::size_t i = 0; i < d; ++i) c[i] = h * job.a[i];
        }
    } else {
        const bool best = job.kind == Kind::best_call || job.kind == Kind::best_put;
        std::size_t at = 0;
        bool nan = x[0] != x[0];
        for (std::size_t i = 1; i < d; ++i) {
            if (best ? x[i] > x[at] : x[i] < x[at]) at = i;
            nan = nan || x[i] != x[i];
        }
        const double z = nan ? std::numeric_limits<double>::quiet_NaN() : x[at];
        double h = 0.0;
        if (job.kind == Kind::best_call || job.kind == Kind::worst_call) {
            f = z > k ? z - k : 0.0;
            h = z > k ? 1.0 : 0.0;
        } else {
            f = z < k ? k - z : 0.0;
            h = z < k ? -1.0 : 0.0;
        }
        if (nan) f = h = z;
        if constexpr (E != Mode::weights) {
            for (std::size_t i = 0; i < d; ++i) c[i] = 0.0;
            c[at] = h;
        }
    }
    if constexpr (E == Mode::weights) r = f;
    return f;
}

// The m samples of path k, each discounted, into s.v.
template <Model M, Mode E>
void path_samples(const Job& job, std::size_t k, Scratch& s) noexcept {
    const BasketModel& bm = job.model;
    const std::size_t d = bm.d;
    const View1D xr = job.x.row(k);
    const View1D wr = job.w.row(k);
    for (std::size_t i = 0; i < d; ++i) {
        s.x[i] = xr[i];
        s.w[i] = wr[i];
    }
    basket_terms<M>(bm, s.w, s.p, s.lw, s.vw);
    double r = 0.0;
    const double f = payoff<E>(job, s.x, s.c, r);
    const double df = job.df;
    double* v = s.v;
    v[0] = f * df;
    // phi_i = c_i dX_i/dx0_i, the pathwise delta (dX_i/dx0_i: GBM X_i / x0_i, ABM 1).
    if constexpr (E != Mode::weights) {
        for (std::size_t i = 0; i < d; ++i) {
            if constexpr (M == Model::gbm) {
                s.ph[i] = s.c[i] * (s.x[i] * bm.inv_x0[i]);
            } else {
                s.ph[i] = s.c[i];
            }
        }
    }
    for (std::size_t i = 0; i < d; ++i) {
        double e;
        if constexpr (E == Mode::weights) {
            e = r * s.p[i];
        } else if constexpr (E == Mode::pathwise) {
            e = s.ph[i];
        } else {
            e = s.ph[i] + r * s.p[i];
        }
        v[1 + i] = e * df;
    }
    std::size_t col = 1 + d;
    for (std::size_t i = 0; i < d; ++i) {
        for (std::size_t j = i; j < d; ++j) {
            double e = 0.0;
            if constexpr (E != Mode::pathwise) e = r * gamma_weight<M>(bm, s.p, i, j);
            if constexpr (E != Mode::weights) {
                // d/dx0_j of the pathwise delta phi_i: phi_i pi_j, less phi_i / x0_i on
                // the diagonal under GBM (phi_i divides by x0_i); symmetrised, since
                // the two orders estimate the same cross-gamma.
                double t;
                if (i == j) {
                    t = s.ph[i] * s.p[i];
                    if constexpr (M == Model::gbm) t = t - s.ph[i] * bm.inv_x0[i];
                } else {
                    t = 0.5 * (s.ph[i] * s.p[j] + s.ph[j] * s.p[i]);
                }
                e = E == Mode::pathwise ? t : t + e;
            }
            v[col++] = e * df;
        }
    }
    for (std::size_t i = 0; i < d; ++i) {
        double e;
        if constexpr (E == Mode::weights) {
            e = r * s.vw[i];
        } else {
            // The pathwise vega c_i dX_i/ds_i: GBM X_i ((L W)_i - s_i T), ABM (L W)_i.
            if constexpr (M == Model::gbm) {
                e = s.c[i] * (s.x[i] * (s.lw[i] - bm.s_t[i]));
            } else {
                e = s.c[i] * s.lw[i];
            }
            if constexpr (E == Mode::localised) e = e + r * s.vw[i];
        }
        v[col++] = e * df;
    }
}

template <Model M, Mode E>
void block_sums_of(const Job& job, std::size_t begin, std::size_t end, Scratch& s,
                   double* out) noexcept {
    const std::size_t m = job.m;
    double* s1 = s.s;
    double* s2 = s.s + m;
    for (std::size_t c = 0; c < 2 * m; ++c) s.s[c] = 0.0;
    for (std::size_t k = begin; k < end; ++k) {
        path_samples<M, E>(job, k, s);
        // One chain per column, left to right over the block's paths.
        for (std::size_t c = 0; c < m; ++c) {
            const double v = s.v[c];
            s1[c] = s1[c] + v;
            s2[c] = s2[c] + v * v;
        }
    }
    for (std::size_t c = 0; c < 2 * m; ++c) out[c] = s.s[c];
}

template <class F>
decltype(auto) with_kernel(const Job& job, F&& f) {
    if (job.model.model == Model::gbm) {
        if (job.mode == Mode::weights)
            return f(&block_sums_of<Model::gbm, Mode::weights>,
                     &path_samples<Model::gbm, Mode::weights>);
        if (job.mode == Mode::pathwise)
            return f(&block_sums_of<Model::gbm, Mode::pathwise>,
                     &path_samples<Model::gbm, Mode::pathwise>);
        return f(&block_sums_of<Model::gbm, Mode::localised>,
                 &path_samples<Model::gbm, Mode::localised>);
    }
    if (job.mode == Mode::weights)
        return f(&block_sums_of<Model::abm, Mode::weights>,
                 &path_samples<Model::abm, Mode::weights>);
    if (job.mode == Mode::pathwise)
        return f(&block_sums_of<Model::abm, Mode::pathwise>,
                 &path_samples<Model::abm, Mode::pathwise>);
    return f(&block_sums_of<Model::abm, Mode::localised>,
             &path_samples<Model::abm, Mode::localised>);
}

// Checks in the documented order; the width is settled by the caller (set_width).
Result<Job> make_job(const BasketArgs& args) {
    const View2D& x = args.terminal_states;
    const View2D& w = args.w_terminals;
    if (x.rows != w.rows || x.cols != w.cols) {
        return ModelError{"terminal_states has shape " + shape_text(x) + " but w_terminals has " +
                          shape_text(w) + ": both must be (n_paths, n_assets)"};
    }
    const Result<PayoffSpec> spec = parse_payoff(args.payoff);
    if (!spec.ok()) return spec.error();
    const Result<Estimator> est = estimator_named(args.estimator);
    if (!est.ok()) return est.error();
    const std::size_t d = x.cols;
    Result<BasketModel> model =
        make_basket_model(d, args.x0, args.vols, args.correlation, args.horizon, args.model);
    if (!model.ok()) return model.error();
    if (spec.value().pair && d != 2) {
        return ModelError{"payoff '" + std::string(args.payoff) +
                          "' needs 2 assets, the batch has " + std::to_string(d)};
    }
    if (!std::isfinite(args.strike)) return ModelError{"strike must be finite"};
    if (args.payoff == "exchange" && args.strike != 0.0) {
        return ModelError{
            "payoff 'exchange' has no strike: use 'spread' for max(X_0 - X_1 - K, 0)"};
    }
    Job job;
    job.model = std::move(model).value();
    job.kind = spec.value().kind;
    job.strike = args.strike;
    job.m = basket_columns(d);
    job.x = x;
    job.w = w;
    if (spec.value().pair) {
        job.a = {1.0, -1.0};
    } else {
        if (args.weights.size() != d) {
            return ModelError{"weights has " + std::to_string(args.weights.size()) +
                              " entries, expected one per asset (" + std::to_string(d) + ")"};
        }
        job.a.resize(d);
        for (std::size_t i = 0; i < d; ++i) {
            job.a[i] = args.weights[i];
            if (!std::isfinite(job.a[i])) {
                return ModelError{"weights[" + std::to_string(i) + "] is not finite"};
            }
        }
    }
    if (auto err = check_half_width(args.half_width)) return *std::move(err);
    if (args.rate) {
        if (!std::isfinite(*args.rate)) return ModelError{"rate must be finite"};
        job.df = fixed::exp(-(*args.rate * args.horizon));
    }
    if (est.value() == Estimator::weights) {
        job.mode = Mode::weights;
    } else {
        job.mode = is_digital(job.kind) ? Mode::localised : Mode::pathwise;
    }
    return job;
}

// The ramp of the localised digitals; a width that is not positive (all levels equal,
// or no paths) switches it off, leaving the weights.
void set_width(Job& job, double width) noexcept {
    if (job.mode != Mode::localised) return;
    if (!(width > 0.0 && std::isfinite(width))) {
        job.mode = Mode::weights;
        return;
    }
    job.lo = job.strike - width;
    job.hi = job.strike + width;
    job.inv2e = 1.0 / (2.0 * width);
}

// Twice the population standard deviation of the levels, from their plain
// left-to-right sums (the chunked caller continues the same sums).
double default_width(const Job& job) {
    double s1 = 0.0, s2 = 0.0;
    std::vector<double> xs(job.model.d);
    for (std::size_t k = 0; k < job.x.rows; ++k) {
        const View1D xr = job.x.row(k);
        for (std::size_t i = 0; i < job.model.d; ++i) xs[i] = xr[i];
        const double b = level(job, xs.data());
        s1 = s1 + b;
        s2 = s2 + b * b;
    }
    const double sums[2] = {s1, s2};
    const View1D view{reinterpret_cast<const std::byte*>(sums), 2, sizeof(double)};
    const Result<Buffer> e = default_half_width_of(view, job.x.rows);
    return e.ok() ? e.value().data()[0] : 0.0;
}

std::optional<ModelError> check_size(std::size_t rows, std::size_t cols, const char* what) {
    if (cols != 0 && rows > std::numeric_limits<std::size_t>::max() / sizeof(double) / cols) {
        return ModelError{std::string(what) + " is too long: the result would not fit in memory"};
    }
    return std::nullopt;
}

// The block sums of paths [0, n) into out (n_blocks x 2 m), blocks shared out on the
// pool when `pool` is set, else in order on this thread.
void run_blocks(const Job& job, double* out, WorkerPool* pool) {
    const std::size_t n = job.x.rows;
    const std::size_t blocks = (n + kBasketBlock - 1) / kBasketBlock;
    const std::size_t m = job.m;
    with_kernel(job, [&](auto block_fn, auto) {
        const std::size_t threads = pool == nullptr ? 1 : pool->threads();
        const std::size_t items = std::max<std::size_t>(1, std::min(blocks, 4 * threads));
        const std::size_t per = blocks == 0 ? 0 : (blocks + items - 1) / items;
        std::vector<Scratch> scratch;
        scratch.reserve(items);
        for (std::size_t i = 0; i < items; ++i) scratch.emplace_back(job.model.d, m);
        auto task = [&](std::size_t item) noexcept {
            const std::size_t b_end = std::min(blocks, (item + 1) * per);
            for (std::size_t b = item * per; b < b_end; ++b) {
                const std::size_t begin = b * kBasketBlock;
                const std::size_t end = std::min(n, begin + kBasketBlock);
                block_fn(job, begin, end, scratch[item], out + b * 2 * m);
            }
        };
        if (pool != nullptr) {
            pool->run(items, task, n * m);
        } else {
            for (std::size_t i = 0; i < items; ++i) task(i);
        }
    });
}

}  // namespace

Result<Buffer> price_and_greeks_basket(const BasketArgs& args, const WorkScope& scope) {
    Result<Job> made = make_job(args);
    if (!made.ok()) return made.error();
    Job& job = made.value();
    const std::size_t n = job.x.rows;
    const std::size_t m = job.m;
    const std::size_t blocks = (n + kBasketBlock - 1) / kBasketBlock;
    if (auto err = check_size(blocks, 2 * m, "terminal_states")) return *std::move(err);
    if (job.mode == Mode::localised)
        set_width(job, args.half_width ? *args.half_width : default_width(job));

    std::vector<double> sums(blocks * 2 * m);
    auto work = [&] { run_blocks(job, sums.data(), &WorkerPool::global()); };
    scope(work);

    // The block sums added in path order: the total's own chain.
    std::vector<double> total(2 * m, 0.0);
    for (std::size_t b = 0; b < blocks; ++b) {
        const double* row = sums.data() + b * 2 * m;
        for (std::size_t c = 0; c < 2 * m; ++c) total[c] = total[c] + row[c];
    }
    Buffer out = Buffer::allocate(2 * m);
    for (std::size_t c = 0; c < m; ++c) {
        const MeanStderr r = mean_stderr(total[c], total[m + c], n);
        out[c] = r.mean;
        // A non-finite estimate has no meaningful error bar.
        out[m + c] = std::isfinite(r.mean) ? r.stderr_ : std::numeric_limits<double>::quiet_NaN();
    }
    return out;
}

Result<Matrix> basket_chunk_samples(const BasketArgs& args, double width) {
    Result<Job> made = make_job(args);
    if (!made.ok()) return made.error();
    Job& job = made.value();
    set_width(job, width);
    const std::size_t n = job.x.rows;
    if (auto err = check_size(n, job.m, "terminal_states")) return *std::move(err);
    Matrix out = Matrix::allocate(n, job.m);
    Scratch s(job.model.d, job.m);
    with_kernel(job, [&](auto, auto path_fn) {
        for (std::size_t k = 0; k < n; ++k) {
            path_fn(job, k, s);
            std::copy(s.v, s.v + job.m, out.row(k));
        }
    });
    return out;
}

Result<Matrix> basket_chunk_block_sums(const BasketArgs& args, double width) {
    Result<Job> made = make_job(args);
    if (!made.ok()) return made.error();
    Job& job = made.value();
    set_width(job, width);
    const std::size_t blocks = (job.x.rows + kBasketBlock - 1) / kBasketBlock;
    if (auto err = check_size(blocks, 2 * job.m, "terminal_states")) return *std::move(err);
    Matrix out = Matrix::allocate(blocks, 2 * job.m);
    run_blocks(job, out.buffer.data(), nullptr);
    return out;
}

Result<Matrix> basket_levels(const BasketArgs& args) {
    Result<Job> made = make_job(args);
    if (!made.ok()) return made.error();
    const Job& job = made.value();
    const std::size_t n = job.x.rows;
    Matrix out = Matrix::allocate(n, 1);
    std::vector<double> xs(job.model.d);
    for (std::size_t k = 0; k < n; ++k) {
        const View1D xr = job.x.row(k);
        for (std::size_t i = 0; i < job.model.d; ++i) xs[i] = xr[i];
        out.buffer[k] = level(job, xs.data());
    }
    return out;
}

Result<Matrix> greek_weights_basket(const View2D& w_terminals, const View1D& x0, const View1D& vols,
                                    const View2D& correlation, double horizon,
                                    std::string_view model, const WorkScope& scope) {
    const std::size_t d = w_terminals.cols;
    Result<BasketModel> made = make_basket_model(d, x0, vols, correlation, horizon, model);
    if (!made.ok()) return made.error();
    const BasketModel& bm = made.value();
    const std::size_t n = w_terminals.rows;
    const std::size_t width = 2 * d + d * d;
    if (auto err = check_size(n, width, "w_terminals")) return *std::move(err);
    Matrix out = Matrix::allocate(n, width);
    const std::size_t blocks = (n + kBasketBlock - 1) / kBasketBlock;
    auto rows = [&](auto model_tag) {
        constexpr Model M = decltype(model_tag)::value;
        WorkerPool& pool = WorkerPool::global();
        const std::size_t items = std::max<std::size_t>(1, std::min(blocks, 4 * pool.threads()));
        const std::size_t per = blocks == 0 ? 0 : (blocks + items - 1) / items;
        std::vector<Scratch> scratch;
        scratch.reserve(items);
        for (std::size_t i = 0; i < items; ++i) scratch.emplace_back(d, 0);
        auto task = [&](std::size_t item) noexcept {
            Scratch& s = scratch[item];
            const std::size_t end = std::min(n, (item + 1) * per * kBasketBlock);
            for (std::size_t k = item * per * kBasketBlock; k < end; ++k) {
                const View1D wr = w_terminals.row(k);
                for (std::size_t i = 0; i < d; ++i) s.w[i] = wr[i];
                double* row = out.row(k);
                basket_terms<M>(bm, s.w, row, s.lw, row + d + d * d);
                for (std::size_t i = 0; i < d; ++i) {
                    for (std::size_t j = 0; j < d; ++j)
                        row[d + i * d + j] = gamma_weight<M>(bm, row, i, j);
                }
            }
        };
        pool.run(items, task, n * width);
    };
    auto work = [&] {
        if (bm.model == Model::gbm) {
            rows(std::integral_constant<Model, Model::gbm>{});
        } else {
            rows(std::integral_constant<Model, Model::abm>{});
        }
    };
    scope(work);
    return out;
}

}  // namespace quarnel
