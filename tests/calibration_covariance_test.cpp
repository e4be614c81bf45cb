#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "support/calibration_views.h"
#include "support/log_capture.h"

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
#include <opencv2/calib3d.hpp>
#include <opencv2/core/utility.hpp>
#endif

namespace {

using dravik::calibration::calibrateCamera;
using dravik::calibration::CameraFit;
using dravik::calibration::CameraFitOptions;
using dravik::calibration::Lens;
using dravik::calibration::LensTerms;
using dravik::calibration::projectionUncertainty;
using dravik::calibration::summarizeUncertainty;
using dravik::calibration::TargetView;
using dravik::calibration::UncertaintySummary;
using dravik::testing::BoardViewOptions;
using dravik::testing::boardViews;
using dravik::testing::LogCapture;
using dravik::testing::navigationViews;

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Views of a 9 x 6 board of 4 cm squares held square to the optical axis,
// at different places and distances: a focal length twice as long seen
// from twice as far gives the same pixels (the lens terms rescaled with it).
std::vector<TargetView> frontoParallelViews(const Lens& lens) {
  std::vector<TargetView> views;
  for (int v = 0; v < 8; ++v) {
    const Eigen::Vector3d t(-0.35 + 0.1 * (v % 4), -0.25 + 0.15 * (v / 4), 0.7 + 0.06 * v);
    TargetView view;
    for (int i = 0; i < 54; ++i) {
      const Eigen::Vector3d corner(0.04 * (i % 9), 0.04 * (i / 9), 0.0);
      view.image_points.push_back(lens.project(corner + t));
      view.target_points.push_back(corner);
    }
    views.push_back(view);
  }
  return views;
}

bool fitted(const CameraFitOptions& options, int term) {
  const int lens_terms = options.lens_terms == LensTerms::kRational   ? 8
                         : options.lens_terms == LensTerms::kPlumbBob ? 5
                                                                      : 0;
  if (term == 2 || term == 3) return !options.fix_principal_point;
  return term < 4 || term - 4 < lens_terms;
}

// The standard deviation of a fitted term is never zero, whatever the terms,
// the options, or the noise (none at all included); a fixed term's is.
TEST(CalibrationCovariance, EveryFittedTermHasAStandardDeviationAboveZero) {
  struct Case {
    const char* what;
    CameraFitOptions options;
    double noise;
  };
  const auto with = [](LensTerms terms, bool fix_principal_point, bool same_focal_length) {
    CameraFitOptions options;
    options.lens_terms = terms;
    options.fix_principal_point = fix_principal_point;
    options.same_focal_length = same_focal_length;
    return options;
  };
  const Case cases[] = {
      {"rational", with(LensTerms::kRational, false, false), 0.2},
      {"rational, exact corners", with(LensTerms::kRational, false, false), 0.0},
      {"plumb-bob", with(LensTerms::kPlumbBob, false, false), 0.2},
      {"no lens terms, principal point fixed", with(LensTerms::kNone, true, false), 0.2},
      {"one focal length", with(LensTerms::kRational, false, true), 0.2},
  };
  for (const Case& c : cases) {
    CameraFit result;
    ASSERT_TRUE(calibrateCamera(navigationViews(12, c.noise, 3), 1280, 960, c.options, &result))
        << c.what;
    for (int i = 0; i < 12; ++i) {
      if (fitted(c.options, i)) {
        EXPECT_GT(result.standard_deviations(i), 0.0) << c.what << ", term " << i;
      } else {
        EXPECT_EQ(result.standard_deviations(i), 0.0) << c.what << ", term " << i;
      }
    }
    if (c.options.same_focal_length) {
      EXPECT_EQ(result.standard_deviations(0), result.standard_deviations(1)) << c.what;
    }
  }
}

// Square-on views cannot tell the focal length from the distance: the
// direction is named, the focal lengths' deviations are infinite, and so is
// the uncertainty of every pixel off the principal point, counted as such.
TEST(CalibrationCovariance, NamesWhatSquareOnViewsLeaveUndeterminedAndCallsItUnbounded) {
  const Lens truth = dravik::testing::navigationLens();
  for (const LensTerms terms : {LensTerms::kPlumbBob, LensTerms::kRational}) {
    const std::string what = terms == LensTerms::kPlumbBob ? "plumb-bob" : "rational";
    CameraFitOptions options;
    options.lens_terms = terms;
    CameraFit result;
    LogCapture log(3);
    ASSERT_TRUE(calibrateCamera(frontoParallelViews(truth), truth.width(), truth.height(), options,
                                &result))
        << what;
    ASSERT_FALSE(result.undetermined.empty()) << what;
    const std::string& description = result.undetermined[0].description;
    EXPECT_NE(description.find("fx"), std::string::npos) << what << ": " << description;
    EXPECT_NE(description.find("trade against"), std::string::npos) << what << ": " << description;
    EXPECT_EQ(result.standard_deviations(0), kInfinity) << what;
    EXPECT_EQ(result.standard_deviations(1), kInfinity) << what;
    bool warned = false;
    for (const auto& record : log.recordsUpTo(3)) {
      warned = warned || (record.level == 3 && record.text.find(description) != std::string::npos);
    }
    EXPECT_TRUE(warned) << what;

    constexpr int kStep = 32;
    std::vector<float> sigma;
    ASSERT_TRUE(projectionUncertainty(result, kStep, &sigma)) << what;
    UncertaintySummary summary;
    ASSERT_TRUE(summarizeUncertainty(result, kStep, sigma, &summary)) << what;
    EXPECT_GT(summary.share_unbounded, 0.99) << what;
    EXPECT_EQ(summary.share_above_1px, summary.share_above_5px) << what;
    EXPECT_GE(summary.share_above_5px, summary.share_unbounded) << what;
    EXPECT_EQ(summary.largest_covered_px, kInfinity) << what;
  }
}

// Views in the middle half of the image. The headline is the largest
// uncertainty where the kept corners reach (their convex hull), not in a
// corner of the image that no view saw; the image's shares beyond 1 and 5 px
// are counted apart. The uncertainty in the image's corners, beyond the radii
// the views reach, is far above that in the middle (the lens is radial:
// views of one side teach it the other side's radii).
TEST(CalibrationCovariance, SummarizesTheCoveredRegionApartFromTheWholeImage) {
  const Lens truth = dravik::testing::navigationLens();
  BoardViewOptions options;
  options.count = 12;
  options.coverage = 0.5;
  CameraFit result;
  ASSERT_TRUE(
      calibrateCamera(boardViews(truth, options), truth.width(), truth.height(), {}, &result));
  EXPECT_LT(result.rms_px, 0.30);
  ASSERT_GE(result.covered_region.size(), 3u);
  for (const Eigen::Vector2d& p : result.covered_region) {
    EXPECT_NEAR(p.x(), 640.0, 0.27 * 1280) << p.transpose();
    EXPECT_NEAR(p.y(), 480.0, 0.27 * 960) << p.transpose();
  }
  constexpr int kStep = 16;
  std::vector<float> sigma;
  ASSERT_TRUE(projectionUncertainty(result, kStep, &sigma));
  UncertaintySummary summary;
  ASSERT_TRUE(summarizeUncertainty(result, kStep, sigma, &summary));
  float largest = 0.0f;
  for (const float s : sigma) largest = std::max(largest, s);
  const int columns = truth.width() / kStep, rows = truth.height() / kStep;
  ASSERT_EQ(sigma.size(), static_cast<size_t>(columns * rows));
  double middle = 0.0, corners = kInfinity;
  for (int j = rows / 4; j < 3 * rows / 4; ++j)
    for (int i = columns / 4; i < 3 * columns / 4; ++i)
      middle = std::max(middle, double(sigma[j * columns + i]));
  for (const int j : {0, rows - 1})
    for (const int i : {0, columns - 1})
      corners = std::min(corners, double(sigma[j * columns + i]));
  EXPECT_GT(middle, 0.0);
  EXPECT_GT(corners, 3.0 * middle);
  EXPECT_GT(summary.largest_covered_px, 0.0);
  EXPECT_LT(summary.largest_covered_px, 5.0);
  EXPECT_GT(largest, 100.0 * summary.largest_covered_px);
  EXPECT_NEAR(summary.largest_covered_at.x(), 640.0, 0.27 * 1280);
  EXPECT_GT(summary.share_above_5px, 0.3);
  EXPECT_LT(summary.share_above_5px, 0.9);
  EXPECT_LE(summary.share_above_5px, summary.share_above_1px);
  EXPECT_EQ(summary.share_unbounded, 0.0);

  UncertaintySummary untouched;
  untouched.share_above_1px = 7.0;
  LogCapture log(5);
  EXPECT_FALSE(summarizeUncertainty(result, kStep + 1, sigma, &untouched));
  EXPECT_FALSE(summarizeUncertainty(result, kStep, sigma, nullptr));
  EXPECT_EQ(untouched.share_above_1px, 7.0);
  EXPECT_EQ(log.recordsUpTo(5).size(), 2u);
}

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
// Where OpenCV's fit and this one reach the same minimum (every term within
// a twentieth of its standard deviation), their standard deviations agree
// within 5 %: sigma^2 S^-1 with the poses marginalised, sigma^2 over 2 n - p
// (OpenCV before 4.7 divided by n - p: the reference brings it to 2 n - p).
TEST(CalibrationCovariance, MatchesOpenCvsStandardDeviationsWhereBothReachTheSameMinimum) {
  cv::setNumThreads(1);
  const Lens truth = dravik::testing::navigationLens();
  // Seeds of 20 views with 0.2 px of noise on which both fits stop at the
  // same point of the rational lens's valley.
  for (const unsigned seed : {1u, 9u, 30u}) {
    const std::vector<TargetView> views = navigationViews(20, 0.2, seed);
    CameraFit ours;
    ASSERT_TRUE(calibrateCamera(views, truth.width(), truth.height(), {}, &ours)) << seed;
    const dravik::testing::OpenCvCalibration opencv = dravik::testing::openCvCalibration(
        views, truth.width(), truth.height(), cv::CALIB_RATIONAL_MODEL);
    EXPECT_NEAR(ours.rms_px, opencv.rms, 1e-5) << seed;
    EXPECT_TRUE(ours.undetermined.empty()) << seed;
    for (int i = 0; i < 12; ++i) {
      const double value = i < 4 ? double(ours.lens.K()(i < 2 ? i : i - 2, i < 2 ? i : 2))
                                 : double(ours.lens.distortion()[size_t(i - 4)]);
      const double reference = i < 4 ? double(opencv.lens.K()(i < 2 ? i : i - 2, i < 2 ? i : 2))
                                     : double(opencv.lens.distortion()[size_t(i - 4)]);
      ASSERT_NEAR(value, reference, 0.05 * opencv.standard_deviations(i))
          << "seed " << seed << ", term " << i << ": not the same minimum";
      EXPECT_NEAR(ours.standard_deviations(i) / opencv.standard_deviations(i), 1.0, 0.05)
          << "seed " << seed << ", term " << i;
    }
  }
}
#endif

}  // namespace
