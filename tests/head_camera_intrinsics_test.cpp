// The head camera: intrinsics of its 640 x 480 mode recomputed from the
// sample points through the sensor transform.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "calibration_common/camera_parameters.h"
#include "calibration_utils/lens.h"
#include "calibration_utils/opencv_projection.h"
#include "calibration_utils/single_image_calibration.h"
#include "dravik/geometry.h"
#include "support/calibration_fixtures.h"
#include "support/head_sensor_tables.h"
#include "support/log_capture.h"

namespace dravik::calibration {
namespace {

using testing::LogCapture;
using Intrinsics = CameraParameters::Intrinsics;
using Points = std::vector<Eigen::Vector2f>;
using Texts = std::vector<std::pair<int, std::string>>;

class HeadRecord : public CameraParameters {
 public:
  using CameraParameters::recomputeIntrinsics;
};

class ShiftingTransform : public ImageSensorTransform {
 public:
  Eigen::Vector2f transformPoint(const Eigen::Vector2f& p) const override {
    return Eigen::Vector2f(2.0f * p.x() + 1.0f, 3.0f * p.y() - 5.0f);  // stands for the sensor's
  }
};

Texts levelsAndTexts(const LogCapture& log) {
  Texts out;
  for (const LogRecord& r : log.recordsUpTo(5))
    if (r.tag == "camera_parameters") out.emplace_back(r.level, r.text);
  return out;
}

// A generic camera with three sample points, recomputed through the shifting
// transform and a calibration that writes fixed values and returns `error`.
// A failed fit reports NaN (infinity is above ten): it may not pass; exactly 10 passes.
// On success the transformed points (in stored order) go to the fit, whose
// result is written with zero skew and k1 k2 p1 p2 k3..k6; the size stays.
TEST(CameraParametersRecomputeIntrinsics, WritesTheFitOnlyIfItsErrorPerPointIsAtMostTen) {
  HeadRecord record;
  ASSERT_TRUE(record.readProto(testing::cameraMessage(
      testing::cameraText("probe", "generic", 1280, 960, true,
                          "    sample_points { pixel_x: 10 pixel_y: 20 target_x: 0 target_y: 0 }\n"
                          "    sample_points { pixel_x: 30 pixel_y: 40 target_x: 1 target_y: 0 }\n"
                          "    sample_points { pixel_x: 50 pixel_y: 60 target_x: 0 target_y: 1 }\n"
                          "    sample_scalar: 0.025 sample_width: 3 sample_height: 1\n"))));
  const std::pair<double, std::string> cases[] = {
      {10.0, "10"}, {10.5, "10.5"}, {std::numeric_limits<double>::quiet_NaN(), "nan"}};
  const Intrinsics untouched{7, 9, {1.0f, 2.0f, 3.0f}, -1.0f, 0.0f, 3.0f, 0.0f, 0.0f};
  Points image, target;
  Eigen::Vector2i size, grid;
  double scalar = 0.0, error = 0.0;
  const auto calibration = [&](const Points& i, const Points& t, const Eigen::Vector2i& s,
                               double sc, const Eigen::Vector2i& g, OpenCVProjection<double>* p,
                               FitFailure*) {
    std::tie(image, target, size, scalar, grid) = std::tie(i, t, s, sc, g);
    std::tie(p->fx, p->fy, p->cx, p->cy, p->k1, p->k2, p->k3, p->k4, p->k5, p->k6, p->p1, p->p2) =
        std::make_tuple(601.0, 602.0, 303.0, 204.0, 0.11, 0.12, 0.13, 0.14, 0.15, 0.16, 0.021,
                        0.022);
    return error;
  };
  for (const auto& [value, shown] : cases) {
    SCOPED_TRACE(shown);
    error = value;
    Intrinsics out = untouched;
    LogCapture log(5);
    const bool accepted = error == 10.0;
    EXPECT_EQ(record.recomputeIntrinsics(ShiftingTransform(), calibration, &out), accepted);
    Texts expected = {{5, "Recomputed intrinsics : error per point=" + shown}};
    if (!accepted)
      expected.emplace_back(2, "Error recomputing calibration. Error per point=" + shown);
    EXPECT_EQ(levelsAndTexts(log), expected);
    if (!accepted) {
      testing::expectSameIntrinsics(out, untouched);
      continue;
    }
    EXPECT_EQ(
        std::tie(image, target, size, grid, scalar),
        std::make_tuple(Points{{21, 55}, {61, 115}, {101, 175}}, Points{{0, 0}, {1, 0}, {0, 1}},
                        Eigen::Vector2i(1280, 960), Eigen::Vector2i(3, 1), double(0.025f)));
    const Intrinsics fitted{
        7, 9, {0.11f, 0.12f, 0.021f, 0.022f, 0.13f, 0.14f, 0.15f, 0.16f}, 601, 602, 0, 303, 204};
    testing::expectSameIntrinsics(out, fitted);
  }
}

// Rays through the full-frame lens, the sensor transform and half scale,
// against the same rays through the 640 x 480 entry the default set serves:
// within half a pixel wherever they land in the image, corners included. The
// entry is recomputed from the sample points.
TEST(CameraParametersRecomputeIntrinsics,
     DefaultHeadEntryFollowsTheComposedMappingOverTheWholeImage) {
  const auto head = CameraParametersSet().getCamera("head");
  ASSERT_NE(head, nullptr);
  EXPECT_EQ(head->getModel(), "kv006h");
  const Intrinsics& full = head->getFullFrame();
  const Lens lens = head->getLens(640, 480);
  const AptinaSTE transform = testing::headSensorTransform();
  double largest = 0.0;
  int kept = 0;
  bool corner_reached[4] = {false, false, false, false};
  for (double x = -3.0; x <= 3.0; x += 0.01) {
    for (double y = -3.0; y <= 3.0; y += 0.01) {
      double xd, yd;
      distortNormalized(full.distortion.data(), x, y, &xd, &yd);
      const Eigen::Vector2f truth =
          0.5f * transform.transformPoint(
                     Eigen::Vector2f(float(full.fx * xd + full.cx), float(full.fy * yd + full.cy)));
      if (!(truth.x() >= 0.0f && truth.x() <= 640.0f && truth.y() >= 0.0f && truth.y() <= 480.0f))
        continue;
      largest =
          std::max(largest, (lens.project(Eigen::Vector3d(x, y, 1)) - truth.cast<double>()).norm());
      ++kept;
      corner_reached[(truth.x() > 320.0f) + 2 * (truth.y() > 240.0f)] |=
          std::min(truth.x(), 640.0f - truth.x()) < 5.0f &&
          std::min(truth.y(), 480.0f - truth.y()) < 5.0f;
    }
  }
  EXPECT_GT(kept, 10000);
  for (bool reached : corner_reached) EXPECT_TRUE(reached);
  EXPECT_LT(largest, 0.5);  // pixels
}

TEST(CameraParametersRecomputeIntrinsics, HeadCameraWithoutSamplePointsIsRejected) {
  CameraCalibration message = CameraParametersSet().getCamera("head")->getCalibration();
  message.mutable_intrinsics()->clear_sample_points();
  HeadRecord record;
  LogCapture log(5);
  EXPECT_FALSE(record.readProto(message));
  EXPECT_TRUE(record.getIntrinsicsTable().empty());
  EXPECT_EQ(levelsAndTexts(log),
            (Texts{{5, "Using Kestovan head camera model."},
                   {2,
                    "Can not find calibration sample points to recompute intrinsics "
                    "parameters."}}));
}

// The embedded default's 640 x 480 record comes from the fit made when the
// library was built; it is, to the last bit, the fit made now, and it logs
// the fit's error as a fit run now does; its distortion is pinned to the bit.
TEST(CameraParametersRecomputeIntrinsics, TheDefaultsBuildTimeFitIsTheFitMadeNow) {
  const auto head = CameraParametersSet().getCamera("head");
  HeadRecord record;
  LogCapture log(5);
  ASSERT_TRUE(record.readProto(head->getCalibration()));
  const Texts built = levelsAndTexts(log);
  Intrinsics now;
  ASSERT_TRUE(
      record.recomputeIntrinsics(testing::headSensorTransform(), calibrateFromSingleImage, &now));
  // The fit is of the full frame; the 640 x 480 mode halves it.
  const Eigen::Matrix3f K = head->getIntrinsics(640, 480);
  EXPECT_EQ(Eigen::Vector4f(K(0, 0), K(1, 1), K(0, 2), K(1, 2)),
            0.5f * Eigen::Vector4f(now.fx, now.fy, now.cx, now.cy));
  EXPECT_EQ(head->getDistortion(640, 480), now.distortion);
  // The bits camcal cameras prints, the same on every machine: the fit's
  // arithmetic does not depend on the instruction set it runs on.
  EXPECT_EQ(head->getDistortion(640, 480),
            (std::vector<float>{0.27864152f, -0.14201184f, 0.0006162727f, -0.0004092736f,
                                -0.021885155f, 0.5557044f, -0.123626545f, -0.05948272f}));
  const Texts all = levelsAndTexts(log);
  ASSERT_EQ(all.size(), built.size() + 1);
  EXPECT_EQ(all.back(), built[1]);  // "Recomputed intrinsics : error per point=..."
  EXPECT_EQ(built[1].second.rfind("Recomputed intrinsics : error per point=", 0), 0u);
}

}  // namespace
}  // namespace dravik::calibration
