// Geometry helpers: the equation a sin x + b cos x + c = 0, and the
// projection of world points through a lens; AutoDiff1, every operation's
// partials against central finite differences, at the size of the
// single-image calibration (N = 20; the pan/tilt solver's N = 2 is the same code).
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "dravik/autodiff.h"
#include "dravik/geometry.h"
#include "support/log_capture.h"

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
#include <opencv2/calib3d.hpp>
#endif

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTol = 1e-5;  // the tolerance the pan-tilt solver passes
constexpr double kResidualTolerance = 1e-12;

double residual(double a, double b, double c, double x) {
  return a * std::sin(x) + b * std::cos(x) + c;
}

// No root when a and b vanish or c is out of reach; one, the tangent point,
// where |c| touches |(a, b)| = 5 or passes it by less than the tolerance. Just
// inside tangency (sin x = 0.999995) the two roots, 6e-3 rad apart, stay
// apart: a single midpoint would miss the equation by far more than kTol.
TEST(SolveAsinBcosCeqn, CountsRootsAtAndNearTangency) {
  // a, b, c, roots, the c they satisfy
  const double cases[][5] = {{0, 0, 1, 0, 0},
                             {3e-6, -3e-6, 0, 0, 0},
                             {3, 4, -5.1, 0, 0},
                             {3, 4, 5, 1, 5},
                             {3, 4, 5 * (1 + 0.5 * kTol), 1, 5},
                             {1, 0, -0.999995, 2, -0.999995}};
  for (const auto& c : cases) {
    double x[2];
    ASSERT_EQ(dravik::solveAsinBcosCeqn(c[0], c[1], c[2], x, kTol), int(c[3])) << c[2];
    for (int i = 0; i < int(c[3]); ++i)
      EXPECT_NEAR(residual(c[0], c[1], c[4], x[i]), 0, kResidualTolerance) << c[2];
    EXPECT_TRUE(c[3] != 2 || std::fabs(x[0] - x[1]) > 1e-3) << "close roots stay apart";
  }
}

// Both roots satisfy the equation and lie in (-pi, pi], nearest to zero first.
TEST(SolveAsinBcosCeqn, TwoRootsSatisfyTheEquationNearestToZeroFirst) {
  const std::vector<double> coefficients = {-3.0, -1.0, -0.2, 0.0, 0.5, 2.0};
  for (double a : coefficients) {
    for (double b : coefficients) {
      const double reach = std::hypot(a, b);
      if (reach < 0.1) continue;
      for (double fraction : {-0.99, -0.6, 0.0, 0.3, 0.95}) {
        const double c = fraction * reach;
        double x[2];
        ASSERT_EQ(dravik::solveAsinBcosCeqn(a, b, c, x, kTol), 2) << a << " " << b << " " << c;
        for (double root : x) {
          EXPECT_NEAR(residual(a, b, c, root), 0, kResidualTolerance * reach);
          EXPECT_TRUE(root > -kPi && root <= kPi) << root;
        }
        EXPECT_LE(std::fabs(x[0]), std::fabs(x[1]));
      }
    }
  }
}

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
// Coefficients in the order k1, k2, p1, p2, k3, k4, k5, k6; a short list is
// padded with zeros.
TEST(Project3dToCamera, MatchesTheRationalModelOfOpenCVToFloatRounding) {
  const Eigen::Matrix4f T = (Eigen::Translation3f(0.05f, -0.1f, 0.3f) *
                             Eigen::AngleAxisf(0.2f, Eigen::Vector3f(0.1f, 1, -0.3f).normalized()))
                                .matrix();
  dravik::CameraTransform pose;
  pose.setTransform(T, dravik::CameraTransform::kParentToChild);
  const Eigen::Matrix3f K =
      (Eigen::Matrix3f() << 612.5f, 0, 641.25f, 0, 611.75f, 479.5f, 0, 0, 1).finished();
  const std::vector<std::vector<float>> lenses = {
      {-0.21f, 0.045f, 0.0004f, -0.0003f, 0.006f, 0.12f, 0.01f, -0.002f},
      {0.061f, -0.142f, 0.0006f, 0.0002f, 0.3f, 0.02f, -0.05f, 0.1f},
  };
  // OpenCV gets the points already in the camera frame (the float pose in
  // double precision): its rotation vector would re-orthonormalise the
  // float rotation and move far points by more than a float rounding.
  const cv::Matx33d cv_K(612.5, 0, 641.25, 0, 611.75, 479.5, 0, 0, 1);
  std::vector<Eigen::Vector3f> world;
  std::vector<cv::Point3d> object;
  for (float x : {-1.5f, -0.4f, 0.0f, 0.9f})
    for (float y : {-1.0f, 0.3f, 1.2f})
      for (float z : {1.0f, 2.5f, 6.0f}) {
        world.emplace_back(x, y, z);
        const Eigen::Vector4d camera = T.cast<double>() * world.back().cast<double>().homogeneous();
        object.emplace_back(camera.x(), camera.y(), camera.z());
      }
  for (const auto& distortion : lenses) {
    const std::vector<double> coefficients(distortion.begin(), distortion.end());
    std::vector<cv::Point2d> expected;
    cv::projectPoints(object, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0), cv_K, coefficients, expected);
    for (size_t i = 0; i < object.size(); ++i) {
      const Eigen::Vector2f pixel = dravik::project3dToCamera(pose, distortion, K, world[i]);
      // One float rounding of the pixel.
      const double tolerance = 2 * std::numeric_limits<float>::epsilon() *
                               std::max({std::fabs(expected[i].x), std::fabs(expected[i].y), 1.0});
      EXPECT_NEAR(pixel.x(), expected[i].x, tolerance) << "point " << i;
      EXPECT_NEAR(pixel.y(), expected[i].y, tolerance) << "point " << i;
    }
  }
}
#endif

// A list that is not the eight coefficients is refused, not padded: no
// pixel, and a record saying why.
TEST(Project3dToCamera, RefusesADistortionThatIsNotEightCoefficients) {
  const Eigen::Matrix3f K = (Eigen::Matrix3f() << 500, 0, 320, 0, 500, 240, 0, 0, 1).finished();
  for (const std::vector<float>& distortion : {std::vector<float>{}, std::vector<float>(9, 0.0f)}) {
    dravik::testing::LogCapture log;
    const Eigen::Vector2f pixel = dravik::project3dToCamera(dravik::CameraTransform(), distortion,
                                                            K, Eigen::Vector3f(0.1f, 0, 1));
    EXPECT_TRUE(pixel.hasNaN()) << distortion.size();
    EXPECT_EQ(log.recordsUpTo(2).size(), 1u) << distortion.size();
  }
}

constexpr double kStep = 1e-6;
// Central differences of smooth functions at step 1e-6 are good to ~1e-9.
constexpr double kDerivativeTolerance = 1e-7;

// f on jets seeded as the first and the last variable against f on doubles:
// the value, both partials, and zero partials in every other slot; operators
// and functions on two jets, and with plain scalars on either side.
TEST(AutoDiff1, EveryOperationCarriesItsDerivatives) {
  constexpr int N = 20;
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
  expectDerivatives(
      [](auto a, auto b) { return (a + 2.0) * (3.0 + b) * (a - 2.0) * (3.0 - b) + a * 2.0 / b; },
      0.4, 1.9);
  expectDerivatives([](auto a, auto b) { return 3.0 * b + a / 2.0 - 3.0 / b; }, 0.4, 1.9);
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
