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

// Paths are formed kLanes at a time, each quantity as a row of kLanes values, so that
// the arithmetic of the group vectorises across paths; every path keeps its own
// sequence of operations, and the sums still take the paths one by one, in order.
constexpr std::size_t kLanes = 8;

// Scratch of one thread: per asset and lane x, w, p, lw, vw, c, ph ([i * kLanes + l]),
// the samples ([column * kLanes + l]), the block's sums (2 m).
struct Scratch {
    std::vector<double> all;
    double *x, *w, *p, *lw, *vw, *c, *ph, *v, *s;
    Scratch(std::size_t d, std::size_t m) : all((7 * d + m) * kLanes + 2 * m, 0.0) {
        double* b = all.data();
        const std::size_t n = d * kLanes;
        x = b;
        w = b + n;
        p = b + 2 * n;
        lw = b + 3 * n;
        vw = b + 4 * n;
        c = b + 5 * n;
        ph = b + 6 * n;
        v = b + 7 * n;
        s = v + m * kLanes;
    }
};

double level(const Job& job, const double* x) noexcept {
    double b = 0.0;
    for (std::size_t i = 0; i < job.model.d; ++i) b = b + job.a[i] * x[i];
    return b;
}

// Per lane the payoff f, the remainder r that the weights carry and, for the pathwise
// and localised modes, the slope c of the part taken pathwise.
template <Mode E, std::size_t D>
inline void payoffs(const Job& job, Scratch& s, double* f, double* r) noexcept {
    const std::size_t d = D != 0 ? D : job.model.d;
    const double k = job.strike;
    double h[kLanes];
    if (on_basket(job.kind)) {
        double b[kLanes] = {};
        for (std::size_t i = 0; i < d; ++i) {
            const double a = job.a[i];
            for (std::size_t l = 0; l < kLanes; ++l) b[l] = b[l] + a * s.x[i * kLanes + l];
        }
        const double lo = job.lo, hi = job.hi, inv2e = job.inv2e;
        // One loop per payoff, so that each is a straight run of selects across lanes.
        switch (job.kind) {
            case Kind::call:
                for (std::size_t l = 0; l < kLanes; ++l) {
                    f[l] = b[l] > k ? b[l] - k : 0.0;
                    h[l] = b[l] > k ? 1.0 : 0.0;
                    r[l] = 0.0;
                }
                break;
            case Kind::put:
                for (std::size_t l = 0; l < kLanes; ++l) {
                    f[l] = b[l] < k ? k - b[l] : 0.0;
                    h[l] = b[l] < k ? -1.0 : 0.0;
                    r[l] = 0.0;
                }
                break;
            case Kind::digital:
                for (std::size_t l = 0; l < kLanes; ++l) {
                    const double x = b[l];
                    f[l] = x > k ? 1.0 : 0.0;
                    const double fs = x <= lo ? 0.0 : (x >= hi ? 1.0 : (x - lo) * inv2e);
                    h[l] = (lo < x && x < hi) ? inv2e : 0.0;
                    r[l] = f[l] - fs;
                }
                break;
            default:  // digital_put
                for (std::size_t l = 0; l < kLanes; ++l) {
                    const double x = b[l];
                    f[l] = x < k ? 1.0 : 0.0;
                    const double fs = x >= hi ? 0.0 : (x <= lo ? 1.0 : (hi - x) * inv2e);
                    h[l] = (lo < x && x < hi) ? -inv2e : 0.0;
                    r[l] = f[l] - fs;
                }
                break;
        }
        // A NaN level fails every comparison above: carry it, never a silent zero.
        for (std::size_t l = 0; l < kLanes; ++l) {
            const bool nan = b[l] != b[l];
            f[l] = nan ? b[l] : f[l];
            h[l] = nan ? b[l] : h[l];
            r[l] = nan ? b[l] : r[l];
        }
        if constexpr (E != Mode::weights) {
            for (std::size_t i = 0; i < d; ++i) {
                const double a = job.a[i];
                for (std::size_t l = 0; l < kLanes; ++l) s.c[i * kLanes + l] = h[l] * a;
            }
        }
    } else {
        const bool best = job.kind == Kind::best_call || job.kind == Kind::best_put;
        const bool call = job.kind == Kind::best_call || job.kind == Kind::worst_call;
        double z[kLanes];
        std::size_t at[kLanes] = {};
        bool nan[kLanes];
        for (std::size_t l = 0; l < kLanes; ++l) {
            z[l] = s.x[l];
            nan[l] = s.x[l] != s.x[l];
        }
        for (std::size_t i = 1; i < d; ++i) {
            for (std::size_t l = 0; l < kLanes; ++l) {
                const double x = s.x[i * kLanes + l];
                const bool take = best ? x > z[l] : x < z[l];
                z[l] = take ? x : z[l];
                at[l] = take ? i : at[l];
                nan[l] = nan[l] || x != x;
            }
        }
        for (std::size_t l = 0; l < kLanes; ++l) {
            const double x = z[l];
            const double fl = call ? (x > k ? x - k : 0.0) : (x < k ? k - x : 0.0);
            const double hl = call ? (x > k ? 1.0 : 0.0) : (x < k ? -1.0 : 0.0);
            const double q = std::numeric_limits<double>::quiet_NaN();
            f[l] = nan[l] ? q : fl;
            h[l] = nan[l] ? q : hl;
            r[l] = 0.0;
        }
        if constexpr (E != Mode::weights) {
            for (std::size_t i = 0; i < d; ++i) {
                for (std::size_t l = 0; l < kLanes; ++l) {
                    s.c[i * kLanes + l] = at[l] == i ? h[l] : (nan[l] ? h[l] : 0.0);
                }
            }
        }
    }
    if constexpr (E == Mode::weights) {
        for (std::size_t l = 0; l < kLanes; ++l) r[l] = f[l];
    }
}

// The m samples, each discounted, of paths k0 .. k0 + count - 1 (count <= kLanes) into
// the lanes of s.v; the lanes past count hold whatever they held.
template <Model M, Mode E, std::size_t D>
void group_samples(const Job& job, std::size_t k0, std::size_t count, Scratch& s) noexcept {
    const BasketModel& bm = job.model;
    const std::size_t d = D != 0 ? D : bm.d;
    constexpr std::size_t L = kLanes;
    for (std::size_t l = 0; l < count; ++l) {
        const View1D xr = job.x.row(k0 + l);
        const View1D wr = job.w.row(k0 + l);
        for (std::size_t i = 0; i < d; ++i) {
            s.x[i * L + l] = xr[i];
            s.w[i * L + l] = wr[i];
        }
    }
    // basket_terms, lane by lane in the same order of operations.
    for (std::size_t i = 0; i < d; ++i) {
        const double* a = bm.inv_lt.data() + i * d;
        const double* lrow = bm.chol.data() + i * d;
        double g[L] = {};
        double y[L] = {};
        for (std::size_t j = i; j < d; ++j) {
            for (std::size_t l = 0; l < L; ++l) g[l] = g[l] + a[j] * s.w[j * L + l];
        }
        for (std::size_t j = 0; j <= i; ++j) {
            for (std::size_t l = 0; l < L; ++l) y[l] = y[l] + lrow[j] * s.w[j * L + l];
        }
        const double gs = bm.g_scale[i], ix = bm.inv_x0[i], is = bm.inv_s[i], st = bm.s_t[i];
        for (std::size_t l = 0; l < L; ++l) {
            const double gl = g[l] * gs;
            s.lw[i * L + l] = y[l];
            s.p[i * L + l] = gl * ix;
            if constexpr (M == Model::gbm) {
                s.vw[i * L + l] = gl * (y[l] - st) - is;
            } else {
                s.vw[i * L + l] = gl * y[l] - is;
            }
        }
    }
    double f[L], r[L];
    payoffs<E, D>(job, s, f, r);
    const double df = job.df;
    double* v = s.v;
    for (std::size_t l = 0; l < L; ++l) v[l] = f[l] * df;
    // phi_i = c_i dX_i/dx0_i, the pathwise delta (dX_i/dx0_i: GBM X_i / x0_i, ABM 1).
    if constexpr (E != Mode::weights) {
        for (std::size_t i = 0; i < d; ++i) {
            const double ix = bm.inv_x0[i];
            for (std::size_t l = 0; l < L; ++l) {
                const std::size_t at = i * L + l;
                if constexpr (M == Model::gbm) {
                    s.ph[at] = s.c[at] * (s.x[at] * ix);
                } else {
                    s.ph[at] = s.c[at];
                }
            }
        }
    }
    for (std::size_t i = 0; i < d; ++i) {
        double* out = v + (1 + i) * L;
        for (std::size_t l = 0; l < L; ++l) {
            const std::size_t at = i * L + l;
            double e;
            if constexpr (E == Mode::weights) {
                e = r[l] * s.p[at];
            } else if constexpr (E == Mode::pathwise) {
                e = s.ph[at];
            } else {
                e = s.ph[at] + r[l] * s.p[at];
            }
            out[l] = e * df;
        }
    }
    std::size_t col = 1 + d;
    for (std::size_t i = 0; i < d; ++i) {
        const double ix = bm.inv_x0[i];
        for (std::size_t j = i; j < d; ++j) {
            const double qij = bm.q[i * d + j];
            const double* pi = s.p + i * L;
            const double* pj = s.p + j * L;
            const double* hi = s.ph + i * L;
            const double* hj = s.ph + j * L;
            double* out = v + col * L;
            for (std::size_t l = 0; l < L; ++l) {
                double e = 0.0;
                if constexpr (E != Mode::pathwise) {
                    // gamma_weight, in its order: the GBM diagonal (p p - p / x0) - q.
                    double gw;
                    if (M == Model::gbm && i == j) {
                        gw = (pi[l] * pi[l] - pi[l] * ix) - qij;
                    } else {
                        gw = pi[l] * pj[l] - qij;
                    }
                    e = r[l] * gw;
                }
                if constexpr (E != Mode::weights) {
                    // d/dx0_j of the pathwise delta phi_i: phi_i pi_j, less phi_i / x0_i
                    // on the diagonal under GBM (phi_i divides by x0_i); symmetrised,
                    // since the two orders estimate the same cross-gamma.
                    double t;
                    if (i == j) {
                        t = hi[l] * pi[l];
                        if constexpr (M == Model::gbm) t = t - hi[l] * ix;
                    } else {
                        t = 0.5 * (hi[l] * pj[l] + hj[l] * pi[l]);
                    }
                    e = E == Mode::pathwise ? t : t + e;
                }
                out[l] = e * df;
            }
            ++col;
        }
    }
    for (std::size_t i = 0; i < d; ++i) {
        const double st = bm.s_t[i];
        double* out = v + col * L;
        for (std::size_t l = 0; l < L; ++l) {
            const std::size_t at = i * L + l;
            double e;
            if constexpr (E == Mode::weights) {
                e = r[l] * s.vw[at];
            } else {
                // The pathwise vega c_i dX_i/ds_i: GBM X_i ((L W)_i - s_i T), ABM (L W)_i.
                if constexpr (M == Model::gbm) {
                    e = s.c[at] * (s.x[at] * (s.lw[at] - st));
                } else {
                    e = s.c[at] * s.lw[at];
                }
                if constexpr (E == Mode::localised) e = e + r[l] * s.vw[at];
            }
            out[l] = e * df;
        }
        ++col;
    }
}

template <Model M, Mode E, std::size_t D>
void block_sums_of(const Job& job, std::size_t begin, std::size_t end, Scratch& s,
                   double* out) noexcept {
    const std::size_t m = D != 0 ? basket_columns(D) : job.m;
    for (std::size_t c = 0; c < 2 * m; ++c) out[c] = 0.0;
    for (std::size_t k = begin; k < end; k += kLanes) {
        const std::size_t count = std::min(kLanes, end - k);
        group_samples<M, E, D>(job, k, count, s);
        // One chain per column, left to right over the paths.
        for (std::size_t c = 0; c < m; ++c) {
            const double* v = s.v + c * kLanes;
            double s1 = out[c];
            double s2 = out[m + c];
            for (std::size_t l = 0; l < count; ++l) {
                s1 = s1 + v[l];
                s2 = s2 + v[l] * v[l];
            }
            out[c] = s1;
            out[m + c] = s2;
        }
    }
}

// The kernel of the job's model and mode, with the asset count fixed at compile time
// for two assets (its short loops unrolled: the most common basket, and the one where
// loop overhead weighs most) and read at run time otherwise.
template <Model M, Mode E, class F>
decltype(auto) with_count(const Job& job, F&& f) {
    if (job.model.d == 2) return f(&block_sums_of<M, E, 2>, &group_samples<M, E, 2>);
    return f(&block_sums_of<M, E, 0>, &group_samples<M, E, 0>);
}

template <Model M, class F>
decltype(auto) with_mode(const Job& job, F&& f) {
    if (job.mode == Mode::weights) return with_count<M, Mode::weights>(job, f);
    if (job.mode == Mode::pathwise) return with_count<M, Mode::pathwise>(job, f);
    return with_count<M, Mode::localised>(job, f);
}

template <class F>
decltype(auto) with_kernel(const Job& job, F&& f) {
    if (job.model.model == Model::gbm) return with_mode<Model::gbm>(job, f);
    return with_mode<Model::abm>(job, f);
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
    Buffer out = Buffer::allocate(n * job.m);
    double* data = out.data();
    Scratch s(job.model.d, job.m);
    with_kernel(job, [&](auto, auto group_fn) {
        for (std::size_t k = 0; k < n; k += kLanes) {
            const std::size_t count = std::min(kLanes, n - k);
            group_fn(job, k, count, s);
            for (std::size_t l = 0; l < count; ++l) {
                double* row = data + (k + l) * job.m;
                for (std::size_t c = 0; c < job.m; ++c) row[c] = s.v[c * kLanes + l];
            }
        }
    });
    return Matrix{std::move(out), n, job.m};
}

Result<Matrix> basket_chunk_block_sums(const BasketArgs& args, double width) {
    Result<Job> made = make_job(args);
    if (!made.ok()) return made.error();
    Job& job = made.value();
    set_width(job, width);
    const std::size_t blocks = (job.x.rows + kBasketBlock - 1) / kBasketBlock;
    if (auto err = check_size(blocks, 2 * job.m, "terminal_states")) return *std::move(err);
    Buffer out = Buffer::allocate(blocks * 2 * job.m);
    run_blocks(job, out.data(), nullptr);
    return Matrix{std::move(out), blocks, 2 * job.m};
}

Result<Matrix> basket_levels(const BasketArgs& args) {
    Result<Job> made = make_job(args);
    if (!made.ok()) return made.error();
    const Job& job = made.value();
    const std::size_t n = job.x.rows;
    Buffer out = Buffer::allocate(n);
    std::vector<double> xs(job.model.d);
    for (std::size_t k = 0; k < n; ++k) {
        const View1D xr = job.x.row(k);
        for (std::size_t i = 0; i < job.model.d; ++i) xs[i] = xr[i];
        out[k] = level(job, xs.data());
    }
    return Matrix{std::move(out), n, 1};
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
    Buffer out = Buffer::allocate(n * width);
    double* data = out.data();
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
                double* row = data + k * width;
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
    return Matrix{std::move(out), n, width};
}

}  // namespace quarnel
