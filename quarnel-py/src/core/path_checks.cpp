// The checks of the path-dependent products' arguments (path_products.hpp), each with a
// message that names the argument and what was found.
#include <cmath>
#include <string>

#include "core/path_products.hpp"

namespace quarnel::paths {
namespace {

std::string number(double x) {
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return x > 0.0 ? "inf" : "-inf";
    std::string s = std::to_string(x);
    return s;
}

ModelError positive(const char* name, double x) {
    return ModelError{std::string(name) + " must be positive and finite, got " + number(x)};
}

bool positive_finite(double x) noexcept { return x > 0.0 && std::isfinite(x); }

// Only states and dws are read for gbm.
Result<BatchShape> gbm_shape(const PathArrays& paths) {
    const View2D& s = paths.states;
    const View2D& d = paths.dws;
    if (auto err = check_state_columns(s)) return *std::move(err);
    if (d.rows != s.rows || d.cols != s.cols - 1) {
        return ModelError{"dws shape [" + std::to_string(d.rows) + ", " + std::to_string(d.cols) +
                          "] != expected (" + std::to_string(s.rows) + ", " +
                          std::to_string(s.cols - 1) + ")"};
    }
    return BatchShape{s.rows, s.cols - 1};
}

}  // namespace

Result<PathModel> check_model(const PathArguments& args) {
    PathModel m;
    if (args.model == "gbm") {
        m.kind = ModelKind::gbm;
    } else if (args.model == "euler") {
        m.kind = ModelKind::euler;
    } else {
        return ModelError{"unknown model '" + std::string(args.model) +
                          "': expected 'gbm' or 'euler'"};
    }
    Result<BatchShape> shape = m.kind == ModelKind::euler
                                   ? exact_shape(args.batch, FieldNames::bare)
                                   : gbm_shape(args.batch.paths);
    if (!shape.ok()) return shape.error();
    const double horizon = args.batch.paths.horizon;
    if (!positive_finite(horizon)) return positive("horizon", horizon);
    m.states = args.batch.paths.states;
    m.dws = args.batch.paths.dws;
    m.first = args.batch.first;
    m.second = args.batch.second;
    m.n_paths = shape.value().n_paths;
    m.n_steps = shape.value().n_steps;
    m.horizon = horizon;
    m.dt = horizon / static_cast<double>(m.n_steps);
    if (m.kind == ModelKind::gbm) {
        if (!positive_finite(args.x0)) return positive("x0", args.x0);
        if (!positive_finite(args.vol)) return positive("vol", args.vol);
        m.x0 = args.x0;
        m.vol = args.vol;
        m.has_vol = true;
    } else {
        if (!std::isnan(args.vol) && !positive_finite(args.vol)) return positive("vol", args.vol);
        m.x0 = 1.0;
        m.vol = args.vol;
        m.has_vol = !std::isnan(args.vol);
    }
    return m;
}

Result<Product> check_product(const PathArguments& args, const PathModel& m) {
    Product p;
    const std::string_view name = args.product;
    if (name == "barrier_continuous") {
        p.kind = ProductKind::barrier_continuous;
    } else if (name == "barrier_discrete") {
        p.kind = ProductKind::barrier_discrete;
    } else if (name == "asian_arithmetic") {
        p.kind = ProductKind::asian_arithmetic;
    } else if (name == "asian_geometric") {
        p.kind = ProductKind::asian_geometric;
    } else if (name == "weights") {
        p.kind = ProductKind::weights;
    } else {
        return ModelError{"unknown product '" + std::string(name) + "'"};
    }
    const bool barrier =
        p.kind == ProductKind::barrier_continuous || p.kind == ProductKind::barrier_discrete;
    if (barrier) {
        const double h = args.barrier;
        if (!std::isfinite(h) || (m.kind == ModelKind::gbm && !(h > 0.0))) {
            return ModelError{std::string("barrier must be ") +
                              (m.kind == ModelKind::gbm ? "positive and finite" : "finite") +
                              ", got " + number(h)};
        }
        p.barrier = h;
        if (args.direction == "down") {
            p.up = false;
        } else if (args.direction == "up") {
            p.up = true;
        } else {
            return ModelError{"unknown direction '" + std::string(args.direction) +
                              "': expected 'down' or 'up'"};
        }
        if (args.knock == "out") {
            p.knock_in = false;
        } else if (args.knock == "in") {
            p.knock_in = true;
        } else {
            return ModelError{"unknown knock '" + std::string(args.knock) +
                              "': expected 'out' or 'in'"};
        }
    }
    if (p.kind == ProductKind::weights) {
        const double d = args.first_date;
        if (!(d >= 1.0 && d <= static_cast<double>(m.n_steps) && d == std::floor(d))) {
            return ModelError{"first_date must be a grid index in 1.." + std::to_string(m.n_steps) +
                              ", got " + number(d)};
        }
        p.first_date = static_cast<std::size_t>(d);
        return p;
    }
    if (p.kind == ProductKind::barrier_continuous) return p;
    // The monitoring dates, as a mask over the grid dates 1..n_steps.
    const View1D& dates = args.dates;
    if (dates.size() != m.n_steps) {
        return ModelError{"the monitoring mask has length " + std::to_string(dates.size()) +
                          ", expected n_steps = " + std::to_string(m.n_steps)};
    }
    for (std::size_t j = 0; j < dates.size(); ++j) {
        const double x = dates[j];
        if (x != 0.0 && x != 1.0) {
            return ModelError{"the monitoring mask must hold 0 or 1, found " + number(x) + " at " +
                              std::to_string(j)};
        }
        if (x == 1.0) {
            if (p.n_dates == 0) p.first_date = j + 1;
            ++p.n_dates;
        }
    }
    if (p.n_dates == 0) return ModelError{"monitoring_dates must name at least one grid date"};
    p.dates = dates;
    return p;
}

}  // namespace quarnel::paths
