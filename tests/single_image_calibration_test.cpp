// Single-view planar calibration: accuracy on synthetic views, the view
// without perspective, the soundness of the fitted lens, and bad input.
#include "calibration_utils/single_image_calibration.h"

#include <cmath>
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

double calibrate(const GridView& view, Projection* projection,
                 const Eigen::Vector2i& grid = kGrid) {
  return calibrateFromSingleImage(view.image, view.target, kImageSize, kMetresPerUnit, grid,
                                  projection);
}

// Every parameter of a projection, in a fixed order.
template <typename P>
auto parameters(P* p) {
  std::vector<decltype(&p->fx)> all = {&p->fx, &p->fy, &p->cx, &p->cy, &p->k1, &p->k2, &p->k3,
                                       &p->k4, &p->k5, &p->k6, &p->p1, &p->p2};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) all.push_back(&p->rotation[r][c]);
    all.push_back(&p->translation[r]);
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

// The root-mean-square distance between the view's points and their
// projections through the fitted camera, pose included.
double reprojectionRms(const GridView& view, const TruthCamera& camera) {
  double squared = 0.0;
  for (size_t i = 0; i < view.image.size(); ++i) {
    double u, v;
    camera.projectTargetPoint(kMetresPerUnit * view.target[i].x(),
                              kMetresPerUnit * view.target[i].y(), &u, &v);
    squared += std::pow(u - view.image[i].x(), 2) + std::pow(v - view.image[i].y(), 2);
  }
  return std::sqrt(squared / view.image.size());
}

TEST(SingleImageCalibrationTest, RecoversTheCameraFromAnExactObliqueView) {
  TruthCamera truth;
  const GridView view = dravik::testing::obliqueView(0.0, 1, &truth);
  ASSERT_EQ(view.image.size(), 165u);
  Projection fitted;
  const double error = calibrate(view, &fitted);
  EXPECT_LT(error, kNoiseFreeErrorBound);
  const TruthCamera camera = values(fitted);
  EXPECT_NEAR(camera.fx, truth.fx, 0.01);
  EXPECT_NEAR(camera.fy, truth.fy, 0.01);
  EXPECT_NEAR(camera.cx, truth.cx, 0.01);
  EXPECT_NEAR(camera.cy, truth.cy, 0.01);
  // The same pixel for the same ray wherever the points are, and within a
  // pixel fraction up to the corners.
  EXPECT_LT(largestRayDisagreement(truth, camera, 90, 100, 1123, 809), 1e-3);
  EXPECT_LT(largestRayDisagreement(truth, camera, 0, 0, 1280, 960), 0.1);
}

TEST(SingleImageCalibrationTest, ErrorPerPointMatchesTheNoiseOfTheView) {
  for (unsigned seed : {1u, 2u, 3u}) {
    const GridView view = dravik::testing::obliqueView(kNoise, seed);
    Projection fitted;
    const double error = calibrate(view, &fitted);
    EXPECT_NEAR(error / view.truth_rms, 1.0, kRelativeErrorTolerance) << "seed " << seed;
    EXPECT_NEAR(reprojectionRms(view, values(fitted)), error, 1e-9) << "seed " << seed;
  }
}

// Along every ray out from the principal point the fitted pixels move away
// from it until they leave the image: no fold, no pole of the lens inside.
TEST(SingleImageCalibrationTest, FittedLensStaysMonotoneOverTheWholeImage) {
  for (unsigned seed : {1u, 2u, 3u}) {
    const GridView view = dravik::testing::obliqueView(kNoise, seed);
    Projection fitted;
    ASSERT_TRUE(std::isfinite(calibrate(view, &fitted)));
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

TEST(SingleImageCalibrationTest, RotationIsProperAndTranslationInMetres) {
  TruthCamera truth;
  const GridView view = dravik::testing::obliqueView(0.0, 1, &truth);
  Projection fitted;
  calibrate(view, &fitted);
  const TruthCamera camera = values(fitted);
  Eigen::Matrix3d R;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) R(r, c) = camera.rotation[r][c];
    EXPECT_NEAR(camera.translation[r], truth.translation[r], 1e-5);
  }
  EXPECT_NEAR((R * R.transpose() - Eigen::Matrix3d::Identity()).norm(), 0.0, 1e-12);
  EXPECT_NEAR(R.determinant(), 1.0, 1e-12);
}

// Target units in centimetres instead of millimetres: the same intrinsics.
TEST(SingleImageCalibrationTest, TargetScaleChangesOnlyTheUnitsOfTheTarget) {
  const GridView view = dravik::testing::obliqueView(kNoise, 4);
  GridView in_centimetres = view;
  for (Eigen::Vector2f& p : in_centimetres.target) p *= 0.1f;
  Projection millimetres, centimetres;
  const double error = calibrate(view, &millimetres);
  const double error_cm = calibrateFromSingleImage(in_centimetres.image, in_centimetres.target,
                                                   kImageSize, 0.01, kGrid, &centimetres);
  EXPECT_NEAR(error_cm, error, 1e-6);
  EXPECT_NEAR(centimetres.fx.value, millimetres.fx.value, 1e-3);
  EXPECT_NEAR(centimetres.cy.value, millimetres.cy.value, 1e-3);
  EXPECT_NEAR(centimetres.translation[2].value, millimetres.translation[2].value, 1e-6);
}

// A target facing the camera shows no perspective: its focal length cannot be
// told from its distance. The fit says so, assumes a 60 degree field of view,
// and still fits the points; it does not report a focal length thousands of
// pixels off.
TEST(SingleImageCalibrationTest, ViewWithoutPerspectiveAssumesAFieldOfViewAndWarns) {
  TruthCamera truth = dravik::testing::strongRationalCamera();
  truth.fx = truth.fy = 1000.0;
  dravik::testing::placeTarget(0.0, 0.0, 0.1, Eigen::Vector2d(0.28, 0.2), 0.75, &truth);
  const GridView view = dravik::testing::gridView(truth, 15, 11, 40.0, kMetresPerUnit, kImageSize);
  ASSERT_EQ(view.image.size(), 165u);

  dravik::testing::LogCapture log(3);
  Projection fitted;
  const double error = calibrate(view, &fitted);
  EXPECT_LT(error, 1e-3);
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
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float infinity = std::numeric_limits<float>::infinity();
  struct Case {
    const char* what;
    GridView view;
    Eigen::Vector2i image_size;
    double scalar;
    Eigen::Vector2i grid;
  };
  // The good view with one change.
  const auto changed = [&good](auto change) {
    GridView v = good;
    change(&v);
    return v;
  };
  const std::vector<Case> cases = {
      {"no points", GridView(), kImageSize, kMetresPerUnit, kGrid},
      {"unequal lengths", changed([](GridView* v) { v->target.pop_back(); }), kImageSize,
       kMetresPerUnit, kGrid},
      {"fewer points than parameters",
       changed([](GridView* v) {
         v->image.resize(17);
         v->target.resize(17);
       }),
       kImageSize, kMetresPerUnit, kGrid},
      {"collinear target",
       changed([](GridView* v) {
         for (size_t i = 0; i < v->target.size(); ++i) v->target[i] = Eigen::Vector2f(1, 2) * i;
       }),
       kImageSize, kMetresPerUnit, kGrid},
      {"collinear image",
       changed([](GridView* v) {
         for (size_t i = 0; i < v->image.size(); ++i) {
           v->image[i] = Eigen::Vector2f(100, 300) + Eigen::Vector2f(1, 0) * i;
         }
       }),
       kImageSize, kMetresPerUnit, kGrid},
      {"image point not finite", changed([nan](GridView* v) { v->image[7].x() = nan; }),
       kImageSize, kMetresPerUnit, kGrid},
      {"target point not finite", changed([infinity](GridView* v) { v->target[3].y() = infinity; }),
       kImageSize, kMetresPerUnit, kGrid},
      {"scalar not finite", good, kImageSize, std::nan(""), kGrid},
      {"negative scalar", good, kImageSize, -0.001, kGrid},
      {"empty image", good, Eigen::Vector2i(0, 960), kMetresPerUnit, kGrid},
      {"more points than the grid", good, kImageSize, kMetresPerUnit, Eigen::Vector2i(10, 10)},
      {"negative grid", good, kImageSize, kMetresPerUnit, Eigen::Vector2i(-15, 11)},
  };

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

// Neither the grid size nor the target scale changes the intrinsics; either
// may be unknown (zero), as in a calibration that does not record them.
TEST(SingleImageCalibrationTest, UnknownGridSizeAndScaleAreNoObstacle) {
  const GridView view = dravik::testing::obliqueView();
  Projection fitted;
  EXPECT_LT(calibrate(view, &fitted, Eigen::Vector2i(0, 0)), kNoiseFreeErrorBound);
  Projection unscaled;
  EXPECT_LT(calibrateFromSingleImage(view.image, view.target, kImageSize, 0.0, kGrid, &unscaled),
            kNoiseFreeErrorBound);
  EXPECT_NEAR(unscaled.fx.value, fitted.fx.value, 1e-3);
  EXPECT_NEAR(unscaled.translation[2].value, 1000.0 * fitted.translation[2].value, 1e-3);
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
    const double ours = calibrate(view, &fitted);
    EXPECT_LE(ours, 1.02 * opencv) << "seed " << seed;
  }
}
#endif

}  // namespace

// A remembered fit repeats the first one bit for bit without running again
// (the first run's warning is not logged twice); a view that differs in one
// bit is fitted anew, and a failed fit stays failed.
TEST(SingleImageCalibrationTest, RememberedFitRepeatsTheFirstWithoutRefitting) {
  using dravik::calibration::calibrateFromSingleImageRemembered;
  TruthCamera truth = dravik::testing::strongRationalCamera();
  truth.fx = truth.fy = 1000.0;
  dravik::testing::placeTarget(0.0, 0.0, 0.1, Eigen::Vector2d(0.28, 0.2), 0.75, &truth);
  GridView view = dravik::testing::gridView(truth, 15, 11, 40.0, kMetresPerUnit, kImageSize);
  const auto fit = [&view](Projection* projection) {
    return calibrateFromSingleImageRemembered(view.image, view.target, kImageSize,
                                              kMetresPerUnit, kGrid, projection);
  };
  const auto warnings = [&](Projection* projection, double* error) {
    dravik::testing::LogCapture log(3);
    *error = fit(projection);
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
  double moved_error;
  Projection moved;
  EXPECT_EQ(warnings(&moved, &moved_error), 1u);

  view.image[7].y() = std::numeric_limits<float>::quiet_NaN();
  for (int i = 0; i < 2; ++i) {
    Projection untouched;
    untouched.fx = 123.0;
    EXPECT_FALSE(std::isfinite(fit(&untouched)));
    EXPECT_EQ(untouched.fx.value, 123.0);
  }
}
