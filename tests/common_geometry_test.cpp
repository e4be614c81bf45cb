// Geometry helpers: rotations about z, the equation a sin x + b cos x + c = 0,
// and the projection of world points through a lens.
#include <cmath>
#include <limits>
#include <vector>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include "dravik/geometry.h"

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
#include <opencv2/calib3d.hpp>
#endif

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTol = 1e-5;  // the tolerance the pan-tilt solver passes
constexpr double kResidualTolerance = 1e-12;
constexpr float kRoundingTolerance = 1e-6f;

TEST(RotationZ, TurnsXTowardsYAndAnglesAdd) {
  const Eigen::Vector4f y = dravik::rotationZTransf(float(kPi / 2)) * Eigen::Vector4f(1, 0, 0, 1);
  EXPECT_TRUE(y.isApprox(Eigen::Vector4f(0, 1, 0, 1), kRoundingTolerance));
  EXPECT_TRUE((dravik::rotationZTransf(-2.5f) * dravik::rotationZTransf(0.7f))
                  .isApprox(dravik::rotationZTransf(-1.8f), kRoundingTolerance));
  EXPECT_TRUE(dravik::rotationZTransf(-1.1f).isApprox(dravik::rotationZTransf(1.1f).transpose(),
                                                     kRoundingTolerance));
}

double residual(double a, double b, double c, double x) {
  return a * std::sin(x) + b * std::cos(x) + c;
}

TEST(SolveAsinBcosC, NoRootWhenAAndBVanishOrCIsOutOfReach) {
  const double cases[][3] = {{0, 0, 1}, {0, 0, 0}, {3e-6, -3e-6, 0}, {1, 0, 1.5}, {3, 4, -5.1}};
  for (const auto& c : cases) {
    double x[2];
    EXPECT_EQ(dravik::solveAsinBcosCeqn(c[0], c[1], c[2], x, kTol), 0) << c[0] << " " << c[1];
  }
}

TEST(SolveAsinBcosC, OneRootAtTangency) {
  double x[2];
  ASSERT_EQ(dravik::solveAsinBcosCeqn(1, 0, -1, x, kTol), 1);
  EXPECT_NEAR(x[0], kPi / 2, 1e-12);
  // |c| equal to |(a, b)| = 5, or beyond it by less than tol.
  for (double c : {5.0, 5.0 * (1 + 0.5 * kTol)}) {
    ASSERT_EQ(dravik::solveAsinBcosCeqn(3, 4, c, x, kTol), 1) << c;
    EXPECT_NEAR(residual(3, 4, 5, x[0]), 0, 1e-12) << "the touching point";
  }
}

TEST(SolveAsinBcosC, CloseRootsJustInsideTangencyStayApart) {
  // sin x = 0.999995: two exact roots about 6e-3 rad apart, where a single
  // midpoint would miss the equation by far more than the tolerance.
  double x[2];
  ASSERT_EQ(dravik::solveAsinBcosCeqn(1, 0, -0.999995, x, kTol), 2);
  EXPECT_NEAR(std::sin(x[0]), 0.999995, 1e-12);
  EXPECT_NEAR(std::sin(x[1]), 0.999995, 1e-12);
  EXPECT_GT(std::fabs(x[0] - x[1]), 1e-3);
}

// Both roots satisfy the equation, lie in (-pi, pi], nearest to zero first,
// and do not move when the whole equation is scaled.
TEST(SolveAsinBcosC, TwoRootsSatisfyTheEquationNearestToZeroFirst) {
  const std::vector<double> coefficients = {-3.0, -1.0, -0.2, 0.0, 0.5, 2.0};
  for (double a : coefficients) {
    for (double b : coefficients) {
      const double reach = std::hypot(a, b);
      if (reach < 0.1) continue;
      for (double fraction : {-0.99, -0.6, 0.0, 0.3, 0.95}) {
        const double c = fraction * reach;
        double x[2], scaled[2];
        ASSERT_EQ(dravik::solveAsinBcosCeqn(a, b, c, x, kTol), 2) << a << " " << b << " " << c;
        for (double root : x) {
          EXPECT_NEAR(residual(a, b, c, root), 0, kResidualTolerance * reach);
          EXPECT_GT(root, -kPi);
          EXPECT_LE(root, kPi);
        }
        EXPECT_LE(std::fabs(x[0]), std::fabs(x[1]));
        EXPECT_GT(std::fabs(x[0] - x[1]), 1e-3);
        for (double scale : {1e-3, 1e3}) {
          ASSERT_EQ(dravik::solveAsinBcosCeqn(a * scale, b * scale, c * scale, scaled, kTol), 2);
          EXPECT_NEAR(scaled[0], x[0], 1e-12) << scale;
          EXPECT_NEAR(scaled[1], x[1], 1e-12) << scale;
        }
      }
    }
  }
}

struct Lens {
  dravik::CameraTransform pose;
  Eigen::Matrix3f K;
};

Lens sampleLens() {
  Lens lens;
  Eigen::Matrix4f T = Eigen::Matrix4f::Identity();
  T.block<3, 3>(0, 0) =
      Eigen::AngleAxisf(0.2f, Eigen::Vector3f(0.1f, 1.0f, -0.3f).normalized()).toRotationMatrix();
  T.block<3, 1>(0, 3) = Eigen::Vector3f(0.05f, -0.1f, 0.3f);
  lens.pose.setTransform(T, dravik::CameraTransform::kParentToChild);
  lens.K << 612.5f, 1.5f, 641.25f,  // with skew
            0.0f, 611.75f, 479.5f,
            0.0f, 0.0f, 1.0f;
  return lens;
}

// World points in front of the sample camera, off axis as far as a wide lens sees.
std::vector<Eigen::Vector3f> samplePoints() {
  std::vector<Eigen::Vector3f> points;
  for (float x : {-1.5f, -0.4f, 0.0f, 0.9f})
    for (float y : {-1.0f, 0.3f, 1.2f})
      for (float z : {1.0f, 2.5f, 6.0f}) points.emplace_back(x, y, z);
  return points;
}

// Without distortion the pinhole with skew; missing trailing coefficients
// count as zero and a ninth one is ignored.
TEST(Project3dToCamera, ShortCoefficientListsArePaddedWithZeros) {
  const Lens lens = sampleLens();
  const std::vector<float> short_list = {-0.2f, 0.05f, 0.001f};
  const std::vector<float> padded = {-0.2f, 0.05f, 0.001f, 0, 0, 0, 0, 0, 0.7f};
  for (const auto& point : samplePoints()) {
    const Eigen::Vector3f camera = (lens.pose.getTransform() * point.homogeneous()).head<3>();
    const Eigen::Vector3f pixel = lens.K * (camera / camera.z());
    const Eigen::Vector2f projected = dravik::project3dToCamera(lens.pose, {}, lens.K, point);
    EXPECT_TRUE(projected.isApprox(pixel.head<2>(), 1e-5f)) << point.transpose();
    EXPECT_EQ(dravik::project3dToCamera(lens.pose, short_list, lens.K, point),
              dravik::project3dToCamera(lens.pose, padded, lens.K, point));
  }
}

TEST(Project3dToCamera, TangentialCoefficientsFollowK1K2P1P2Order) {
  // On the x axis of the image (y = 0), p1 moves the point along y only and
  // p2 along x only: x'' = x + p2 (3 x^2), y'' = p1 x^2.
  const dravik::CameraTransform identity;
  const Eigen::Matrix3f K = Eigen::Matrix3f::Identity();
  const Eigen::Vector3f point(0.5f, 0.0f, 1.0f);
  EXPECT_TRUE(dravik::project3dToCamera(identity, {0, 0, 0.1f, 0}, K, point)
                  .isApprox(Eigen::Vector2f(0.5f, 0.1f * 0.25f), kRoundingTolerance));
  EXPECT_TRUE(dravik::project3dToCamera(identity, {0, 0, 0, 0.1f}, K, point)
                  .isApprox(Eigen::Vector2f(0.5f + 0.1f * 3 * 0.25f, 0.0f), kRoundingTolerance));
}

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
TEST(Project3dToCamera, MatchesTheRationalModelOfOpenCVToFloatRounding) {
  Lens lens = sampleLens();
  lens.K(0, 1) = 0.0f;
  const std::vector<std::vector<float>> lenses = {
      {-0.21f, 0.045f, 0.0004f, -0.0003f, 0.006f, 0.12f, 0.01f, -0.002f},
      {0.061f, -0.142f, 0.0006f, 0.0002f, 0.3f, 0.02f, -0.05f, 0.1f},
      {-0.4f, 0.2f, -0.01f, 0.008f, -0.05f, -0.3f, 0.1f, 0.02f},
  };
  // OpenCV gets the points already in the camera frame (the float pose applied
  // in double precision), because its rotation vector would re-orthonormalise
  // the float rotation and move far points by more than a float rounding.
  const Eigen::Matrix4d T = lens.pose.getTransform().cast<double>();
  cv::Matx33d K;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) K(r, c) = lens.K(r, c);
  std::vector<cv::Point3d> object;
  for (const auto& p : samplePoints()) {
    const Eigen::Vector4d camera = T * p.cast<double>().homogeneous();
    object.emplace_back(camera.x(), camera.y(), camera.z());
  }
  for (const auto& distortion : lenses) {
    std::vector<cv::Point2d> expected;
    cv::projectPoints(object, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0), K,
                      std::vector<double>(distortion.begin(), distortion.end()), expected);
    for (size_t i = 0; i < object.size(); ++i) {
      const Eigen::Vector2f pixel =
          dravik::project3dToCamera(lens.pose, distortion, lens.K, samplePoints()[i]);
      // One float rounding of the pixel.
      const double tolerance = 2 * std::numeric_limits<float>::epsilon() *
                               std::max({std::fabs(expected[i].x), std::fabs(expected[i].y), 1.0});
      EXPECT_NEAR(pixel.x(), expected[i].x, tolerance) << "point " << i;
      EXPECT_NEAR(pixel.y(), expected[i].y, tolerance) << "point " << i;
    }
  }
}
#endif

}  // namespace
