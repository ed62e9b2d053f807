// The bridge survival's chain rule: each derivative of log p against central
// differences of log p along the same direction, where the coordinates move along
// quadratic curves whose first and second derivatives are the node's.
#include <cmath>
#include <random>

#include "check.hpp"
#include "core/path_bridge.hpp"

using namespace quarnel::paths;

namespace {

// A coordinate at (e1 along L, e2 along D): its value, L, D, LL and LD derivatives.
double at(const Node& n, double e1, double e2) {
    return n.x + n.l * e1 + n.d * e2 + 0.5 * n.ll * e1 * e1 + n.ld * e1 * e2;
}

double log_survival(const Node& a, const Node& b, const Node& c, double e1, double e2) {
    const double z = 2.0 * at(a, e1, e2) * at(b, e1, e2) / at(c, e1, e2);
    return std::log(1.0 - std::exp(-z));
}

bool close(double got, double want, double tol) {
    return std::abs(got - want) <= tol * (1.0 + std::abs(want));
}

}  // namespace

TEST_CASE("bridge derivatives match central differences") {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> u(-1.0, 1.0), pos(0.05, 1.0);
    for (int trial = 0; trial < 200; ++trial) {
        auto node = [&](double x) {
            return Node{x, u(rng), u(rng), 0.0, 0.0, 0.0, u(rng), u(rng)};
        };
        const Node a = node(pos(rng)), b = node(pos(rng));
        Node c = node(0.2 + pos(rng));
        const StepSurvival s = bridge_step(a, b, c);
        CHECK(s.survive);
        const double h = 1e-4;
        auto f = [&](double e1, double e2) { return log_survival(a, b, c, e1, e2); };
        const double f0 = f(0, 0);
        CHECK(close(std::log(s.p), f0, 1e-12));
        CHECK(close(s.l, (f(h, 0) - f(-h, 0)) / (2 * h), 1e-6));
        CHECK(close(s.d, (f(0, h) - f(0, -h)) / (2 * h), 1e-6));
        CHECK(close(s.ll, (f(h, 0) - 2 * f0 + f(-h, 0)) / (h * h), 1e-4));
        CHECK(close(s.ld, (f(h, h) - f(h, -h) - f(-h, h) + f(-h, -h)) / (4 * h * h), 1e-4));
    }
}

TEST_CASE("a step ending on or beyond the barrier knocks the path") {
    const Node c{1.0};
    CHECK(!bridge_step(Node{0.0}, Node{0.5}, c).survive);
    CHECK(!bridge_step(Node{0.5}, Node{-1e-300}, c).survive);
    CHECK(bridge_step(Node{0.5}, Node{0.5}, c).survive);
    // Far from the barrier nothing is added and p is exactly 1.
    const StepSurvival far = bridge_step(Node{10.0, 1.0}, Node{10.0, 1.0}, c);
    CHECK(far.survive && far.p == 1.0 && far.d == 0.0);
}

QTEST_MAIN
