// The rational lens module: every evaluation form against the plain mapping,
// on the test lenses out beyond their image corners; the pinhole step and its
// inverse; the image's centre and reach; the message's coefficients.
#include "dravik/rational_lens.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "calibration_messages/calibration.pb.h"
#include "calibration_utils/lens.h"
#include "dravik/autodiff.h"
#include "support/calibration_views.h"
#include "support/undistortion_lenses.h"

namespace dravik::calibration {
namespace {

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof(a)) == 0; }

TEST(RationalLens, EveryFormAgreesWithThePlainMappingOnEveryTestLens) {
  Lens strong = testing::wideLens();
  strong.distortion = {2.1f, 0.4f, 0.0008f, -0.0006f, 0.01f, 2.4f, 0.9f, 0.05f};
  const std::pair<const char*, Lens> lenses[] = {{"navigation", testing::navigationLens()},
                                                 {"folded", testing::foldedLens()},
                                                 {"wide", testing::wideLens()},
                                                 {"wide_rational", testing::wideRationalLens()},
                                                 {"wide_rational_7", testing::wideRationalLens(7)},
                                                 {"strong", strong}};
  using Jet = autodiff::AutoDiff1<double, 2>;
  for (const auto& [name, lens] : lenses) {
    const PreparedLens prepared(lens.distortion.data(), lens.K);
    const double* d = prepared.d;
    double radial_only[kLensCoefficientCount];
    std::copy(d, d + kLensCoefficientCount, radial_only);
    radial_only[kP1] = radial_only[kP2] = 0.0;
    // K^-1 of a grid of pixels reaching a quarter of the image beyond its edges.
    for (int i = 0; i < 49; ++i) {
      const double u = lens.width * ((i % 7) / 4.0 - 0.25),
                   v = lens.height * ((i / 7) / 4.0 - 0.25);
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

      const double r2 = x * x + y * y;
      const RadialTerms<double> p = radialPolynomials(d, r2);
      double tx, ty;
      tangentialDisplacement(d, x, y, &tx, &ty);
      EXPECT_NEAR(x * p.numerator / p.denominator + tx, xd, tolerance) << at;
      EXPECT_NEAR(y * p.numerator / p.denominator + ty, yd, tolerance) << at;
      const double radial = p.numerator / p.denominator;
      EXPECT_NEAR(f.radial, radial, 1e-13 * std::abs(radial)) << at;
      const double slope = (p.numerator_slope - radial * p.denominator_slope) / p.denominator;
      EXPECT_NEAR(f.radial_slope, slope, 1e-12 * (std::abs(slope) + std::abs(radial))) << at;
      EXPECT_NEAR(f.inverse_denominator * f.denominator, 1.0, 1e-15) << at;

      // The radial mapping is xd along the x axis without tangential terms.
      const double r = std::sqrt(r2);
      double along, across;
      distortNormalized(radial_only, r, 0.0, &along, &across);
      const RadialProfile<double> profile = radialProfile<double>(radial_only, r);
      EXPECT_NEAR(profile.distorted, along, tolerance) << at;
      EXPECT_NEAR(profile.denominator, p.denominator, 1e-13 * std::abs(p.denominator)) << at;

      // AutoDiff1 passes through with the values' bits.
      Jet jet_x, jet_y;
      distortNormalized(d, Jet(x, 0), Jet(y, 1), &jet_x, &jet_y);
      EXPECT_TRUE(sameBits(jet_x.value, xd) && sameBits(jet_y.value, yd)) << at;
      EXPECT_TRUE(sameBits(radialFactor(d, Jet(r2)).radial.value, f.radial)) << at;

      // The pinhole step, then its inverse.
      double pu, pv, back_x, back_y;
      prepared.pixelOfNormalized(x, y, &pu, &pv);
      double qu, qv;
      pixelOfDistorted(prepared.fx, prepared.skew, prepared.cx, prepared.fy, prepared.cy, xd, yd,
                       &qu, &qv);
      EXPECT_TRUE(sameBits(pu, qu) && sameBits(pv, qv)) << at;
      distortedOfPixel(prepared.fx, prepared.skew, prepared.cx, prepared.fy, prepared.cy, pu, pv,
                       &back_x, &back_y);
      EXPECT_NEAR(back_x, xd, tolerance) << at;
      EXPECT_NEAR(back_y, yd, tolerance) << at;
    }
  }
}

TEST(RationalLens, ImageCentreReachAndMessageCoefficients) {
  EXPECT_EQ(imageCentre(640, 480), Eigen::Vector2d(319.5, 239.5));
  // The corner (640, 480) from (300, 200) at f = 500: (0.68, 0.56).
  EXPECT_DOUBLE_EQ(farthestCornerRadius(500, 0, 300, 500, 200, 640, 480), std::hypot(0.68, 0.56));
  EXPECT_TRUE(std::isnan(farthestCornerRadius(NAN, 0, 300, 500, 200, 640, 480)));
  EXPECT_TRUE(std::isnan(farthestCornerRadius(500, 0, 300, 0, 200, 640, 480)));

  const LensCoefficients d = {1, 2, 3, 4, 5, 6, 7, 8};  // k1 k2 p1 p2 k3 k4 k5 k6
  CameraIntrinsics message;
  message.add_k(9);
  setLensCoefficients(d, &message);
  ASSERT_EQ(message.k_size(), 6);
  ASSERT_EQ(message.p_size(), 2);
  EXPECT_EQ(std::vector<double>(message.k().begin(), message.k().end()),
            (std::vector<double>{1, 2, 5, 6, 7, 8}));
  EXPECT_EQ(message.p(0), 3);
  EXPECT_EQ(lensCoefficientsOf(message), d);
}

}  // namespace
}  // namespace dravik::calibration
