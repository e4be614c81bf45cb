// The head camera: intrinsics of its 640 x 480 mode recomputed from the
// sample points through the sensor transform, its table, and the embedded
// default head camera.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "calibration_common/camera_parameters.h"
#include "calibration_utils/opencv_projection.h"
#include "calibration_utils/single_image_calibration.h"  // CalibrationJet
#include "dravik/geometry.h"
#include "support/calibration_fixtures.h"
#include "support/head_sensor_tables.h"
#include "support/log_capture.h"

namespace dravik {
namespace calibration {
namespace {

using testing::embeddedDefaultCamera;
using testing::headSensorTransform;
using testing::LogCapture;
using Intrinsics = CameraParameters::Intrinsics;
using Projection = OpenCVProjection<CalibrationJet>;
using Points = std::vector<Eigen::Vector2f>;
using Texts = std::vector<std::pair<int, std::string>>;

// The 640 x 480 entry against the true composed mapping, everywhere in the
// image.
constexpr double kComposedMappingTolerancePixels = 0.5;

// A record whose recomputation tests may call.
class HeadRecord : public CameraParameters {
 public:
  using CameraParameters::recomputeIntrinsics;
};

// Moves a pixel by a fixed affine map.
class ShiftingTransform : public ImageSensorTransform {
 public:
  Eigen::Vector2f transformPoint(const Eigen::Vector2f& p) const override {
    return Eigen::Vector2f(2.0f * p.x() + 1.0f, 3.0f * p.y() - 5.0f);
  }
};

Texts levelsAndTexts(const LogCapture& log) {
  Texts out;
  for (const LogRecord& r : log.recordsUpTo(5)) {
    if (r.tag == "camera_parameters") out.emplace_back(r.level, r.text);
  }
  return out;
}

// What a recomputation through a stand-in calibration returned, logged and
// handed to the calibration.
struct Recomputation {
  bool result;
  Intrinsics out;
  Texts records;
  Points image, target;
  Eigen::Vector2i size, grid;
  double scalar = 0.0;
};

// Recomputes a generic camera with three sample points (its record reads
// without recomputing) through the shifting transform and a calibration that
// fills the projection with fixed, distinct values and returns `error`.
Recomputation recomputeWithError(double error) {
  HeadRecord record;
  EXPECT_TRUE(record.readProto(testing::cameraMessage(testing::cameraText(
      "probe", "generic", 1280, 960, true,
      "    sample_points { pixel_x: 10 pixel_y: 20 target_x: 0 target_y: 0 }\n"
      "    sample_points { pixel_x: 30 pixel_y: 40 target_x: 1 target_y: 0 }\n"
      "    sample_points { pixel_x: 50 pixel_y: 60 target_x: 0 target_y: 1 }\n"
      "    sample_scalar: 0.025 sample_width: 3 sample_height: 1\n"))));
  Recomputation r;
  r.out = Intrinsics{7, 9, {1.0f, 2.0f, 3.0f}, -1.0f, 0.0f, 3.0f, 0.0f, 0.0f};
  const auto calibration = [&](const Points& image, const Points& target,
                               const Eigen::Vector2i& size, double scalar,
                               const Eigen::Vector2i& grid, Projection* p) {
    std::tie(r.image, r.target, r.size, r.scalar, r.grid) =
        std::tie(image, target, size, scalar, grid);
    const double values[12] = {601.0, 602.0, 303.0, 204.0, 0.11, 0.12,
                               0.13,  0.14,  0.15,  0.16,  0.021, 0.022};
    CalibrationJet* fields[12] = {&p->fx, &p->fy, &p->cx, &p->cy, &p->k1, &p->k2,
                                  &p->k3, &p->k4, &p->k5, &p->k6, &p->p1, &p->p2};
    for (int i = 0; i < 12; ++i) *fields[i] = values[i];
    return error;
  };
  LogCapture log(5);
  r.result = record.recomputeIntrinsics(ShiftingTransform(), calibration, &r.out);
  r.records = levelsAndTexts(log);
  return r;
}

TEST(HeadCameraIntrinsicsTest, WithoutSamplePointsTheHeadCameraIsNotServed) {
  CameraCalibration message = embeddedDefaultCamera("head");
  message.mutable_intrinsics()->clear_sample_points();
  HeadRecord record;
  LogCapture log(5);
  EXPECT_FALSE(record.readProto(message));
  EXPECT_TRUE(record.getIntrinsicsTable().empty());
  const Texts expected = {
      {5, "Using Kestovan head camera model."},
      {2, "Can not find calibration sample points to recompute intrinsics parameters."}};
  EXPECT_EQ(levelsAndTexts(log), expected);
}

// A failed fit reports an error that is not a number, or infinity: neither
// may pass as a calibration. Exactly 10 still passes.
TEST(HeadCameraIntrinsicsTest, ErrorPerPointAboveTenOrNotFiniteIsRejected) {
  const struct {
    double error;
    const char* shown;
    bool accepted;
  } cases[] = {{10.0, "10", true},
               {10.5, "10.5", false},
               {std::numeric_limits<double>::quiet_NaN(), "nan", false},
               {std::numeric_limits<double>::infinity(), "inf", false}};
  for (const auto& c : cases) {
    const Recomputation r = recomputeWithError(c.error);
    Texts expected = {{5, std::string("Recomputed intrinsics : error per point=") + c.shown}};
    if (!c.accepted)
      expected.emplace_back(2, std::string("Error recomputing calibration. Error per point=") +
                                   c.shown);
    EXPECT_EQ(r.result, c.accepted) << c.shown;
    EXPECT_EQ(r.records, expected) << c.shown;
    if (!c.accepted) {  // the output is left alone
      EXPECT_EQ(r.out.fx, -1.0f) << c.shown;
      EXPECT_EQ(r.out.distortion.size(), 3u) << c.shown;
    }
  }
}

// The sample points pass through the transform in stored order; the fit is
// written with zero skew and eight coefficients, the size left alone.
TEST(HeadCameraIntrinsicsTest, SuccessWritesTheFitOfTheTransformedSamplePoints) {
  const Recomputation r = recomputeWithError(0.25);
  ASSERT_TRUE(r.result);
  EXPECT_EQ(r.image, (Points{{21, 55}, {61, 115}, {101, 175}}));
  EXPECT_EQ(r.target, (Points{{0, 0}, {1, 0}, {0, 1}}));
  EXPECT_EQ(r.size, Eigen::Vector2i(1280, 960));
  EXPECT_EQ(r.scalar, static_cast<double>(0.025f));
  EXPECT_EQ(r.grid, Eigen::Vector2i(3, 1));
  // fx fy skew cx cy, then k1, k2, p1, p2, k3, k4, k5, k6.
  testing::expectSameIntrinsics(
      r.out, Intrinsics{7, 9, {0.11f, 0.12f, 0.021f, 0.022f, 0.13f, 0.14f, 0.15f, 0.16f},
                        601.0f, 602.0f, 0.0f, 303.0f, 204.0f});
  EXPECT_EQ(std::make_pair(r.out.width, r.out.height), std::make_pair(7, 9));
}

// The 640 x 480 entry is the recomputed record at half scale; 1280 x 960 is
// the full frame; 1280 x 720 its central band. The default set serves them.
TEST(HeadCameraIntrinsicsTest, HeadTableHoldsTheRecomputedModeAndTwoFullFrameCrops) {
  HeadRecord record;
  ASSERT_TRUE(record.readProto(embeddedDefaultCamera("head")));
  const std::vector<Intrinsics>& table = record.getIntrinsicsTable();
  ASSERT_EQ(table.size(), 3u);
  Intrinsics recomputed;
  ASSERT_TRUE(record.recomputeIntrinsics(headSensorTransform(), &recomputed));
  EXPECT_EQ(std::make_pair(table[0].width, table[0].height), std::make_pair(640, 480));
  EXPECT_FLOAT_EQ(table[0].fx, 0.5f * recomputed.fx);
  EXPECT_FLOAT_EQ(table[0].fy, 0.5f * recomputed.fy);
  EXPECT_FLOAT_EQ(table[0].cx, 0.5f * recomputed.cx);
  EXPECT_FLOAT_EQ(table[0].cy, 0.5f * recomputed.cy);
  EXPECT_EQ(table[0].skew, 0.0f);
  EXPECT_EQ(table[0].distortion, recomputed.distortion);

  Intrinsics band = record.getFullFrame();
  band.cy -= 120.0f;
  EXPECT_EQ(std::make_pair(table[1].width, table[1].height), std::make_pair(1280, 960));
  testing::expectSameIntrinsics(table[1], record.getFullFrame());
  EXPECT_EQ(std::make_pair(table[2].width, table[2].height), std::make_pair(1280, 720));
  testing::expectSameIntrinsics(table[2], band);

  const auto head = CameraParametersSet().getCamera("head");
  ASSERT_NE(head, nullptr);
  EXPECT_EQ(head->getModel(), "kv006h");
  EXPECT_EQ(head->getIntrinsics(640, 480)(0, 0), table[0].fx);
  EXPECT_EQ(head->getDistortion(640, 480), table[0].distortion);
}

// Rays through the full-frame lens, then the sensor transform, then half
// scale, against the same rays through the 640 x 480 entry: within half a
// pixel wherever they land in the image, corners included. (This holds only
// if the default's sample points are a view through its stored lens.)
TEST(HeadCameraIntrinsicsTest, DefaultHeadEntryFollowsTheComposedMappingOverTheWholeImage) {
  HeadRecord record;
  ASSERT_TRUE(record.readProto(embeddedDefaultCamera("head")));
  const Intrinsics& full = record.getFullFrame();
  const Intrinsics& entry = record.getIntrinsicsTable().at(0);
  const AptinaSTE transform = headSensorTransform();

  double largest = 0.0;
  int kept = 0;
  bool corner_reached[4] = {false, false, false, false};
  for (double x = -3.0; x <= 3.0; x += 0.01) {
    for (double y = -3.0; y <= 3.0; y += 0.01) {
      double xd, yd;
      distortNormalized(full.distortion.data(), x, y, &xd, &yd);
      const Eigen::Vector2f full_pixel(static_cast<float>(full.fx * xd + full.cx),
                                       static_cast<float>(full.fy * yd + full.cy));
      const Eigen::Vector2f truth = 0.5f * transform.transformPoint(full_pixel);
      if (!(truth.x() >= 0.0f && truth.x() <= 640.0f && truth.y() >= 0.0f && truth.y() <= 480.0f)) {
        continue;
      }
      distortNormalized(entry.distortion.data(), x, y, &xd, &yd);
      const double u = entry.fx * xd + entry.cx, v = entry.fy * yd + entry.cy;
      largest = std::max(largest, std::hypot(u - truth.x(), v - truth.y()));
      ++kept;
      corner_reached[(truth.x() > 320.0f) + 2 * (truth.y() > 240.0f)] |=
          std::min(truth.x(), 640.0f - truth.x()) < 5.0f &&
          std::min(truth.y(), 480.0f - truth.y()) < 5.0f;
    }
  }
  EXPECT_GT(kept, 10000);
  for (bool reached : corner_reached) EXPECT_TRUE(reached);
  EXPECT_LT(largest, kComposedMappingTolerancePixels);
}

}  // namespace
}  // namespace calibration
}  // namespace dravik
