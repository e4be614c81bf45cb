#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>

#include "calibration_utils/view_coverage.h"
#include "support/calibration_views.h"
#include "support/every_pixel.h"
#include "support/log_capture.h"
#include "support/rendered_board.h"

namespace {

using dravik::calibration::calibrateCamera;
using dravik::calibration::CameraFit;
using dravik::calibration::CameraFitOptions;
using dravik::calibration::coverageCell;
using dravik::calibration::FitFailure;
using dravik::calibration::fitFailureText;
using dravik::calibration::FitReason;
using dravik::calibration::Lens;
using dravik::calibration::LensTerms;
using dravik::calibration::projectionUncertainty;
using dravik::calibration::TargetView;
using dravik::testing::BoardViewOptions;
using dravik::testing::boardViews;
using dravik::testing::LogCapture;
using dravik::testing::navigationViews;

constexpr double kNoise = 0.2;  // px per coordinate
// The rms of 2-D residuals of kNoise per coordinate, less the parameters' share.
constexpr double kLowestNoisyRms = 0.25, kHighestNoisyRms = 0.30;

TEST(CalibrateCamera, RefusesBadInputWithOneRecordAndLeavesTheResultUntouched) {
  struct Input {
    std::vector<TargetView> v = navigationViews(4, kNoise);
    int width = 1280, height = 960;
    CameraFitOptions options;
  };
  const std::pair<std::function<void(Input*)>, const char*> cases[] = {
      {[](Input* in) { in->v.resize(2); }, "Too few views to calibrate: 2, at least 3"},
      {[](Input* in) { in->v.resize(1), in->options.lens_terms = LensTerms::kPlumbBob; },
       "Too few views to calibrate: 1, at least 2"},
      {[](Input* in) { in->v[1].image_points.resize(5), in->v[1].target_points.resize(5); },
       "View 1: too few points: 5, at least 6"},
      {[](Input* in) { in->v[2].target_points.pop_back(); },
       "View 2: image and target points differ in number: 54 vs. 53"},
      {[](Input* in) { in->v[0].image_points[3].x() = std::nan(""); }, "View 0: points not finite"},
      {[](Input* in) { in->v[3].target_points[0].z() = INFINITY; }, "View 3: points not finite"},
      {[](Input* in) {
         for (auto& p : in->v[1].target_points) p.y() = 0.0;
       },
       "View 1: the target's points lie on a line"},
      {[](Input* in) { in->v[2].image_points[40] = in->v[2].image_points[7]; },
       "View 2: points 7 and 40 have the same image point"},
      {[](Input* in) { in->v[3].target_points[9] = in->v[3].target_points[0]; },
       "View 3: points 0 and 9 have the same target point"},
      {[](Input* in) { in->width = 0; },
       "Image size 0 x 960 not positive or above 67108864 pixels"},
      {[](Input* in) { in->width = 1 << 14, in->height = 1 << 13; },
       "Image size 16384 x 8192 not positive or above 67108864 pixels"},
      {[](Input* in) { in->options.outlier_sigma = -1; },
       "Outlier threshold -1 not a non-negative number"},
  };
  for (const auto& [spoil, text] : cases) {
    Input in;
    spoil(&in);
    CameraFit result;  // with values no fit writes
    result.rms_px = -1.0, result.iterations = -7;
    FitFailure failure;
    LogCapture log(5);
    EXPECT_FALSE(calibrateCamera(in.v, in.width, in.height, in.options, &result, &failure)) << text;
    EXPECT_EQ(std::make_pair(result.iterations, result.rms_px), std::make_pair(-7, -1.0)) << text;
    EXPECT_EQ(log.recordsUpTo(5).size(), 1u) << text;
    EXPECT_TRUE(log.contains(2, "calibration_utils", text)) << text;
    EXPECT_EQ(fitFailureText(failure), log.recordsUpTo(5)[0].text) << text;
  }
  const Input good;
  FitFailure failure;
  LogCapture log(5);
  EXPECT_FALSE(calibrateCamera(good.v, 1280, 960, {}, nullptr, &failure));
  EXPECT_EQ(log.recordsUpTo(5).size(), 1u);
  EXPECT_TRUE(log.contains(2, "calibration_utils", "No calibration to fill"));
  EXPECT_EQ(failure.reason, FitReason::kNoResult);
}

// A pixel's cell: the image spans [-0.5, width - 0.5] (pixel centres at
// integers), cut into equal cells; points beyond it count in the nearest.
TEST(CoverageCell, CutsTheImageIntoEqualCellsFromItsPixelEdges) {
  const struct {
    double u, v;
    int columns, rows, cell;
  } cases[] = {{-0.5, -0.5, 3, 3, 0},     {319.4, 0, 4, 3, 0}, {319.5, 0, 4, 3, 1},
               {1279.5, 959.5, 4, 3, 11}, {640, 480, 3, 3, 4}, {-50, 2000, 3, 3, 6},
               {NAN, NAN, 4, 3, 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(coverageCell({c.u, c.v}, 1280, 960, c.columns, c.rows), c.cell) << c.u << ", " << c.v;
  }
}

// Exact views give back the lens at the pixel floor. The noisy fit: rms at
// the noise, the pinhole within four of its standard deviations of the
// truth, every view's pose near its true one, the same bits when repeated;
// of a few views and of many.
TEST(CalibrateCamera, ExactViewsGiveBackTheLensNoisyOnesFitWithinTheirNoiseAndUncertainty) {
  const Lens truth = dravik::testing::navigationLens();
  CameraFit exact;
  ASSERT_TRUE(calibrateCamera(navigationViews(12, 0.0), truth.width(), truth.height(), {}, &exact));
  EXPECT_LT(exact.rms_px, 1e-5);
  EXPECT_TRUE(exact.converged);
  EXPECT_LT((exact.lens.K() - truth.K()).cwiseAbs().maxCoeff(), 1e-3);
  EXPECT_TRUE(exact.lens.isSoundOverImage());
  // Watched, the fit numbers its iterations from 1 and ends where it did
  // unwatched, to the bit.
  std::vector<int> numbers;
  std::vector<double> rms;
  CameraFitOptions watched;
  watched.progress = [&](int iteration, double rms_px) {
    numbers.push_back(iteration);
    rms.push_back(rms_px);
  };
  CameraFit seen;
  ASSERT_TRUE(
      calibrateCamera(navigationViews(12, 0.0), truth.width(), truth.height(), watched, &seen));
  ASSERT_GE(numbers.size(), size_t(exact.iterations));
  for (size_t i = 0; i < numbers.size(); ++i) ASSERT_EQ(numbers[i], int(i) + 1);
  EXPECT_GT(rms.front(), 1e-3);  // the start, above the floor the fit reaches
  EXPECT_LT(*std::min_element(rms.begin(), rms.end()), 1e-5);
  EXPECT_EQ(std::memcmp(&seen.rms_px, &exact.rms_px, sizeof(double)), 0);
  EXPECT_EQ(seen.lens.distortion(), exact.lens.distortion());

  // Twenty views are fitted at once; sixty first on twenty, then together.
  for (const int count : {20, 60}) {
    SCOPED_TRACE(count);
    BoardViewOptions options;
    options.count = count;
    std::vector<Eigen::Matrix4d> true_poses;
    const std::vector<TargetView> views = boardViews(truth, options, &true_poses);
    CameraFit result, again;
    ASSERT_TRUE(calibrateCamera(views, truth.width(), truth.height(), {}, &result));
    ASSERT_TRUE(calibrateCamera(views, truth.width(), truth.height(), {}, &again));
    EXPECT_GT(result.rms_px, kLowestNoisyRms);
    EXPECT_LT(result.rms_px, kHighestNoisyRms);
    for (int i = 0; i < 4; ++i) {  // fx, fy, cx, cy: K(0, 0), K(1, 1), K(0, 2), K(1, 2)
      const int row = i % 2, column = i < 2 ? i : 2;
      EXPECT_GT(result.standard_deviations(i), 0.0) << i;
      EXPECT_NEAR(result.lens.K()(row, column), truth.K()(row, column),
                  4.0 * result.standard_deviations(i));
    }
    ASSERT_EQ(result.camera_from_target.size(), views.size());
    ASSERT_EQ(result.view_rms_px.size(), views.size());
    for (size_t v = 0; v < views.size(); ++v) {
      EXPECT_LT((result.camera_from_target[v] - true_poses[v]).cwiseAbs().maxCoeff(), 0.01) << v;
      EXPECT_LT(result.view_rms_px[v], 2.0 * kHighestNoisyRms) << v;
      EXPECT_EQ(result.kept[v], std::vector<std::uint8_t>(views[v].image_points.size(), 1)) << v;
    }
    EXPECT_TRUE(result.lens.isSoundOverImage());
    EXPECT_EQ(std::memcmp(&result.rms_px, &again.rms_px, sizeof(double)), 0);
    EXPECT_EQ(result.lens.distortion(), again.lens.distortion());
    EXPECT_TRUE(result.covariance == again.covariance);
  }
}

// Each option holds what it fixes: the terms left out stay zero and so do
// their rows of the covariance; a fixed principal point stays at the
// image's centre; tied focal lengths stay equal. (The fitted terms'
// deviations: CalibrationCovariance.EveryFittedTermHasAStandardDeviationAboveZero.)
TEST(CalibrateCamera, OptionsHoldWhatTheyFix) {
  const Lens truth = dravik::testing::navigationLens();
  const std::vector<TargetView> views = navigationViews(20, kNoise);
  CameraFitOptions none, plumb_bob, centred, square;
  none.lens_terms = LensTerms::kNone;
  plumb_bob.lens_terms = LensTerms::kPlumbBob;
  centred.fix_principal_point = true;
  square.same_focal_length = true;
  const struct {
    const char* what;
    CameraFitOptions options;
    std::vector<int> fixed;  // covariance rows that must be zero
    double highest_rms;
  } cases[] = {
      {"no lens terms", none, {4, 5, 6, 7, 8, 9, 10, 11}, 20.0},
      {"plumb bob", plumb_bob, {9, 10, 11}, 0.5},
      {"fixed principal point", centred, {2, 3}, kHighestNoisyRms},
      {"same focal length", square, {}, kHighestNoisyRms},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CameraFit result;
    ASSERT_TRUE(calibrateCamera(views, truth.width(), truth.height(), c.options, &result));
    EXPECT_LT(result.rms_px, c.highest_rms);
    for (const int row : c.fixed) {
      EXPECT_EQ(result.covariance.row(row).cwiseAbs().maxCoeff(), 0.0) << row;
      EXPECT_EQ(row < 4 ? 0.0f : result.lens.distortion()[row - 4], 0.0f) << row;
    }
    EXPECT_TRUE(result.lens.isSoundOverImage());
    EXPECT_EQ(result.lens.K().col(2) == Eigen::Vector3f(639.5f, 479.5f, 1),
              c.options.fix_principal_point);
    EXPECT_EQ(result.lens.K()(0, 0) == result.lens.K()(1, 1) &&
                  result.standard_deviations(0) == result.standard_deviations(1),
              c.options.same_focal_length);
  }
}

// Outliers beyond outlier_sigma are dropped and the rest fitted; a view of
// the target edge-on is dropped whole, with a warning.
TEST(CalibrateCamera, DropsOutliersAndAViewOfTheTargetEdgeOn) {
  const Lens truth = dravik::testing::navigationLens();
  std::vector<TargetView> views = navigationViews(8, kNoise);
  const std::pair<int, int> spoiled[] = {{0, 3}, {2, 40}, {5, 17}, {7, 53}};
  for (const auto& [view, point] : spoiled) views[view].image_points[point].x() += 25.0;
  TargetView edge_on = views[1];
  for (size_t i = 0; i < edge_on.image_points.size(); ++i)
    edge_on.image_points[i] = Eigen::Vector2d(300.0 + 5.0 * i, 400.0);
  views.push_back(edge_on);
  CameraFitOptions options;
  options.outlier_sigma = 4.0;
  CameraFit result;
  LogCapture log(3);
  ASSERT_TRUE(calibrateCamera(views, truth.width(), truth.height(), options, &result));
  EXPECT_TRUE(
      log.contains(3, "calibration_utils",
                   "View 8 sees the target edge-on (its homography is degenerate); dropped"));
  EXPECT_EQ(result.kept[8], std::vector<std::uint8_t>(54, 0));
  EXPECT_TRUE(std::isnan(result.view_rms_px[8]));
  EXPECT_TRUE(result.camera_from_target[8] == Eigen::Matrix4d::Identity());
  size_t dropped = 0;
  for (size_t v = 0; v < 8; ++v)
    dropped += std::count(result.kept[v].begin(), result.kept[v].end(), 0);
  EXPECT_GE(dropped, 4u);
  EXPECT_LE(dropped, 6u);  // the spoiled ones, and at most a couple at the tail of the noise
  for (const auto& [view, point] : spoiled) EXPECT_EQ(result.kept[view][point], 0) << view;
  EXPECT_LT(result.rms_px, kHighestNoisyRms);

  options.outlier_sigma = 0.0;
  ASSERT_TRUE(calibrateCamera(views, truth.width(), truth.height(), options, &result));
  EXPECT_GT(result.rms_px, 1.0);  // kept, the outliers spoil the fit
}

// A strong barrel lens (k1 -0.205, k4 0.115 at f 311 px of 640 x 480) seen
// by twelve boards on a 3 x 3 grid of places, each turned by 11 to 17
// degrees: its distortion bends the homographies so far that the closed form
// gives a negative 1 / fy^2. The start still finds the focal length, the fit
// converges without a warning, and it reproduces the truth where the views
// reach.
TEST(CalibrateCamera, StrongBarrelLensOnABoardGridStartsRightAndConverges) {
  const Lens truth = dravik::testing::makeLens(
      640, 480, (Eigen::Matrix3f() << 310.7f, 0, 319.45f, 0, 310.4f, 241.3f, 0, 0, 1).finished(),
      {-0.205f, 0.041f, 0.0003f, -0.0002f, 0.0f, 0.115f, 0.0052f, 0.0f});
  const dravik::testing::Chessboard board{9, 6, 0.045};
  std::mt19937 random(7);
  std::normal_distribution<double> noise(0.0, 0.1);
  std::vector<TargetView> views;
  std::vector<Eigen::Vector2d> exact;
  for (int k = 0; k < 12; ++k) {
    const Eigen::Vector2d place(640 * (k < 9 ? 0.25 + 0.25 * (k % 3) : 0.5),
                                480 * (k < 9 ? 0.26 + 0.24 * (k / 3) : 0.5));
    const double tilt_x = k < 3 ? 0.3 : (k % 2 ? 0.25 : -0.25);
    const double tilt_y = k < 3 ? (k - 1) * -0.2 : (k % 3 == 0 ? 0.25 : -0.2);
    const Eigen::Matrix4d pose =
        dravik::testing::boardPose(truth, board, place, k < 9 ? 0.5 : 0.4, tilt_x, tilt_y);
    TargetView view;
    view.image_points = dravik::testing::boardCorners(truth, board, pose, &view.target_points);
    exact.insert(exact.end(), view.image_points.begin(), view.image_points.end());
    for (Eigen::Vector2d& p : view.image_points) {
      const double noise_v = noise(random);  // one draw a statement: the same order everywhere
      const double noise_u = noise(random);
      p += Eigen::Vector2d(noise_u, noise_v);
    }
    views.push_back(std::move(view));
  }
  CameraFit result;
  LogCapture log(3);
  ASSERT_TRUE(calibrateCamera(views, truth.width(), truth.height(), {}, &result));
  EXPECT_TRUE(log.recordsUpTo(3).empty()) << log.recordsUpTo(3)[0].text;
  EXPECT_LT(result.rms_px, 0.15);
  EXPECT_TRUE(result.lens.isSoundOverImage());
  double largest = 0.0;
  for (size_t v = 0; v < views.size(); ++v) {
    const auto fitted =
        dravik::testing::boardCorners(result.lens, board, result.camera_from_target[v]);
    for (size_t i = 0; i < fitted.size(); ++i)
      largest = std::max(largest, (fitted[i] - exact[54 * v + i]).norm());
  }
  EXPECT_LT(largest, 0.3);
}

// Views in the middle third of a wide lens leave the outer image to the
// lens's extrapolation; the fit keeps it sound there, seed after seed, and
// every pixel of the image has its ray.
TEST(CalibrateCamera, CentreThirdViewsOfAWideLensGiveALensSoundOverTheWholeImage) {
  const Lens truth = dravik::testing::wideLens();
  for (unsigned seed = 1; seed <= 3; ++seed) {
    BoardViewOptions options;
    options.coverage = 1.0 / 3.0;
    options.seed = seed;
    CameraFit result;
    ASSERT_TRUE(
        calibrateCamera(boardViews(truth, options), truth.width(), truth.height(), {}, &result))
        << seed;
    EXPECT_TRUE(result.lens.isSoundOverImage()) << seed;
    EXPECT_EQ(dravik::testing::unconvergedPixels(result.lens), 0) << seed;
    EXPECT_LT(result.rms_px, kHighestNoisyRms) << seed;
  }
}

// Exact views of wide rational lenses (the corners 60 to 70 degrees off
// axis), the boards near (0.25 to 1 m) and tilted 15 to 40 degrees, spread
// over the image: the fit reaches the zero-residual minimum, the lens found
// again. A start without distortion led the fit of the navigation lens into
// a valley of the rational terms at rms 0.5 to 2 px, fx 620 to 690, for most
// pose seeds. The lens seeds are some of those the fit solves (of 30, 18).
TEST(CalibrateCamera, ExactNearTiltedViewsOfWideLensesReachTheZeroResidualMinimum) {
  const struct {
    unsigned lens_seed, pose_seed;
  } cases[] = {{0, 2}, {0, 4}, {0, 5}, {0, 10}, {0, 11}, {0, 15}, {1, 1}, {4, 4}, {11, 11}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "lens " << c.lens_seed << ", poses " << c.pose_seed);
    const Lens truth = dravik::testing::wideRationalLens(c.lens_seed);
    ASSERT_TRUE(truth.isSoundOverImage());
    dravik::testing::NearViewOptions options;
    options.seed = c.pose_seed;
    const std::vector<TargetView> views = dravik::testing::nearTiltedViews(truth, options);
    ASSERT_EQ(views.size(), 15u);
    CameraFit result;
    ASSERT_TRUE(calibrateCamera(views, truth.width(), truth.height(), {}, &result));
    EXPECT_LT(result.rms_px, 1e-3);
    EXPECT_LT((result.lens.K() - truth.K()).cwiseAbs().maxCoeff(), 0.01);
    EXPECT_TRUE(result.lens.isSoundOverImage());
  }
}

TEST(ProjectionUncertainty, RefusesWhatItCannotUse) {
  CameraFit good;
  ASSERT_TRUE(calibrateCamera(navigationViews(6, kNoise), 1280, 960, {}, &good));
  const std::pair<const char*, std::function<void(CameraFit*, int*)>> cases[] = {
      {"a zero step", [](auto*, int* step) { *step = 0; }},
      {"a step wider than the image", [](auto*, int* step) { *step = 2000; }},
      {"the lens of no image", [](auto* c, int*) { c->lens = Lens(); }},
      {"a covariance not finite", [](auto* c, int*) { c->covariance(3, 3) = std::nan(""); }},
  };
  for (const auto& [what, spoil] : cases) {
    CameraFit calibration = good;
    int step = 16;
    spoil(&calibration, &step);
    std::vector<float> sigma = {7.0f};
    LogCapture log(5);
    EXPECT_FALSE(projectionUncertainty(calibration, step, &sigma)) << what;
    EXPECT_EQ(sigma, std::vector<float>{7.0f}) << what;
    ASSERT_EQ(log.recordsUpTo(5).size(), 1u) << what;
    EXPECT_EQ(log.recordsUpTo(5)[0].level, 2) << what;
  }
  EXPECT_FALSE(projectionUncertainty(good, 16, nullptr));
}

}  // namespace
