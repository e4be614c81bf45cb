// AutoDiff1: every operation's partials against central finite differences,
// for the two sizes the library uses (N = 2 in the pan/tilt solver, N = 20 in
// the single-image calibration).
#include "dravik/autodiff.h"

#include <cmath>

#include <gtest/gtest.h>

namespace {

using dravik::autodiff::AutoDiff1;

constexpr double kStep = 1e-6;
// Central differences of smooth functions at step 1e-6 are good to ~1e-9.
constexpr double kDerivativeTolerance = 1e-7;

template <typename Size>
class AutoDiffTest : public ::testing::Test {
 protected:
  static constexpr int N = Size::value;
  using Jet = AutoDiff1<double, N>;
  // The two variables sit in the first and the last partial slot.
  static constexpr int kFirst = 0;
  static constexpr int kLast = N - 1;

  // f(x, y) on jets seeded as variables kFirst and kLast against f on
  // doubles: the value, both partials by central differences, and zero
  // partials in every other slot.
  template <typename F>
  void expectDerivatives(F f, double x, double y) {
    const Jet r = f(Jet(x, kFirst), Jet(y, kLast));
    EXPECT_DOUBLE_EQ(r.value, f(x, y));
    const double dx = (f(x + kStep, y) - f(x - kStep, y)) / (2.0 * kStep);
    const double dy = (f(x, y + kStep) - f(x, y - kStep)) / (2.0 * kStep);
    EXPECT_NEAR(r.partial[kFirst], dx, kDerivativeTolerance * (1.0 + std::abs(dx)));
    EXPECT_NEAR(r.partial[kLast], dy, kDerivativeTolerance * (1.0 + std::abs(dy)));
    for (int i = 1; i < N - 1; ++i) EXPECT_EQ(r.partial[i], 0.0) << "slot " << i;
  }
};

using Sizes = ::testing::Types<std::integral_constant<int, 2>, std::integral_constant<int, 20>>;
TYPED_TEST_SUITE(AutoDiffTest, Sizes);

TYPED_TEST(AutoDiffTest, ConstantsCarryNoPartialsAndVariablesOne) {
  using Jet = typename TestFixture::Jet;
  const Jet zero, constant(2.5), variable(2.5, TestFixture::kLast);
  const Jet outside(1.0, TestFixture::N);  // an index outside the slots makes a constant
  EXPECT_EQ(zero.value, 0.0);
  EXPECT_EQ(constant.value, 2.5);
  for (int i = 0; i < TestFixture::N; ++i) {
    EXPECT_EQ(zero.partial[i] + constant.partial[i] + outside.partial[i], 0.0);
    EXPECT_EQ(variable.partial[i], i == TestFixture::kLast ? 1.0 : 0.0);
  }
}

// Every operator and function on two jets, and with plain scalars on either
// side. (The chains the library builds are checked where they are built: the
// lens Jacobian and the calibration's partials.)
TYPED_TEST(AutoDiffTest, EveryOperationCarriesItsDerivatives) {
  using std::cos;
  using std::sin;
  using std::sqrt;
  this->expectDerivatives([](auto a, auto b) { return -(a + b) * (a - b) / b; }, 0.7, -1.3);
  this->expectDerivatives([](auto a, auto b) { return (a + 2.0) * (3.0 + b); }, 0.4, 1.9);
  this->expectDerivatives([](auto a, auto b) { return (a - 2.0) * (3.0 - b); }, 0.4, 1.9);
  this->expectDerivatives([](auto a, auto b) { return (a * 2.0) + (3.0 * b); }, 0.4, 1.9);
  this->expectDerivatives([](auto a, auto b) { return (a / 2.0) + (3.0 / b); }, 0.4, 1.9);
  this->expectDerivatives(
      [](auto a, auto b) {
        auto r = a;
        r += b;
        r *= a;
        r -= b;
        r /= b;
        return r;
      },
      1.1, 0.6);
  this->expectDerivatives([](auto a, auto b) { return sin(a * b) + cos(a - b); }, 0.8, -0.5);
  this->expectDerivatives([](auto a, auto b) { return sqrt(a * a + b * b); }, 0.8, -0.5);
}

TYPED_TEST(AutoDiffTest, SqrtAtZeroHasAnInfiniteDerivative) {
  using Jet = typename TestFixture::Jet;
  const Jet r = sqrt(Jet(0.0, TestFixture::kFirst));
  EXPECT_EQ(r.value, 0.0);
  EXPECT_TRUE(std::isinf(r.partial[TestFixture::kFirst]));
}

TYPED_TEST(AutoDiffTest, ComparisonsLookAtValuesOnly) {
  using Jet = typename TestFixture::Jet;
  const Jet a(1.0, TestFixture::kFirst), b(2.0, TestFixture::kLast);
  EXPECT_TRUE(a < b && b > a && a <= Jet(1.0) && a >= Jet(1.0));
  EXPECT_TRUE(a < 1.5 && 1.5 > a && b >= 2.0 && 2.0 <= b);
  EXPECT_FALSE(a > 1.0 || 0.5 >= a);
}

}  // namespace
