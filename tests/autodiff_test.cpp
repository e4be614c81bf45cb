// AutoDiff1: every operation's partials against central finite differences,
// for the two sizes the library uses (N = 2 in the pan/tilt solver, N = 20 in
// the single-image calibration).
#include "dravik/autodiff.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

constexpr double kStep = 1e-6;
// Central differences of smooth functions at step 1e-6 are good to ~1e-9.
constexpr double kDerivativeTolerance = 1e-7;

template <typename Size>
class AutoDiff1 : public ::testing::Test {};
using Sizes = ::testing::Types<std::integral_constant<int, 2>, std::integral_constant<int, 20>>;
TYPED_TEST_SUITE(AutoDiff1, Sizes);

// f on jets seeded as the first and the last variable against f on doubles:
// the value, both partials, and zero partials in every other slot; operators
// and functions on two jets, and with plain scalars on either side.
TYPED_TEST(AutoDiff1, EveryOperationCarriesItsDerivatives) {
  constexpr int N = TypeParam::value;
  using Jet = dravik::autodiff::AutoDiff1<double, N>;
  using std::cos, std::sin, std::sqrt;
  const auto expectDerivatives = [](auto f, double x, double y) {
    const Jet r = f(Jet(x, 0), Jet(y, N - 1));
    EXPECT_DOUBLE_EQ(r.value, f(x, y));
    const double dx = (f(x + kStep, y) - f(x - kStep, y)) / (2.0 * kStep);
    const double dy = (f(x, y + kStep) - f(x, y - kStep)) / (2.0 * kStep);
    EXPECT_NEAR(r.partial[0], dx, kDerivativeTolerance * (1.0 + std::abs(dx)));
    EXPECT_NEAR(r.partial[N - 1], dy, kDerivativeTolerance * (1.0 + std::abs(dy)));
    for (int i = 1; i < N - 1; ++i) EXPECT_EQ(r.partial[i], 0.0) << "slot " << i;
  };
  expectDerivatives([](auto a, auto b) { return -(a + b) * (a - b) / b; }, 0.7, -1.3);
  expectDerivatives([](auto a, auto b) { return (a + 2.0) * (3.0 + b); }, 0.4, 1.9);
  expectDerivatives([](auto a, auto b) { return (a - 2.0) * (3.0 - b); }, 0.4, 1.9);
  expectDerivatives([](auto a, auto b) { return (a * 2.0) + (3.0 * b); }, 0.4, 1.9);
  expectDerivatives([](auto a, auto b) { return (a / 2.0) + (3.0 / b); }, 0.4, 1.9);
  expectDerivatives(
      [](auto a, auto b) {
        auto r = a;
        r += b, r *= a, r -= b, r /= b;
        return r;
      },
      1.1, 0.6);
  expectDerivatives([](auto a, auto b) { return sin(a * b) + cos(a - b); }, 0.8, -0.5);
  expectDerivatives([](auto a, auto b) { return sqrt(a * a + b * b); }, 0.8, -0.5);
}

}  // namespace
