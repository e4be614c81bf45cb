// The rational camera model on a planar target and the single-view
// calibration that fits it: accuracy on synthetic views, the view without
// perspective, the soundness of the fitted lens, and bad input.
#include "calibration_utils/single_image_calibration.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "support/log_capture.h"
#include "support/synthetic_view.h"

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
#include <opencv2/calib3d.hpp>
#endif

namespace {

using dravik::calibration::calibrateFromSingleImage;
using dravik::testing::GridView;
using dravik::testing::TruthCamera;

using Projection = dravik::calibration::OpenCVProjection<dravik::calibration::CalibrationJet>;

const Eigen::Vector2i kImageSize(1280, 960);
const Eigen::Vector2i kGrid(15, 11);
constexpr double kMetresPerUnit = 0.001;
// Float pixels near 1000 round by about 3e-5 px; a converged fit of exact
// data stays well below this.
constexpr double kNoiseFreeErrorBound = 1e-4;
constexpr double kRelativeErrorTolerance = 0.05;
constexpr double kNoise = 0.3;

double calibrate(const GridView& view, Projection* projection) {
  return calibrateFromSingleImage(view.image, view.target, kImageSize, kMetresPerUnit, kGrid,
                                  projection);
}

// Every parameter of a projection: intrinsics, lens, translation, rotation.
template <typename P>
auto parameters(P* p) {
  std::vector<decltype(&p->fx)> all = {&p->fx, &p->fy, &p->cx, &p->cy, &p->k1, &p->k2,
                                       &p->k3, &p->k4, &p->k5, &p->k6, &p->p1, &p->p2};
  for (auto& t : p->translation) all.push_back(&t);
  for (auto& row : p->rotation) {
    for (auto& r : row) all.push_back(&r);
  }
  return all;
}

// The values of a fitted projection.
TruthCamera values(const Projection& p) {
  TruthCamera c;
  const auto from = parameters(&p);
  const auto to = parameters(&c);
  for (size_t i = 0; i < from.size(); ++i) *to[i] = from[i]->value;
  return c;
}

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
TEST(OpenCVProjectionTest, AgreesWithOpenCVProjectPoints) {
  TruthCamera camera;
  dravik::testing::obliqueView(0.0, 1, &camera);
  std::vector<cv::Point3d> object;
  for (double x = 0.0; x <= 0.56; x += 0.05) {
    for (double y = 0.0; y <= 0.4; y += 0.05) object.emplace_back(x, y, 0.0);
  }
  cv::Matx33d R;
  cv::Vec3d t, rvec;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) R(r, c) = camera.rotation[r][c];
    t[r] = camera.translation[r];
  }
  cv::Rodrigues(R, rvec);
  const cv::Matx33d K(camera.fx, 0, camera.cx, 0, camera.fy, camera.cy, 0, 0, 1);
  const std::array<double, 8> d = camera.distortionCoefficients();
  std::vector<cv::Point2d> expected;
  cv::projectPoints(object, rvec, t, K, std::vector<double>(d.begin(), d.end()), expected);
  for (size_t i = 0; i < object.size(); ++i) {
    double u, v;
    camera.projectTargetPoint(object[i].x, object[i].y, &u, &v);
    EXPECT_NEAR(u, expected[i].x, 1e-6) << i;
    EXPECT_NEAR(v, expected[i].y, 1e-6) << i;
  }
}
#endif

// The largest distance between the pixels of the same camera-frame rays
// through two lenses, over the rays whose pixel through `reference` lies in
// the box [u0, u1] x [v0, v1].
double largestRayDisagreement(const TruthCamera& reference, const TruthCamera& other, double u0,
                              double v0, double u1, double v1) {
  double largest = 0.0;
  for (double x = -2.0; x <= 2.0; x += 0.02) {
    for (double y = -2.0; y <= 2.0; y += 0.02) {
      double u, v, u2, v2;
      reference.projectCameraPoint(x, y, 1.0, &u, &v);
      if (!(u >= u0 && u <= u1 && v >= v0 && v <= v1)) continue;
      other.projectCameraPoint(x, y, 1.0, &u2, &v2);
      largest = std::max(largest, std::hypot(u - u2, v - v2));
    }
  }
  return largest;
}

// A 1000 px camera facing the target squarely: no perspective to tell its
// focal length from its distance.
GridView frontoParallelView() {
  TruthCamera truth = dravik::testing::strongRationalCamera();
  truth.fx = truth.fy = 1000.0;
  dravik::testing::placeTarget(0.0, 0.0, 0.1, Eigen::Vector2d(0.28, 0.2), 0.75, &truth);
  return dravik::testing::gridView(truth, 15, 11, 40.0, kMetresPerUnit, kImageSize);
}

// Intrinsics to a hundredth of a pixel, a proper rotation, the translation in
// metres, and the same pixel for the same ray wherever the points are.
TEST(SingleImageCalibrationTest, RecoversTheCameraFromAnExactObliqueView) {
  TruthCamera truth;
  const GridView view = dravik::testing::obliqueView(0.0, 1, &truth);
  Projection fitted;
  EXPECT_LT(calibrate(view, &fitted), kNoiseFreeErrorBound);
  const TruthCamera camera = values(fitted);
  EXPECT_NEAR(camera.fx, truth.fx, 0.01);
  EXPECT_NEAR(camera.fy, truth.fy, 0.01);
  EXPECT_NEAR(camera.cx, truth.cx, 0.01);
  EXPECT_NEAR(camera.cy, truth.cy, 0.01);
  Eigen::Matrix3d R;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) R(r, c) = camera.rotation[r][c];
    EXPECT_NEAR(camera.translation[r], truth.translation[r], 1e-5);
  }
  EXPECT_NEAR((R * R.transpose() - Eigen::Matrix3d::Identity()).norm(), 0.0, 1e-12);
  EXPECT_NEAR(R.determinant(), 1.0, 1e-12);
  EXPECT_LT(largestRayDisagreement(truth, camera, 90, 100, 1123, 809), 1e-3);
  EXPECT_LT(largestRayDisagreement(truth, camera, 0, 0, 1280, 960), 0.1);
}

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
// OpenCV's calibration of the same points with the same model, started from
// the true intrinsics.
double openCvError(const GridView& view, const TruthCamera& truth) {
  std::vector<std::vector<cv::Point3f>> object(1);
  std::vector<std::vector<cv::Point2f>> image(1);
  for (size_t i = 0; i < view.image.size(); ++i) {
    object[0].emplace_back(kMetresPerUnit * view.target[i].x(), kMetresPerUnit * view.target[i].y(),
                           0.0f);
    image[0].emplace_back(view.image[i].x(), view.image[i].y());
  }
  cv::Mat K = (cv::Mat_<double>(3, 3) << truth.fx, 0, truth.cx, 0, truth.fy, truth.cy, 0, 0, 1);
  cv::Mat distortion = cv::Mat::zeros(8, 1, CV_64F);
  std::vector<cv::Mat> rvecs, tvecs;
  return cv::calibrateCamera(object, image, cv::Size(kImageSize.x(), kImageSize.y()), K, distortion,
                             rvecs, tvecs,
                             cv::CALIB_RATIONAL_MODEL | cv::CALIB_USE_INTRINSIC_GUESS);
}
#endif

// The error matches the noise of the view and is no worse than OpenCV's (to
// 2 %); along every ray out from the principal point the fitted pixels move
// away from it until they leave the image: no fold, no pole.
TEST(SingleImageCalibrationTest, NoisyViewsFitToTheirNoiseWithAMonotoneLens) {
  for (unsigned seed : {1u, 2u, 3u}) {
    TruthCamera truth;
    const GridView view = dravik::testing::obliqueView(kNoise, seed, &truth);
    Projection fitted;
    const double error = calibrate(view, &fitted);
    EXPECT_NEAR(error / view.truth_rms, 1.0, kRelativeErrorTolerance) << seed;
#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
    EXPECT_LE(error, 1.02 * openCvError(view, truth)) << seed;
#endif
    const TruthCamera camera = values(fitted);
    for (double angle = 0.0; angle < 2.0 * M_PI; angle += M_PI / 36.0) {
      double previous = 0.0;
      for (double r = 0.005; r < 5.0; r += 0.005) {
        double u, v;
        camera.projectCameraPoint(r * std::cos(angle), r * std::sin(angle), 1.0, &u, &v);
        const double distance = std::hypot(u - camera.cx, v - camera.cy);
        ASSERT_GT(distance, previous) << "seed " << seed << " angle " << angle << " r " << r;
        previous = distance;
        if (u < 0.0 || v < 0.0 || u > kImageSize.x() || v > kImageSize.y()) break;
      }
    }
  }
}

// Without perspective the fit warns once, assumes a 60 degree field of view,
// and still fits the points.
TEST(SingleImageCalibrationTest, ViewWithoutPerspectiveAssumesAFieldOfViewAndWarns) {
  dravik::testing::LogCapture log(3);
  Projection fitted;
  EXPECT_LT(calibrate(frontoParallelView(), &fitted), 1e-3);
  const double assumed = 0.8660254 * kImageSize.x();
  EXPECT_NEAR(fitted.fx.value, assumed, 0.02 * assumed);
  EXPECT_NEAR(fitted.fy.value / fitted.fx.value, 1.0, 0.01);
  ASSERT_EQ(log.recordsUpTo(3).size(), 1u);
  EXPECT_EQ(log.recordsUpTo(3)[0].level, 3);
  EXPECT_EQ(log.recordsUpTo(3)[0].tag, "calibration_utils");
}

// Each bad input gives a non-finite error, one level-2 record, and leaves the
// projection as it was.
TEST(SingleImageCalibrationTest, BadInputFailsWithoutTouchingTheProjection) {
  struct Input {
    GridView view = dravik::testing::obliqueView();
    Eigen::Vector2i image_size = kImageSize, grid = kGrid;
    double scalar = kMetresPerUnit;
  };
  const std::pair<const char*, std::function<void(Input*)>> cases[] = {
      {"no points", [](Input* in) { in->view = GridView(); }},
      {"unequal lengths", [](Input* in) { in->view.target.pop_back(); }},
      {"fewer points than parameters",
       [](Input* in) { in->view.image.resize(17), in->view.target.resize(17); }},
      {"collinear target",
       [](Input* in) {
         float i = 0;
         for (auto& p : in->view.target) p = Eigen::Vector2f(1, 2) * i++;
       }},
      {"image point not finite",
       [](Input* in) { in->view.image[7].x() = std::numeric_limits<float>::quiet_NaN(); }},
      {"target point not finite",
       [](Input* in) { in->view.target[3].y() = std::numeric_limits<float>::infinity(); }},
      {"scalar not finite", [](Input* in) { in->scalar = std::nan(""); }},
      {"negative scalar", [](Input* in) { in->scalar = -0.001; }},
      {"empty image", [](Input* in) { in->image_size = Eigen::Vector2i(0, 960); }},
      {"more points than the grid", [](Input* in) { in->grid = Eigen::Vector2i(10, 10); }},
  };
  for (const auto& [what, spoil] : cases) {
    Input in;
    spoil(&in);
    dravik::testing::LogCapture log(2);
    Projection projection;
    projection.fx = 123.0;
    const double error = calibrateFromSingleImage(in.view.image, in.view.target, in.image_size,
                                                  in.scalar, in.grid, &projection);
    EXPECT_FALSE(std::isfinite(error)) << what;
    EXPECT_EQ(projection.fx.value, 123.0) << what;
    EXPECT_EQ(projection.cx.value, 0.0) << what;
    EXPECT_EQ(log.recordsUpTo(2).size(), 1u) << what;
  }
}

// A remembered fit repeats the first one bit for bit without running again
// (its warning is not logged twice); a view that differs in one bit is
// fitted anew, and a failed fit stays failed.
TEST(SingleImageCalibrationTest, RememberedFitRepeatsTheFirstWithoutRefitting) {
  GridView view = frontoParallelView();
  double error;
  const auto warnings = [&view, &error](Projection* projection) {
    dravik::testing::LogCapture log(3);
    error = dravik::calibration::calibrateFromSingleImageRemembered(
        view.image, view.target, kImageSize, kMetresPerUnit, kGrid, projection);
    return log.recordsUpTo(3).size();
  };
  Projection direct, first, again, moved;
  const double direct_error = calibrate(view, &direct);
  EXPECT_EQ(warnings(&first), 1u);
  EXPECT_EQ(warnings(&again), 0u);
  EXPECT_EQ(error, direct_error);
  const auto d = parameters(&direct), f = parameters(&first), a = parameters(&again);
  for (size_t i = 0; i < d.size(); ++i) {
    EXPECT_EQ(f[i]->value, d[i]->value) << i;
    EXPECT_EQ(a[i]->value, d[i]->value) << i;
  }
  view.image[5].x() = std::nextafter(view.image[5].x(), 2000.0f);
  EXPECT_EQ(warnings(&moved), 1u);
  view.image[7].y() = std::numeric_limits<float>::quiet_NaN();
  for (int i = 0; i < 2; ++i) {
    Projection untouched;
    untouched.fx = 123.0;
    warnings(&untouched);
    EXPECT_FALSE(std::isfinite(error));
    EXPECT_EQ(untouched.fx.value, 123.0);
  }
}

}  // namespace
