// The rational camera model on a planar target, on double and on AutoDiff1.
#include "calibration_utils/opencv_projection.h"

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "calibration_utils/single_image_calibration.h"
#include "support/synthetic_view.h"

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
#include <opencv2/calib3d.hpp>
#endif

namespace {

using dravik::calibration::CalibrationJet;
using dravik::calibration::OpenCVProjection;
using dravik::testing::TruthCamera;

constexpr double kPixelTolerance = 1e-9;

TruthCamera posedCamera() {
  TruthCamera camera = dravik::testing::strongRationalCamera();
  dravik::testing::placeTarget(0.4, -0.3, 0.1, Eigen::Vector2d(0.2, 0.1), 0.6, &camera);
  return camera;
}

TEST(OpenCVProjectionTest, DefaultConstructedHasEveryValueAndPartialZero) {
  const OpenCVProjection<CalibrationJet> jet;
  const std::vector<const CalibrationJet*> all = {
      &jet.fx, &jet.fy, &jet.cx, &jet.cy, &jet.k1, &jet.k2, &jet.k3, &jet.k4, &jet.k5,
      &jet.k6, &jet.p1, &jet.p2, &jet.translation[0], &jet.translation[1], &jet.translation[2],
      &jet.rotation[0][0], &jet.rotation[1][1], &jet.rotation[2][2], &jet.rotation[0][2]};
  for (const CalibrationJet* value : all) {
    EXPECT_EQ(value->value, 0.0);
    for (double partial : value->partial) EXPECT_EQ(partial, 0.0);
  }
  const OpenCVProjection<double> plain;
  EXPECT_EQ(plain.fx, 0.0);
  EXPECT_EQ(plain.rotation[1][2], 0.0);
  EXPECT_EQ(plain.p2, 0.0);
}

TEST(OpenCVProjectionTest, PinholeCameraProjectsThroughItsCentre) {
  OpenCVProjection<double> camera;
  camera.fx = camera.fy = 800.0;
  camera.cx = 640.0;
  camera.cy = 480.0;
  camera.rotation[0][0] = camera.rotation[1][1] = camera.rotation[2][2] = 1.0;
  camera.translation[2] = 2.0;
  double u, v;
  camera.projectTargetPoint(0.5, 0.0, &u, &v);
  EXPECT_NEAR(u, 840.0, kPixelTolerance);
  EXPECT_NEAR(v, 480.0, kPixelTolerance);
}

TEST(OpenCVProjectionTest, CoefficientsTravelInTheRationalModelOrder) {
  const TruthCamera camera = posedCamera();
  const std::array<double, 8> d = camera.distortionCoefficients();
  EXPECT_EQ(d, (std::array<double, 8>{camera.k1, camera.k2, camera.p1, camera.p2, camera.k3,
                                      camera.k4, camera.k5, camera.k6}));
}

// The partials of a projected pixel with respect to every intrinsic and lens
// parameter, against central differences of the double projection.
TEST(OpenCVProjectionTest, JetPartialsMatchFiniteDifferences) {
  const TruthCamera camera = posedCamera();
  auto parameters = [](auto* c) {
    return std::vector<decltype(&c->fx)>{&c->fx, &c->fy, &c->cx, &c->cy, &c->k1, &c->k2,
                                         &c->k3, &c->k4, &c->k5, &c->k6, &c->p1, &c->p2,
                                         &c->translation[0], &c->translation[2],
                                         &c->rotation[2][0]};
  };
  // The camera on jets: every value copied as a constant, then the listed
  // parameters made variables 0, 1, ...
  OpenCVProjection<CalibrationJet> jet;
  TruthCamera copy = camera;
  const auto values = parameters(&copy);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) jet.rotation[r][c] = camera.rotation[r][c];
    jet.translation[r] = camera.translation[r];
  }
  const auto jet_parameters = parameters(&jet);
  for (size_t i = 0; i < jet_parameters.size(); ++i) {
    *jet_parameters[i] = CalibrationJet(*values[i], static_cast<int>(i));
  }

  const double x = 0.31, y = 0.12;
  CalibrationJet u, v;
  jet.projectTargetPoint(x, y, &u, &v);
  for (size_t i = 0; i < jet_parameters.size(); ++i) {
    TruthCamera plus = camera, minus = camera;
    const double step = 1e-6 * (1.0 + std::abs(*parameters(&plus)[i]));
    *parameters(&plus)[i] += step;
    *parameters(&minus)[i] -= step;
    double u_plus, v_plus, u_minus, v_minus;
    plus.projectTargetPoint(x, y, &u_plus, &v_plus);
    minus.projectTargetPoint(x, y, &u_minus, &v_minus);
    const double du = (u_plus - u_minus) / (2.0 * step);
    const double dv = (v_plus - v_minus) / (2.0 * step);
    EXPECT_NEAR(u.partial[i], du, 1e-5 * (1.0 + std::abs(du))) << "parameter " << i;
    EXPECT_NEAR(v.partial[i], dv, 1e-5 * (1.0 + std::abs(dv))) << "parameter " << i;
  }
}

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
TEST(OpenCVProjectionTest, AgreesWithOpenCVProjectPoints) {
  const TruthCamera camera = posedCamera();
  std::vector<cv::Point3d> object;
  for (double x = 0.0; x <= 0.4; x += 0.05) {
    for (double y = 0.0; y <= 0.3; y += 0.05) object.emplace_back(x, y, 0.0);
  }
  cv::Mat R(3, 3, CV_64F), rvec;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) R.at<double>(r, c) = camera.rotation[r][c];
  }
  cv::Rodrigues(R, rvec);
  const cv::Mat tvec = (cv::Mat_<double>(3, 1) << camera.translation[0], camera.translation[1],
                        camera.translation[2]);
  const cv::Mat K = (cv::Mat_<double>(3, 3) << camera.fx, 0, camera.cx, 0, camera.fy, camera.cy,
                     0, 0, 1);
  const std::array<double, 8> d = camera.distortionCoefficients();
  std::vector<cv::Point2d> expected;
  cv::projectPoints(object, rvec, tvec, K, std::vector<double>(d.begin(), d.end()), expected);
  for (size_t i = 0; i < object.size(); ++i) {
    double u, v;
    camera.projectTargetPoint(object[i].x, object[i].y, &u, &v);
    EXPECT_NEAR(u, expected[i].x, 1e-6) << i;
    EXPECT_NEAR(v, expected[i].y, 1e-6) << i;
  }
}
#endif

}  // namespace
