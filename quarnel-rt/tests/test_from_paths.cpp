// Unit tests of the estimator library, in plain C++ (no Python).
#include <cmath>
#include <limits>
#include <vector>

#include "check.hpp"
#include "quarnel/from_paths.hpp"

using quarnel::bel_delta_constant_flow_from_paths;
using quarnel::InternalFault;
using quarnel::price_from_paths;

namespace {
const double kNan = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

struct Call {
    double k;
    double operator()(double x) const { return x - k > 0.0 ? x - k : 0.0; }
};
}  // namespace

TEST_CASE("population standard error, one pass") {
    const auto r = price_from_paths(std::vector<double>{1.0, 2.0, 3.0, 4.0});
    CHECK(r.mean == 2.5);
    CHECK(r.stderr_ == 0.5590169943749475);
}

TEST_CASE("one-pass rounding is part of the result") {
    const auto three = price_from_paths(std::vector<double>(3, 0.1));
    CHECK(three.mean == 0.10000000000000002);
    CHECK(three.stderr_ == 0.0);  // negative variance clamped
    const auto ten = price_from_paths(std::vector<double>(10, 0.1));
    CHECK(ten.mean == 0.09999999999999999);
    CHECK(ten.stderr_ == 7.213993642865526e-10);
}

TEST_CASE("empty, NaN and overflowing samples") {
    const auto empty = price_from_paths(std::vector<double>{});
    CHECK(std::isnan(empty.mean) && std::isnan(empty.stderr_));
    const auto nan = price_from_paths(std::vector<double>{1.0, kNan});
    CHECK(std::isnan(nan.mean) && nan.stderr_ == 0.0);
    const auto infs = price_from_paths(std::vector<double>{kInf, -kInf});
    CHECK(std::isnan(infs.mean) && infs.stderr_ == 0.0);
    const auto big = price_from_paths(std::vector<double>{1e160, -1e160});
    CHECK(big.mean == 0.0 && big.stderr_ == kInf);
    const auto huge = price_from_paths(std::vector<double>{1e200});
    CHECK(huge.mean == 1e200 && huge.stderr_ == 0.0);
}

TEST_CASE("payoff applied to each value") {
    const auto r = price_from_paths(std::vector<double>{1.0, 2.0, 3.0}, Call{2.0});
    CHECK(r.mean == 1.0 / 3.0);
}

TEST_CASE("constant-flow delta: product order (p * W) * scale") {
    const std::vector<double> x{0.1}, w{0.1};
    const auto r = bel_delta_constant_flow_from_paths(x, w, 1.0, 0.1, [](double v) { return v; });
    CHECK(r.price == 0.1);
    CHECK(r.delta == 0.10000000000000002);
    CHECK(r.price_stderr == 0.0 && r.delta_stderr == 0.0);
}

TEST_CASE("constant-flow delta of a call") {
    const std::vector<double> x{1.0, 2.0, 3.0, 4.0}, w{0.5, -0.5, 1.0, 2.0};
    const auto r = bel_delta_constant_flow_from_paths(x, w, 1.0, 2.0, Call{2.0});
    CHECK(r.price == 0.75);
    CHECK(r.delta == 0.625);
    CHECK(r.price_stderr == 0.414578098794425);
    CHECK(r.delta_stderr == 0.409839907768875);
}

TEST_CASE("constant-flow preconditions are internal faults, even when empty") {
    const std::vector<double> none;
    auto id = [](double v) { return v; };
    CHECK_THROWS_AS(bel_delta_constant_flow_from_paths(none, none, 0.0, 1.0, id), InternalFault);
    CHECK_THROWS_AS(bel_delta_constant_flow_from_paths(none, none, kNan, 1.0, id), InternalFault);
    CHECK_THROWS_AS(bel_delta_constant_flow_from_paths(none, none, 1.0, -1.0, id), InternalFault);
    try {
        (void)bel_delta_constant_flow_from_paths(none, none, 0.0, 0.0, id);
    } catch (const InternalFault& f) {
        CHECK(f.message() == "horizon must be positive");
    }
}

QTEST_MAIN
