// Undistortion of pixels: Newton's method on the rational lens model.
#include "calibration_utils/rectify.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "calibration_utils/lens.h"
#include "calibration_utils/lens_jacobian.h"
#include "dravik/geometry.h"

namespace dravik {
namespace calibration {
namespace {

// The double floor, with room for the lens's conditioning.
constexpr double kResidualFloor = 1e-13;
constexpr double kRootFloor = 1e-12;
constexpr double kFloatTolerance = 1e-6;  // results rounded to float

struct LensCase {
  std::string name;
  float d[8];  // k1, k2, p1, p2, k3, k4, k5, k6
  float principal_point[2];
  float focal_length[2];
};

// Invertible over their whole 1280 x 960 image.
const std::vector<LensCase> kLenses = {
    {"wide", {2.1f, 0.4f, 0.0008f, -0.0006f, 0.01f, 2.4f, 0.9f, 0.05f}, {640, 480}, {700, 700}},
    {"barrel",
     {-0.28f, 0.09f, 0.0008f, -0.0006f, -0.012f, 0.05f, 0.02f, 0},
     {652, 471},
     {1000, 1002}},
    {"pincushion", {0.25f, 0.05f, 0.001f, 0.001f, 0, 0, 0, 0}, {640, 480}, {600, 600}},
};
// r (1 - 0.4 r^2) peaks at r = 0.913 (distorted radius 0.609): pixels
// farther than 365 px from the centre have no viewing direction.
const LensCase kFoldingLens = {"folding", {-0.4f, 0, 0, 0, 0, 0, 0, 0}, {640, 480}, {600, 600}};
// One to one over the image, but its series reversion diverges at the
// corners (Q about 7 there): the start must not be taken from it.
const LensCase kDivergingSeriesLens = {
    "diverging series", {-0.47f, 0.004f, 0.015f, 0.002f, 0.21f, 0, 0, 0}, {640, 480}, {700, 700}};

RectifiedPoint rectified(const LensCase& lens, const Eigen::Vector2f& pixel) {
  return rectifyPointWithStatus(lens.d, lens.principal_point, lens.focal_length, pixel);
}

// Calls visit(u, v) over the 1280 x 960 image, `step` pixels apart.
template <typename Visit>
void forEachPixel(float step, Visit visit) {
  for (float v = 0; v <= 960; v += step) {
    for (float u = 0; u <= 1280; u += step) visit(u, v);
  }
}

TEST(RectifyPoint, BeyondTheFoldReportsNoConvergenceAndStopsAtTheFold) {
  const RectifiedPoint r = rectified(kFoldingLens, Eigen::Vector2f(640 + 480, 480));
  EXPECT_FALSE(r.converged);
  EXPECT_NEAR(r.point.x(), 1.0 / std::sqrt(1.2), 1e-3);  // the peak of the mapping
  EXPECT_NEAR(r.point.y(), 0.0, 1e-9);
  EXPECT_TRUE(rectified(kFoldingLens, Eigen::Vector2f(640 + 300, 480)).converged);
}

// The root of D(x, y) = t by plain Newton updates in long double, from the
// former start (one Newton step from t): a solver that shares nothing with
// the series start.
Eigen::Vector2d independentRoot(const LensCase& lens, long double tx, long double ty) {
  long double x = tx, y = ty;
  for (int i = 0; i < 40; ++i) {
    long double xd, yd, a, b, c;
    distortNormalizedWithJacobian(lens.d, x, y, &xd, &yd, &a, &b, &c);
    const long double ex = xd - tx, ey = yd - ty, det = a * c - b * b;
    x -= (c * ex - b * ey) / det;
    y -= (a * ey - b * ex) / det;
  }
  return Eigen::Vector2d(double(x), double(y));
}

// Over the image of each lens (inside the fold of the folding one) the
// iteration converges in a few steps to the double floor, in |D(x, y) - t|
// and in distance from the root found independently: the series start never
// changes where it ends.
TEST(RectifyPoint, ConvergesToTheRootAtTheDoublePrecisionFloorOverTheImage) {
  std::vector<std::pair<LensCase, int>> lenses;  // with the most iterations each may take
  for (const LensCase& lens : kLenses) lenses.emplace_back(lens, 6);
  lenses.emplace_back(kFoldingLens, 8);
  lenses.emplace_back(kDivergingSeriesLens, 8);
  for (const auto& [lens, most_iterations] : lenses) {
    long double d[8];
    std::copy(lens.d, lens.d + 8, d);
    forEachPixel(16, [&, &lens = lens, most_iterations = most_iterations](float u, float v) {
      const RectifiedPoint r = rectified(lens, Eigen::Vector2f(u, v));
      SCOPED_TRACE(lens.name + " at " + std::to_string(u) + ", " + std::to_string(v));
      if (!r.converged) {
        ASSERT_EQ(lens.name, kFoldingLens.name);  // only beyond the fold
        return;
      }
      EXPECT_LE(r.iterations, most_iterations);
      const long double tx = (u - lens.principal_point[0]) / (long double)lens.focal_length[0],
                        ty = (v - lens.principal_point[1]) / (long double)lens.focal_length[1];
      long double xd, yd;
      distortNormalized(d, (long double)r.point.x(), (long double)r.point.y(), &xd, &yd);
      EXPECT_LT(std::hypot(xd - tx, yd - ty), kResidualFloor);
      EXPECT_LT((r.point - independentRoot(lens, tx, ty)).norm(), kRootFloor);
    });
  }
}

// The batch's fixed path must not claim pixels beyond the fold (where plain
// Newton finds a root on the far side), and may write over its input.
TEST(RectifyPoints, BatchAgreesWithSinglePixelsInPlace) {
  for (const LensCase& lens : {kLenses[0], kFoldingLens}) {
    std::vector<float> u, v;
    forEachPixel(23, [&](float x, float y) { u.push_back(x), v.push_back(y); });
    const std::vector<float> u_in = u, v_in = v;
    const int failures = rectifyPoints(lens.d, lens.principal_point, lens.focal_length, u.data(),
                                       v.data(), int(u.size()), u.data(), v.data());
    int single_failures = 0;
    for (size_t i = 0; i < u.size(); ++i) {
      const RectifiedPoint r = rectified(lens, Eigen::Vector2f(u_in[i], v_in[i]));
      single_failures += r.converged ? 0 : 1;
      EXPECT_NEAR(u[i], r.point.x(), kFloatTolerance) << lens.name;
      EXPECT_NEAR(v[i], r.point.y(), kFloatTolerance) << lens.name;
    }
    EXPECT_EQ(failures, single_failures) << lens.name;
    EXPECT_EQ(failures > 0, lens.name == kFoldingLens.name) << lens.name;
  }
}

}  // namespace
}  // namespace calibration
}  // namespace dravik
