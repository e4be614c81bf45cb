// The rational camera model on a planar target and the single-view
// calibration that fits it.
#include "calibration_utils/single_image_calibration.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "calibration_common/camera_parameters.h"
#include "calibration_utils/lens.h"
#include "support/head_sensor_tables.h"
#include "support/log_capture.h"
#include "support/synthetic_view.h"
#include "support/undistortion_lenses.h"

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
#include <opencv2/calib3d.hpp>
#endif

namespace {

using dravik::calibration::calibrateFromSingleImage;
using dravik::testing::GridView;
using dravik::testing::TruthCamera;

using Projection = TruthCamera;

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
  for (auto& row : p->rotation) all.insert(all.end(), {&row[0], &row[1], &row[2]});
  return all;
}

// The camera's lens on the 1280 x 960 image, as the maps and checks take it.
dravik::calibration::Lens lensOf(const TruthCamera& c) {
  const auto d = c.distortionCoefficients();
  dravik::LensCoefficients coefficients;
  std::copy(d.begin(), d.end(), coefficients.begin());
  return dravik::testing::makeLens(
      kImageSize.x(), kImageSize.y(),
      (Eigen::Matrix3f() << c.fx, 0, c.cx, 0, c.fy, c.cy, 0, 0, 1).finished(), coefficients);
}

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
// OpenCV's fit of the same points with the same model, from the true intrinsics.
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

// The largest distance between the pixels of the same rays through two lenses,
// over the rays whose pixel through `reference` lies in [u0, u1] x [v0, v1].
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
TEST(CalibrateFromSingleImage, RecoversTheCameraFromAnExactObliqueView) {
  TruthCamera truth;
  const GridView view = dravik::testing::obliqueView(0.0, 1, &truth);
  Projection fitted;
  EXPECT_LT(calibrate(view, &fitted), kNoiseFreeErrorBound);
  for (double TruthCamera::*intrinsic :
       {&TruthCamera::fx, &TruthCamera::fy, &TruthCamera::cx, &TruthCamera::cy})
    EXPECT_NEAR(fitted.*intrinsic, truth.*intrinsic, 0.01);
  for (int r = 0; r < 3; ++r) EXPECT_NEAR(fitted.translation[r], truth.translation[r], 1e-5);
  const Eigen::Matrix3d R = Eigen::Map<const Eigen::Matrix3d>(&fitted.rotation[0][0]);
  EXPECT_NEAR((R * R.transpose() - Eigen::Matrix3d::Identity()).norm(), 0.0, 1e-12);
  EXPECT_NEAR(R.determinant(), 1.0, 1e-12);
  EXPECT_LT(largestRayDisagreement(truth, fitted, 90, 100, 1123, 809), 1e-3);
  EXPECT_LT(largestRayDisagreement(truth, fitted, 0, 0, 1280, 960), 0.1);
}

// The error matches the view's noise and is no worse than OpenCV's (to 2 %).
TEST(CalibrateFromSingleImage, NoisyViewsFitToTheirNoiseWithASoundLens) {
  for (unsigned seed : {1u, 2u, 3u}) {
    TruthCamera truth;
    const GridView view = dravik::testing::obliqueView(kNoise, seed, &truth);
    Projection fitted;
    const double error = calibrate(view, &fitted);
    EXPECT_NEAR(error / view.truth_rms, 1.0, kRelativeErrorTolerance) << seed;
#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
    EXPECT_LE(error, 1.02 * openCvError(view, truth)) << seed;
#endif
  }
}

// Every lens the fit accepts is sound by the one rule the maps, checks and
// plots apply (Lens::isSoundOverImage). The first lens folds in a band (r
// 0.7086 to 0.7175) narrower than a sampled rule's step; the rest are random,
// each seen obliquely by a grid inside its own sound part of the image.
TEST(CalibrateFromSingleImage, EveryAcceptedLensIsSoundOverTheImageByTheExactRule) {
  dravik::testing::LogCapture quiet(1);
  std::mt19937 random(11);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  int accepted = 0;
  for (int trial = 0; trial < 40; ++trial) {
    TruthCamera truth{500.0,   500.0,  640.0,  480.0,  {},     {},  -0.4776,
                      -0.3130, 0.8206, 0.4961, 0.4436, 0.1775, 0.0, 0.0};
    if (trial > 0) {
      truth.k1 = 0.4 * unit(random), truth.k2 = 0.3 * unit(random), truth.k3 = 0.8 * unit(random);
      truth.k4 = 0.5 * unit(random), truth.k5 = 0.4 * unit(random), truth.k6 = 0.2 * unit(random);
    }
    const dravik::calibration::Lens truth_lens = lensOf(truth);
    const double reach = truth_lens.soundRegion().radius;
    // One draw per statement: the same targets from every compiler (the last
    // argument first, as the tests' first build drew them).
    const double target_z = 0.3 * unit(random);
    const double target_y = 0.4 * unit(random);
    const double target_x = 0.4 * unit(random);
    dravik::testing::placeTarget(target_x, target_y, target_z, Eigen::Vector2d(0.28, 0.2), 0.6,
                                 &truth);
    GridView view =
        dravik::testing::gridView(truth, 15, 11, 40.0, 0.001, kImageSize, 0.2, unsigned(trial + 1));
    GridView inside;
    for (size_t i = 0; i < view.image.size(); ++i) {
      const auto ray = truth_lens.normalize(view.image[i].cast<double>());
      if (ray.converged && ray.point.norm() < 0.95 * reach) {
        inside.image.push_back(view.image[i]);
        inside.target.push_back(view.target[i]);
      }
    }
    if (inside.image.size() < 30) continue;
    Projection fitted;
    if (!std::isfinite(calibrate(inside, &fitted))) continue;
    ++accepted;
    EXPECT_TRUE(lensOf(fitted).isSoundOverImage()) << "trial " << trial;
  }
  EXPECT_GT(accepted, 20);
}

// Without perspective the fit warns once, assumes a 60 degree field of view,
// and still fits the points.
TEST(CalibrateFromSingleImage, ViewWithoutPerspectiveAssumesAFieldOfViewAndWarns) {
  dravik::testing::LogCapture log(3);
  Projection fitted;
  EXPECT_LT(calibrate(frontoParallelView(), &fitted), 1e-3);
  const double assumed = 0.8660254 * kImageSize.x();
  EXPECT_NEAR(fitted.fx, assumed, 0.02 * assumed);
  EXPECT_NEAR(fitted.fy / fitted.fx, 1.0, 0.01);
  const auto records = log.recordsUpTo(3);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(std::tie(records[0].level, records[0].tag), std::make_tuple(3, "calibration_utils"));
}

// Each bad input gives a non-finite error, one level-2 record, and leaves the
// projection as it was.
TEST(CalibrateFromSingleImage, BadInputFailsWithoutTouchingTheProjection) {
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
      {"scalar not finite", [](Input* in) { in->scalar = std::nan(""); }},
      {"empty image", [](Input* in) { in->image_size = Eigen::Vector2i(0, 960); }},
      {"more points than the grid", [](Input* in) { in->grid = Eigen::Vector2i(10, 10); }},
  };
  for (const auto& [what, spoil] : cases) {
    Input in;
    spoil(&in);
    dravik::testing::LogCapture log(2);
    Projection projection;
    projection.fx = 123.0;
    dravik::calibration::FitFailure failure;
    const double error = calibrateFromSingleImage(in.view.image, in.view.target, in.image_size,
                                                  in.scalar, in.grid, &projection, &failure);
    EXPECT_FALSE(std::isfinite(error)) << what;
    EXPECT_EQ(std::make_pair(projection.fx, projection.cx), std::make_pair(123.0, 0.0)) << what;
    ASSERT_EQ(log.recordsUpTo(2).size(), 1u) << what;
    EXPECT_EQ(dravik::calibration::fitFailureText(failure), log.recordsUpTo(2)[0].text) << what;
  }
}

// The fit agrees with the reference fit (by automatic derivatives) of the
// same views within its documented accuracy: the error per point to 1e-6
// relative, the fitted pixels of three target points to 1e-5 px; the head
// camera's sample points through the sensor remap of its 640 x 480 mode.
TEST(CalibrateFromSingleImage, AgreesWithTheReferenceFitWithinItsAccuracy) {
  const auto head = dravik::calibration::CameraParametersSet().getCamera("head");
  GridView head_view;
  for (const auto& sample : head->getCalibration().intrinsics().sample_points()) {
    head_view.image.push_back(dravik::testing::headSensorTransform().transformPoint(
        {sample.pixel_x(), sample.pixel_y()}));
    head_view.target.emplace_back(sample.target_x(), sample.target_y());
  }
  constexpr double kRelativeErrorAgreement = 1e-6;
  constexpr double kPixelAgreement = 1e-5;
  struct Reference {
    const char* what;
    GridView view;
    double error;
    double pixels[6];  // u, v of the first, middle and last target points
  };
  const Reference references[] = {
      {"head camera, sensor remapped", head_view, 0.0236022009748987, 85.732532259330696,
       57.532101757294981, 747.8715491033546, 616.5363117532645, 966.70108910607883,
       793.10678568118726},
      // Its fit ends on the edge of the lenses that are one to one over the
      // image with their tangential terms (the corner 1 % short of a fold).
      {"noisy oblique view", dravik::testing::obliqueView(kNoise, 2), 0.42417284327390714,
       102.59756377940346, 101.62205808772165, 637.0702216531746, 539.87660463676116,
       928.92508693833861, 763.41406498165611},
  };
  for (const Reference& reference : references) {
    Projection fitted;
    const double error = calibrate(reference.view, &fitted);
    EXPECT_NEAR(error / reference.error, 1.0, kRelativeErrorAgreement) << reference.what;
    const size_t n = reference.view.target.size();
    const size_t points[3] = {0, n / 2, n - 1};
    for (int k = 0; k < 3; ++k) {
      const Eigen::Vector2f& target = reference.view.target[points[k]];
      double u, v;
      fitted.projectTargetPoint(kMetresPerUnit * target.x(), kMetresPerUnit * target.y(), &u, &v);
      EXPECT_NEAR(u, reference.pixels[2 * k], kPixelAgreement) << reference.what << " " << k;
      EXPECT_NEAR(v, reference.pixels[2 * k + 1], kPixelAgreement) << reference.what << " " << k;
    }
  }
}

// A repeated fit repeats the first bit for bit, with the same records: a view
// that warns warns every time, a view that fails fails every time.
TEST(CalibrateFromSingleImage, RepeatedFitRepeatsTheFirstAndItsRecords) {
  using Records = std::vector<std::pair<int, std::string>>;
  GridView spoiled = frontoParallelView();
  spoiled.image[7].y() = std::numeric_limits<float>::quiet_NaN();
  for (const GridView& view : {frontoParallelView(), spoiled}) {
    double errors[2];
    Projection fits[2];
    Records records[2];
    for (int run = 0; run < 2; ++run) {
      dravik::testing::LogCapture log(5);
      errors[run] = calibrate(view, &fits[run]);
      for (const auto& record : log.recordsUpTo(5))
        records[run].emplace_back(record.level, record.text);
    }
    EXPECT_EQ(std::memcmp(&errors[0], &errors[1], sizeof(double)), 0);
    EXPECT_EQ(records[0].size(), 1u);
    EXPECT_EQ(records[0], records[1]);
    const auto first = parameters(&fits[0]), second = parameters(&fits[1]);
    for (size_t i = 0; i < first.size(); ++i) EXPECT_EQ(*first[i], *second[i]) << i;
  }
}

}  // namespace
