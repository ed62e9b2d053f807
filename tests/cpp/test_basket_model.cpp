#include <cmath>
#include <cstddef>
#include <vector>

#include "check.hpp"
#include "core/basket_model.hpp"

using quarnel::BasketModel;
using quarnel::View1D;
using quarnel::View2D;

namespace {

View1D view(const std::vector<double>& v) {
    return {reinterpret_cast<const std::byte*>(v.data()), v.size(), sizeof(double)};
}
View2D view(const std::vector<double>& v, std::size_t d) {
    return {reinterpret_cast<const std::byte*>(v.data()), d, d,
            static_cast<std::ptrdiff_t>(d * sizeof(double)), sizeof(double)};
}

const std::vector<double> kRho = {1.0, 0.6,  0.3, -0.1, 0.6,  1.0, -0.2, 0.2,
                                  0.3, -0.2, 1.0, 0.4,  -0.1, 0.2, 0.4,  1.0};
const std::vector<double> kX0 = {100.0, 90.0, 110.0, 1.5};
const std::vector<double> kVols = {0.3, 0.2, 0.25, 0.4};

}  // namespace

// L L^T = rho, L^-T L^T = I, and the gamma constant times T Sigma (with the x0 scaling
// undone) = I: the three factors every weight is built from.
TEST_CASE("the factors of the correlation invert each other") {
    const double t = 0.7;
    auto made = quarnel::make_basket_model(4, view(kX0), view(kVols), view(kRho, 4), t, "gbm");
    CHECK(made.ok());
    const BasketModel& m = made.value();
    for (std::size_t i = 0; i < 4; ++i) {
        for (std::size_t j = 0; j < 4; ++j) {
            double llt = 0.0, inv = 0.0, qs = 0.0;
            for (std::size_t k = 0; k < 4; ++k) {
                llt += m.chol[i * 4 + k] * m.chol[j * 4 + k];
                inv += m.inv_lt[i * 4 + k] * m.chol[j * 4 + k];
                qs += m.q[i * 4 + k] * kX0[i] * kX0[k] * t * kVols[k] * kVols[j] * kRho[k * 4 + j];
            }
            const double eye = i == j ? 1.0 : 0.0;
            CHECK(std::fabs(llt - kRho[i * 4 + j]) < 1e-14);
            CHECK(std::fabs(inv - eye) < 1e-14);
            CHECK(std::fabs(qs - eye) < 1e-12);
        }
    }
}

TEST_CASE("a correlation with a negative eigenvalue is refused at its leading block") {
    const std::vector<double> rho = {1.0, 0.9, 0.9, 0.9, 1.0, -0.9, 0.9, -0.9, 1.0};
    auto made =
        quarnel::make_basket_model(3, view(std::vector<double>(3, 1.0)),
                                   view(std::vector<double>(3, 0.2)), view(rho, 3), 1.0, "abm");
    CHECK(!made.ok());
    CHECK(made.error().message ==
          "correlation is not positive definite: its leading 3 x 3 block is singular or "
          "indefinite");
}

int main() { return qtest::run_all(); }
