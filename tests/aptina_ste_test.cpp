// The head camera's sensor transform: a radial remap about the full frame's
// centre by a displacement table, then a scale.
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "calibration_utils/image_sensor_transform.h"
#include "support/head_sensor_tables.h"

namespace {

using dravik::calibration::AptinaSTE;
using namespace dravik::testing;

constexpr double kScale = 0.9f;           // the float nearest 0.9, as the transform holds it
constexpr double kPixelTolerance = 2e-4;  // float pixels near 1000 round by about 1e-4

// Table radii map to their scaled displaced radii, and the frame's corners
// stay in.
TEST(AptinaSTE, MapsTableRadiiToTheScaledDisplacedRadiiInsideTheFrame) {
  const AptinaSTE ste = headSensorTransform();
  ASSERT_TRUE(ste.valid());
  const std::vector<float> radii = headSensorRadii(), displacements = headSensorDisplacements();
  for (size_t i = 0; i < radii.size(); ++i)
    EXPECT_NEAR(ste.mapRadius(radii[i]), kScale * (double(radii[i]) + displacements[i]), 1e-9);
  for (const Eigen::Vector2f& p : {Eigen::Vector2f(0, 0), Eigen::Vector2f(1280, 960),
                                   Eigen::Vector2f(1280, 0), Eigen::Vector2f(100, 700)}) {
    const Eigen::Vector2f mapped = ste.transformPoint(p);
    EXPECT_TRUE(mapped.x() > 0 && mapped.x() < 1280 && mapped.y() > 0 && mapped.y() < 960)
        << p.transpose();
  }
}

// Strictly increasing, with slopes never below the scale; between two samples
// the displacement stays between their values (no overshoot).
TEST(AptinaSTE, RadialMappingIsAMonotoneCubicOfTheSamples) {
  const AptinaSTE ste = headSensorTransform();
  const std::vector<float> b = headSensorDisplacements();
  constexpr double kStep = 1e-4;
  for (double r = 0.05; r <= 1200.0; r += 0.05)
    EXPECT_GT(ste.mapRadius(r), ste.mapRadius(r - 0.05)) << r;
  for (int i = 0; i + 1 < 100; ++i) {
    const double knot = 10.0 * (i + 1);
    const double left = (ste.mapRadius(knot) - ste.mapRadius(knot - kStep)) / kStep;
    EXPECT_GE(left, kScale);
    for (double t = 0.1; t < 1.0; t += 0.2) {
      const double between = ste.displacement(10.0 * (i + t));
      EXPECT_TRUE(between >= b[i] - 1e-9 && between <= b[i + 1] + 1e-9) << 10.0 * (i + t);
    }
  }
}

// Too short, unequal, unordered or non-finite tables: the plain scale 0.9
// about (640, 480).
TEST(AptinaSTE, TablesThatDescribeNoDisplacementLeaveAPlainScale) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<std::vector<float>> radii = {{0, 10}, {0}, {0, 20, 10}, {0, nan}, {0, 10}};
  const std::vector<std::vector<float>> displacements = {
      {0, 1, 2}, {0}, {0, 1, 2}, {0, 1}, {0, nan}};
  for (size_t i = 0; i < radii.size(); ++i) {
    const AptinaSTE ste(640, 480, 0.9f, radii[i], displacements[i]);
    EXPECT_FALSE(ste.valid()) << i;
    EXPECT_LT((ste.transformPoint({1040, 780}) - Eigen::Vector2f(1000, 750)).norm(),
              kPixelTolerance)
        << i;
  }
}

}  // namespace
