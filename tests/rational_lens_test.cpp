// The rational lens module: every evaluation form against the plain mapping,
// and the hand-written Jacobians against forward-mode automatic
// differentiation of it, column by column, on the test lenses out beyond
// their image corners; the image's centre and reach.
#include "dravik/rational_lens.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <utility>

#include "calibration_utils/lens.h"
#include "dravik/autodiff.h"
#include "support/calibration_views.h"
#include "support/undistortion_lenses.h"

namespace dravik::calibration {
namespace {

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof(a)) == 0; }

// The point (2) then the coefficients (8).
using Jet = autodiff::AutoDiff1<double, 2 + kLensCoefficientCount>;

// Each column of a hand-written Jacobian against the automatic one, relative
// to the column's size.
void expectColumns(const double* hand, const Jet& automatic, int first, int count,
                   const std::string& at) {
  for (int c = 0; c < count; ++c) {
    const double expected = automatic.partial(first + c);
    EXPECT_LE(std::abs(hand[c] - expected), 1e-10 * std::abs(expected) + 1e-300) << at << ", " << c;
  }
}

TEST(RationalLens, EveryFormAgreesWithThePlainMappingAndItsDerivatives) {
  const Lens wide = testing::wideLens();
  const Lens strong = testing::makeLens(wide.width(), wide.height(), wide.K(),
                                        {2.1f, 0.4f, 0.0008f, -0.0006f, 0.01f, 2.4f, 0.9f, 0.05f});
  const std::pair<const char*, Lens> lenses[] = {{"navigation", testing::navigationLens()},
                                                 {"folded", testing::foldedLens()},
                                                 {"wide", testing::wideLens()},
                                                 {"wide_rational", testing::wideRationalLens()},
                                                 {"wide_rational_7", testing::wideRationalLens(7)},
                                                 {"strong", strong}};
  for (const auto& [name, lens] : lenses) {
    const PreparedLens prepared(lens.distortion().data(), lens.K());
    const double* d = prepared.d;
    Jet jet_d[kLensCoefficientCount];
    for (int i = 0; i < kLensCoefficientCount; ++i) jet_d[i] = Jet(d[i], 2 + i);
    double radial_only[kLensCoefficientCount];
    std::copy(d, d + kLensCoefficientCount, radial_only);
    radial_only[kP1] = radial_only[kP2] = 0.0;
    // K^-1 of a grid of pixels reaching a quarter of the image beyond its edges.
    for (int i = 0; i < 49; ++i) {
      const double u = lens.width() * ((i % 7) / 4.0 - 0.25),
                   v = lens.height() * ((i / 7) / 4.0 - 0.25);
      double x, y;
      prepared.distortedOfPixel(u, v, &x, &y);
      const std::string at =
          std::string(name) + " at " + std::to_string(u) + ", " + std::to_string(v);
      double xd, yd;
      distortNormalized(d, x, y, &xd, &yd);
      const double tolerance = 1e-13 * (1.0 + std::hypot(xd, yd));

      double jx, jy, jxx, jxy, jyy;
      RadialTerms<double> f;
      distortNormalizedWithJacobian(d, x, y, &jx, &jy, &jxx, &jxy, &jyy, &f);
      EXPECT_NEAR(jx, xd, tolerance) << at;
      EXPECT_NEAR(jy, yd, tolerance) << at;
      Jet jet_x, jet_y;
      distortNormalized(jet_d, Jet(x, 0), Jet(y, 1), &jet_x, &jet_y);
      EXPECT_TRUE(sameBits(jet_x.value, xd) && sameBits(jet_y.value, yd)) << at;
      const double jacobian_x[2] = {jxx, jxy}, jacobian_y[2] = {jxy, jyy};
      expectColumns(jacobian_x, jet_x, 0, 2, at);
      expectColumns(jacobian_y, jet_y, 0, 2, at);
      double dxd[8], dyd[8];
      distortionCoefficientJacobian(x, y, f, dxd, dyd);
      expectColumns(dxd, jet_x, 2, 8, at);
      expectColumns(dyd, jet_y, 2, 8, at);

      const double r2 = x * x + y * y;
      const RadialTerms<double> p = radialPolynomials(d, r2);
      double tx, ty;
      tangentialDisplacement(d, x, y, &tx, &ty);
      EXPECT_NEAR(x * p.numerator / p.denominator + tx, xd, tolerance) << at;
      EXPECT_NEAR(y * p.numerator / p.denominator + ty, yd, tolerance) << at;
      const double radial = p.numerator / p.denominator;
      const double slope = (p.numerator_slope - radial * p.denominator_slope) / p.denominator;
      EXPECT_NEAR(f.radial, radial, 1e-13 * std::abs(radial)) << at;
      EXPECT_NEAR(f.radial_slope, slope, 1e-12 * (std::abs(slope) + std::abs(radial))) << at;

      // The radial mapping is xd along the x axis without tangential terms.
      const double r = std::sqrt(r2);
      double along, across;
      distortNormalized(radial_only, r, 0.0, &along, &across);
      const RadialProfile<double> profile = radialProfile<double>(radial_only, r);
      EXPECT_NEAR(profile.distorted, along, tolerance) << at;
      EXPECT_NEAR(profile.denominator, p.denominator, 1e-13 * std::abs(p.denominator)) << at;

      Jet jet_along, jet_across;
      distortNormalized(radial_only, Jet(r, 0), Jet(0.0), &jet_along, &jet_across);
      EXPECT_NEAR(profile.slope, jet_along.partial(0), 1e-10 * std::abs(jet_along.partial(0)))
          << at;
      EXPECT_TRUE(sameBits(radialFactor(d, Jet(r2)).radial.value, f.radial)) << at;
    }
  }
}

// Pixel centres at integers; a corner without a radius makes none (the
// reach of a skewed lens: lens_test.cpp).
TEST(RationalLens, ImageCentreAndAReachWithoutANumber) {
  EXPECT_EQ(imageCentre(640, 480), Eigen::Vector2d(319.5, 239.5));
  EXPECT_TRUE(std::isnan(farthestCornerRadius(NAN, 0, 300, 500, 200, 640, 480)));
  EXPECT_TRUE(std::isnan(farthestCornerRadius(500, 0, 300, 0, 200, 640, 480)));
}

}  // namespace
}  // namespace dravik::calibration
