// The sound region of a rational lens: its edge found exactly, by kind.
#include "calibration_utils/lens_soundness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "calibration_utils/lens.h"
#include "support/calibration_views.h"
#include "support/every_pixel.h"

namespace dravik {
namespace calibration {
namespace {

using Edge = SoundRegion::Edge;

// The edge is a root refined to double precision; the closed forms below are
// computed from float coefficients.
constexpr double kRadiusTolerance = 1e-7;
constexpr double kFar = kLargestSoundRadius;
constexpr double kFloor = kDenominatorFloor;

// D(r) and r R(r) of the radial part, by the model's own evaluation.
double denominatorAt(const LensCoefficients& k, double r) {
  return radialProfile<double>(k.data(), r).denominator;
}
double distortedRadius(const LensCoefficients& k, double r) {
  return radialProfile<double>(k.data(), r).distorted;
}

TEST(LensSoundness, EdgesOfKnownLensesAreFoundByKindAndPlace) {
  const struct {
    std::string name;
    LensCoefficients distortion;
    Edge edge;
    double radius, distorted_radius, denominator;
  } cases[] = {
      {"pinhole", {0, 0, 0, 0, 0, 0, 0, 0}, Edge::kNone, kFar, kFar, 1.0},
      // r / (1 + r^2) peaks at r = 1.
      {"denominator alone folds", {0, 0, 0, 0, 0, 1, 0, 0}, Edge::kFold, 1.0, 0.5, 2.0},
      {"tangential terms ignored", {0, 0, 0.5f, -0.5f, 0, 0, 0, 0}, Edge::kNone, kFar, kFar, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const SoundRegion region = findSoundRegion(c.distortion);
    EXPECT_EQ(region.edge, c.edge);
    EXPECT_NEAR(region.radius, c.radius, kRadiusTolerance);
    EXPECT_NEAR(region.distorted_radius, c.distorted_radius, kRadiusTolerance);
    EXPECT_NEAR(region.denominator, c.denominator, kRadiusTolerance);
  }
}

TEST(LensSoundness, NonFiniteCoefficientsLeaveNoSoundRegion) {
  const SoundRegion region = findSoundRegion({0, 0, 0, 0, 0, 0, INFINITY, 0});
  EXPECT_EQ(region.edge, Edge::kPole);
  EXPECT_EQ(region.radius, 0.0);
  EXPECT_TRUE(std::isnan(region.denominator));
}

// Over random lenses: inside the region r R(r) rises and D stays above the
// floor, sampled finely; just past a fold it falls, just past a pole D is
// below the floor. The exact edge must agree with every sample, narrow folds
// included.
TEST(LensSoundness, RandomLensesAreSoundUpToTheirEdgeAndNotBeyond) {
  std::mt19937 random(15);
  std::uniform_real_distribution<float> coefficient(-1.0f, 1.0f);
  int folds = 0, poles = 0;
  for (int trial = 0; trial < 300; ++trial) {
    LensCoefficients k{};
    for (const int i : kRadialCoefficients) k[i] = coefficient(random) * (i < kK4 ? 1.0f : 0.5f);
    const SoundRegion region = findSoundRegion(k);
    SCOPED_TRACE(trial);
    ASSERT_GT(region.radius, 0.0);
    double previous = 0.0;
    for (int j = 1; j <= 2000; ++j) {
      const double r = region.radius * (1.0 - 1e-6) * j / 2000;
      ASSERT_GT(distortedRadius(k, r), previous) << "r " << r;
      ASSERT_GE(denominatorAt(k, r), kFloor) << "r " << r;
      previous = distortedRadius(k, r);
    }
    EXPECT_NEAR(region.distorted_radius, distortedRadius(k, region.radius),
                1e-12 * std::max(1.0, region.distorted_radius));
    const double beyond = region.radius * (1.0 + 1e-6);
    if (region.edge == Edge::kFold) {
      ++folds;
      EXPECT_LT(distortedRadius(k, beyond), region.distorted_radius);
    } else if (region.edge == Edge::kPole) {
      ++poles;
      EXPECT_NEAR(region.denominator, kFloor, 1e-12);
      EXPECT_LT(denominatorAt(k, beyond), kFloor);
    }
  }
  // The random lenses reach both kinds of edge.
  EXPECT_GT(folds, 20);
  EXPECT_GT(poles, 20);
}

// Sound means every pixel has its ray: on every lens called sound over its
// image, every pixel of it converges. Random lenses with tangential terms,
// their farthest corner drawn within 10 % of their sound edge (a tenth of
// them within 0.1 %, where the radial mapping runs flat towards a fold or
// steep towards a pole), on a small image; the wide rational lenses of the
// fit's tests at full size (one of them, seed 14, runs nearly flat across a
// band inside its image, where Newton's method alone stalls).
TEST(LensSoundness, EveryPixelOfALensSoundOverItsImageConverges) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  int sound = 0, refused = 0;
  for (int trial = 0; trial < 300; ++trial) {
    LensCoefficients k{};
    for (const int i : kRadialCoefficients) {
      k[i] = float((2 * unit(random) - 1) * (i < kK4 ? 1 : 0.5));
    }
    for (const int i : kTangentialCoefficients) k[i] = float((2 * unit(random) - 1) * 0.002);
    const double reach =
        unit(random) < 0.1 ? 0.999 + 0.001 * unit(random) : 0.9 + 0.1 * unit(random);
    const double corner = reach * findSoundRegion(k).distorted_radius;
    // A focal length under a pixel is no camera.
    if (!(corner > 0.05 && corner < 50.0)) continue;
    const float f = float(std::hypot(40.0, 30.0) / corner);
    const Lens lens =
        testing::makeLens(80, 60, (Eigen::Matrix3f() << f, 0, 40, 0, f, 30, 0, 0, 1).finished(), k);
    SCOPED_TRACE(trial);
    if (!lens.isSoundOverImage()) {
      ++refused;
      continue;
    }
    ++sound;
    ASSERT_EQ(testing::unconvergedPixels(lens), 0);
  }
  EXPECT_GT(sound, 150);
  EXPECT_GT(refused, 20);  // near the edge, the tangential terms can fold the image
  for (const unsigned seed : {0u, 1u, 2u, 3u, 14u}) {
    const Lens lens = testing::wideRationalLens(seed);
    EXPECT_EQ(testing::unconvergedPixels(lens), 0) << "seed " << seed;
  }
}

}  // namespace
}  // namespace calibration
}  // namespace dravik
