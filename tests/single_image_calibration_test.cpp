// The rational camera model on a planar target, on double and on jets, and
// the single-view calibration that fits it: accuracy on synthetic views, the
// view without perspective, the soundness of the fitted lens, and bad input.
#include "calibration_utils/single_image_calibration.h"

#include <array>
#include <cmath>
#include <iterator>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "support/synthetic_view.h"

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
#include <opencv2/calib3d.hpp>
#endif

namespace {

using dravik::calibration::calibrateFromSingleImage;
using dravik::calibration::CalibrationJet;
using dravik::calibration::OpenCVProjection;
using dravik::testing::GridView;
using dravik::testing::TruthCamera;

using Projection = OpenCVProjection<CalibrationJet>;

const Eigen::Vector2i kImageSize(1280, 960);
const Eigen::Vector2i kGrid(15, 11);
constexpr double kMetresPerUnit = 0.001;
// Float pixels near 1000 round by about 3e-5 px; a converged fit of exact
// data stays well below this.
constexpr double kNoiseFreeErrorBound = 1e-4;
constexpr double kRelativeErrorTolerance = 0.05;
constexpr double kNoise = 0.3;

double calibrate(const GridView& view, Projection* projection, double scalar = kMetresPerUnit,
                 const Eigen::Vector2i& grid = kGrid) {
  return calibrateFromSingleImage(view.image, view.target, kImageSize, scalar, grid, projection);
}

// Every parameter of a projection: intrinsics, lens, translation, rotation.
template <typename P>
auto parameters(P* p) {
  std::vector<decltype(&p->fx)> all = {&p->fx, &p->fy, &p->cx, &p->cy, &p->k1, &p->k2, &p->k3,
                                       &p->k4, &p->k5, &p->k6, &p->p1, &p->p2};
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

// A default projection is all zeros, partials included; the lens
// coefficients travel in the order k1, k2, p1, p2, k3, k4, k5, k6.
TEST(OpenCVProjectionTest, StartsAtZeroAndListsCoefficientsInTheRationalModelOrder) {
  Projection jet;
  for (const CalibrationJet* value : parameters(&jet)) {
    EXPECT_EQ(value->value, 0.0);
    for (double partial : value->partial) EXPECT_EQ(partial, 0.0);
  }
  TruthCamera c;
  for (const double* value : parameters(&c)) EXPECT_EQ(*value, 0.0);
  c = dravik::testing::strongRationalCamera();
  EXPECT_EQ(c.distortionCoefficients(),
            (std::array<double, 8>{c.k1, c.k2, c.p1, c.p2, c.k3, c.k4, c.k5, c.k6}));
}

// The partials of a projected target point with respect to the first
// parameters, as many as a jet has slots, against central differences.
TEST(OpenCVProjectionTest, JetPartialsMatchFiniteDifferences) {
  TruthCamera camera;
  dravik::testing::obliqueView(0.0, 1, &camera);
  Projection jet;
  const auto values = parameters(&camera);
  const auto jets = parameters(&jet);
  // Parameter i is variable i; those beyond the slots stay constants.
  for (size_t i = 0; i < jets.size(); ++i) *jets[i] = CalibrationJet(*values[i], int(i));
  const double x = 0.31, y = 0.12;
  CalibrationJet u, v;
  jet.projectTargetPoint(x, y, &u, &v);
  for (size_t i = 0; i < std::size(u.partial); ++i) {
    TruthCamera plus = camera, minus = camera;
    const double step = 1e-6 * (1.0 + std::abs(*values[i]));
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
double largestRayDisagreement(const TruthCamera& reference, const TruthCamera& other,
                              double u0, double v0, double u1, double v1) {
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
// metres, and the same pixel for the same ray wherever the points are (within
// a pixel fraction up to the corners).
TEST(SingleImageCalibrationTest, RecoversTheCameraFromAnExactObliqueView) {
  TruthCamera truth;
  const GridView view = dravik::testing::obliqueView(0.0, 1, &truth);
  ASSERT_EQ(view.image.size(), 165u);
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

// The error per point is the RMS reprojection of the fit and matches the
// noise of the view; along every ray out from the principal point the fitted
// pixels move away from it until they leave the image: no fold, no pole.
TEST(SingleImageCalibrationTest, NoisyViewsFitToTheirNoiseWithAMonotoneLens) {
  for (unsigned seed : {1u, 2u, 3u}) {
    const GridView view = dravik::testing::obliqueView(kNoise, seed);
    Projection fitted;
    const double error = calibrate(view, &fitted);
    EXPECT_NEAR(error / view.truth_rms, 1.0, kRelativeErrorTolerance) << "seed " << seed;
    const TruthCamera camera = values(fitted);
    double squared = 0.0;
    for (size_t i = 0; i < view.image.size(); ++i) {
      double u, v;
      camera.projectTargetPoint(kMetresPerUnit * view.target[i].x(),
                                kMetresPerUnit * view.target[i].y(), &u, &v);
      squared += std::pow(u - view.image[i].x(), 2) + std::pow(v - view.image[i].y(), 2);
    }
    EXPECT_NEAR(std::sqrt(squared / view.image.size()), error, 1e-9) << "seed " << seed;
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

// Target units in centimetres instead of millimetres give the same
// intrinsics; an unknown (zero) scale or grid size is no obstacle.
TEST(SingleImageCalibrationTest, TargetUnitsAndGridSizeChangeNoIntrinsics) {
  const GridView view = dravik::testing::obliqueView(kNoise, 4);
  GridView in_centimetres = view;
  for (Eigen::Vector2f& p : in_centimetres.target) p *= 0.1f;
  Projection millimetres, centimetres, unscaled, no_grid;
  const double error = calibrate(view, &millimetres);
  EXPECT_NEAR(calibrate(in_centimetres, &centimetres, 0.01), error, 1e-6);
  EXPECT_NEAR(calibrate(view, &unscaled, 0.0), error, 1e-6);
  EXPECT_NEAR(calibrate(view, &no_grid, kMetresPerUnit, Eigen::Vector2i(0, 0)), error, 1e-6);
  for (const Projection* other : {&centimetres, &unscaled, &no_grid}) {
    EXPECT_NEAR(other->fx.value, millimetres.fx.value, 1e-3);
    EXPECT_NEAR(other->cy.value, millimetres.cy.value, 1e-3);
  }
  EXPECT_NEAR(centimetres.translation[2].value, millimetres.translation[2].value, 1e-6);
  EXPECT_NEAR(unscaled.translation[2].value, 1000.0 * millimetres.translation[2].value, 1e-3);
}

// Without perspective the fit says so, assumes a 60 degree field of view,
// and still fits the points; it does not report a focal length thousands of
// pixels off.
TEST(SingleImageCalibrationTest, ViewWithoutPerspectiveAssumesAFieldOfViewAndWarns) {
  const GridView view = frontoParallelView();
  ASSERT_EQ(view.image.size(), 165u);
  dravik::testing::LogCapture log(3);
  Projection fitted;
  EXPECT_LT(calibrate(view, &fitted), 1e-3);
  const double assumed = 0.8660254 * kImageSize.x();
  EXPECT_NEAR(fitted.fx.value, assumed, 0.02 * assumed);
  EXPECT_NEAR(fitted.fy.value / fitted.fx.value, 1.0, 0.01);
  ASSERT_EQ(log.recordsUpTo(3).size(), 1u);
  EXPECT_EQ(log.recordsUpTo(3)[0].level, 3);
  EXPECT_EQ(log.recordsUpTo(3)[0].tag, "calibration_utils");
}

// Each bad input gives a non-finite error, a level-2 record, and leaves the
// projection as it was.
TEST(SingleImageCalibrationTest, BadInputFailsWithoutTouchingTheProjection) {
  const GridView good = dravik::testing::obliqueView();
  struct Case {
    const char* what;
    GridView view;
    Eigen::Vector2i image_size = kImageSize;
    double scalar = kMetresPerUnit;
    Eigen::Vector2i grid = kGrid;
  };
  std::vector<Case> cases(12, Case{"", good});
  cases[0] = {"no points", GridView()};
  cases[1].what = "unequal lengths";
  cases[1].view.target.pop_back();
  cases[2].what = "fewer points than parameters";
  cases[2].view.image.resize(17);
  cases[2].view.target.resize(17);
  cases[3].what = "collinear target";
  for (size_t i = 0; i < good.target.size(); ++i) {
    cases[3].view.target[i] = Eigen::Vector2f(1, 2) * i;
  }
  cases[4].what = "collinear image";
  for (size_t i = 0; i < good.image.size(); ++i) {
    cases[4].view.image[i] = Eigen::Vector2f(float(100 + i), 300);
  }
  cases[5].what = "image point not finite";
  cases[5].view.image[7].x() = std::numeric_limits<float>::quiet_NaN();
  cases[6].what = "target point not finite";
  cases[6].view.target[3].y() = std::numeric_limits<float>::infinity();
  cases[7].what = "scalar not finite";
  cases[7].scalar = std::nan("");
  cases[8].what = "negative scalar";
  cases[8].scalar = -0.001;
  cases[9].what = "empty image";
  cases[9].image_size = Eigen::Vector2i(0, 960);
  cases[10].what = "more points than the grid";
  cases[10].grid = Eigen::Vector2i(10, 10);
  cases[11].what = "negative grid";
  cases[11].grid = Eigen::Vector2i(-15, 11);

  for (const Case& c : cases) {
    dravik::testing::LogCapture log(2);
    Projection projection;
    projection.fx = 123.0;
    const double error = calibrateFromSingleImage(c.view.image, c.view.target, c.image_size,
                                                  c.scalar, c.grid, &projection);
    EXPECT_FALSE(std::isfinite(error)) << c.what;
    EXPECT_EQ(projection.fx.value, 123.0) << c.what;
    EXPECT_EQ(projection.cx.value, 0.0) << c.what;
    EXPECT_EQ(log.recordsUpTo(2).size(), 1u) << c.what;
  }
}

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
// OpenCV's calibration of the same points with the same model, started from
// the true intrinsics: our fit is at least as good, to 2 %.
TEST(SingleImageCalibrationTest, NoWorseThanOpenCVOnTheSameView) {
  for (unsigned seed : {1u, 2u, 3u}) {
    TruthCamera truth;
    const GridView view = dravik::testing::obliqueView(kNoise, seed, &truth);
    std::vector<std::vector<cv::Point3f>> object(1);
    std::vector<std::vector<cv::Point2f>> image(1);
    for (size_t i = 0; i < view.image.size(); ++i) {
      object[0].emplace_back(kMetresPerUnit * view.target[i].x(),
                             kMetresPerUnit * view.target[i].y(), 0.0f);
      image[0].emplace_back(view.image[i].x(), view.image[i].y());
    }
    cv::Mat K = (cv::Mat_<double>(3, 3) << truth.fx, 0, truth.cx, 0, truth.fy, truth.cy, 0, 0, 1);
    cv::Mat distortion = cv::Mat::zeros(8, 1, CV_64F);
    std::vector<cv::Mat> rvecs, tvecs;
    const double opencv = cv::calibrateCamera(
        object, image, cv::Size(kImageSize.x(), kImageSize.y()), K, distortion, rvecs, tvecs,
        cv::CALIB_RATIONAL_MODEL | cv::CALIB_USE_INTRINSIC_GUESS);
    Projection fitted;
    EXPECT_LE(calibrate(view, &fitted), 1.02 * opencv) << "seed " << seed;
  }
}
#endif

}  // namespace

// A remembered fit repeats the first one bit for bit without running again
// (the first run's warning is not logged twice); a view that differs in one
// bit is fitted anew, and a failed fit stays failed.
TEST(SingleImageCalibrationTest, RememberedFitRepeatsTheFirstWithoutRefitting) {
  GridView view = frontoParallelView();
  const auto warnings = [&view](Projection* projection, double* error) {
    dravik::testing::LogCapture log(3);
    *error = dravik::calibration::calibrateFromSingleImageRemembered(
        view.image, view.target, kImageSize, kMetresPerUnit, kGrid, projection);
    return log.recordsUpTo(3).size();
  };

  Projection direct, first, again;
  const double direct_error = calibrate(view, &direct);
  double first_error, again_error;
  EXPECT_EQ(warnings(&first, &first_error), 1u);
  EXPECT_EQ(warnings(&again, &again_error), 0u);
  EXPECT_EQ(first_error, direct_error);
  EXPECT_EQ(again_error, direct_error);
  const auto d = parameters(&direct), f = parameters(&first), a = parameters(&again);
  for (size_t i = 0; i < d.size(); ++i) {
    EXPECT_EQ(f[i]->value, d[i]->value) << i;
    EXPECT_EQ(a[i]->value, d[i]->value) << i;
  }

  view.image[5].x() = std::nextafter(view.image[5].x(), 2000.0f);
  double error;
  Projection moved;
  EXPECT_EQ(warnings(&moved, &error), 1u);

  view.image[7].y() = std::numeric_limits<float>::quiet_NaN();
  for (int i = 0; i < 2; ++i) {
    Projection untouched;
    untouched.fx = 123.0;
    warnings(&untouched, &error);
    EXPECT_FALSE(std::isfinite(error));
    EXPECT_EQ(untouched.fx.value, 123.0);
  }
}
