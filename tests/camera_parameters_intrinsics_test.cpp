// Intrinsics by image size: the crop-and-scale mapping, the table lookups and
// their fallback to the scaled full frame.
#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "calibration_common/camera_parameters.h"
#include "support/allocation_counter.h"  // counts every allocation of this program
#include "support/calibration_fixtures.h"
#include "support/log_capture.h"

namespace {

using dravik::calibration::CameraParameters;
using dravik::testing::CameraParametersAccess;
using dravik::testing::cameraMessage;
using dravik::testing::cameraText;
using dravik::testing::LogCapture;
using Intrinsics = CameraParameters::Intrinsics;

constexpr float kPixelTolerance = 1e-3f;

// A record read from the standard test camera (fx = fy = 1000, principal
// point at the centre) of the given model and size.
std::shared_ptr<CameraParametersAccess> readCamera(const std::string& model, int width = 1280,
                                                   int height = 960) {
  auto record = std::make_shared<CameraParametersAccess>();
  EXPECT_TRUE(record->readProto(cameraMessage(cameraText("c", model, width, height))));
  return record;
}

Intrinsics sampleIntrinsics() {
  Intrinsics in;
  in.width = 2592;
  in.height = 1944;
  in.fx = 2482.6f;
  in.fy = 2479.8f;
  in.skew = 1.25f;
  in.cx = 1293.4f;
  in.cy = 975.1f;
  in.distortion = {0.061f, -0.142f, 0.0006f, 0.0002f, 0, 0, 0, 0};
  return in;
}

// ---------------------------------------------------------------- crop and scale

TEST(CropAndScale, ScalesEachAxisAndShiftsByTheScaledOffset) {
  const CameraParametersAccess record;
  const Intrinsics in = sampleIntrinsics();
  const Eigen::Matrix3f K = record.recomputeKMatrix(in, 176, 136, 2232, 1672, 640, 480);
  const float sx = 640.0f / 2232.0f, sy = 480.0f / 1672.0f;
  EXPECT_FLOAT_EQ(K(0, 0), sx * in.fx);
  EXPECT_FLOAT_EQ(K(0, 1), sx * in.skew);
  EXPECT_FLOAT_EQ(K(0, 2), sx * in.cx - 176 * sx);
  EXPECT_FLOAT_EQ(K(1, 1), sy * in.fy);
  EXPECT_FLOAT_EQ(K(1, 2), sy * in.cy - 136 * sy);
  EXPECT_EQ(K(1, 0), 0.0f);
  EXPECT_EQ(Eigen::RowVector3f(K.row(2)), Eigen::RowVector3f(0, 0, 1));
}

TEST(CropAndScale, MapsPixelsWithoutHalfPixelShift) {
  // Whatever K maps a ray to in the full frame, the cropped and scaled K maps
  // it to ((u - crop_x) sx, (v - crop_y) sy).
  const CameraParametersAccess record;
  const Intrinsics in = sampleIntrinsics();
  const int crop_x = 176, crop_y = 136, crop_w = 2232, crop_h = 1672, out_w = 800, out_h = 600;
  const Eigen::Matrix3f K_full = record.recomputeKMatrix(in, 0, 0, 1, 1, 1, 1);
  const Eigen::Matrix3f K_out =
      record.recomputeKMatrix(in, crop_x, crop_y, crop_w, crop_h, out_w, out_h);
  const float sx = float(out_w) / crop_w, sy = float(out_h) / crop_h;
  for (float x : {-0.4f, 0.0f, 0.33f})
    for (float y : {-0.3f, 0.1f}) {
      const Eigen::Vector3f full = K_full * Eigen::Vector3f(x, y, 1);
      const Eigen::Vector3f out = K_out * Eigen::Vector3f(x, y, 1);
      EXPECT_NEAR(out.x(), (full.x() - crop_x) * sx, kPixelTolerance);
      EXPECT_NEAR(out.y(), (full.y() - crop_y) * sy, kPixelTolerance);
    }
}

TEST(CropAndScale, AffineIntrinsicsFillsTheRecordAndMayWorkInPlace) {
  const CameraParametersAccess record;
  const Intrinsics in = sampleIntrinsics();
  Intrinsics separate;
  record.affineIntrinsics(in, 176, 136, 2232, 1672, 1024, 768, &separate);
  const Eigen::Matrix3f K = record.recomputeKMatrix(in, 176, 136, 2232, 1672, 1024, 768);
  EXPECT_EQ(separate.fx, K(0, 0));
  EXPECT_EQ(separate.fy, K(1, 1));
  EXPECT_EQ(separate.skew, K(0, 1));
  EXPECT_EQ(separate.cx, K(0, 2));
  EXPECT_EQ(separate.cy, K(1, 2));
  EXPECT_EQ(separate.width, 1024);
  EXPECT_EQ(separate.height, 768);
  EXPECT_EQ(separate.distortion, in.distortion);

  Intrinsics aliased = in;
  record.affineIntrinsics(aliased, 176, 136, 2232, 1672, 1024, 768, &aliased);
  EXPECT_EQ(aliased.fx, separate.fx);
  EXPECT_EQ(aliased.fy, separate.fy);
  EXPECT_EQ(aliased.skew, separate.skew);
  EXPECT_EQ(aliased.cx, separate.cx);
  EXPECT_EQ(aliased.cy, separate.cy);
  EXPECT_EQ(aliased.width, 1024);
  EXPECT_EQ(aliased.distortion, in.distortion);
}

// ---------------------------------------------------------------- lookups

TEST(IntrinsicsLookup, AbsentSizeScalesTheFullFrameAndLogsBothSizes) {
  const auto record = readCamera("pinhole");  // its table holds 1280 x 960 only
  LogCapture capture;
  const Eigen::Matrix3f K = record->getIntrinsics(640, 480);
  EXPECT_FLOAT_EQ(K(0, 0), 500.0f);
  EXPECT_FLOAT_EQ(K(1, 1), 500.0f);
  EXPECT_FLOAT_EQ(K(0, 2), 320.0f);
  EXPECT_FLOAT_EQ(K(1, 2), 240.0f);
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, 5);
  EXPECT_EQ(records[0].tag, "camera_parameters");
  EXPECT_EQ(records[0].file, "calibration_common/camera_parameters");
  EXPECT_EQ(records[0].function, "dravik::calibration::CameraParameters::getIntrinsics");
  EXPECT_EQ(records[0].text, "1280 960 640 480");
}

TEST(IntrinsicsLookup, TableEntryWinsOverTheScaledFullFrame) {
  // The navigation camera's 1280 x 720 comes from a 120-row crop; the whole
  // frame scaled to that size would have fy = 750.
  const auto nav = readCamera("kv007n");
  LogCapture capture;
  const Eigen::Matrix3f K = nav->getIntrinsics(1280, 720);
  EXPECT_FLOAT_EQ(K(1, 1), 1000.0f);
  EXPECT_FLOAT_EQ(K(1, 2), 360.0f);
  EXPECT_TRUE(capture.records().empty()) << "a table hit logs nothing";

  const auto generic = readCamera("pinhole");
  EXPECT_FLOAT_EQ(generic->getIntrinsics(1280, 720)(1, 1), 750.0f);
}

TEST(IntrinsicsLookup, CalibratedSizeMissingFromTheTableGivesTheFullFrameAndLogs) {
  const auto b910 = readCamera("b910", 2592, 1944);  // its table holds the streaming sizes only
  LogCapture capture;
  EXPECT_EQ(b910->getIntrinsics(2592, 1944), b910->getFullFrameIntrinsics());
  EXPECT_TRUE(capture.contains(5, "camera_parameters", "2592 1944 2592 1944"));
}

TEST(IntrinsicsLookup, DistortionOfAnAbsentSizeIsTheFullFrameItself) {
  const auto nav = readCamera("kv007n");
  LogCapture capture;
  EXPECT_EQ(&nav->getDistortion(320, 240), &nav->getFullFrameDistortion());
  const std::vector<float>& entry = nav->getDistortion(640, 480);
  EXPECT_NE(&entry, &nav->getFullFrameDistortion()) << "the entry's own copy";
  EXPECT_EQ(entry, nav->getFullFrameDistortion());
  EXPECT_TRUE(capture.records().empty()) << "distortion lookups log nothing";
}

TEST(IntrinsicsLookup, RecordWithoutTableAlwaysFallsBack) {
  const CameraParameters record;
  LogCapture capture;
  record.getIntrinsics(640, 480);
  record.getIntrinsics(1280, 960);
  EXPECT_EQ(&record.getDistortion(640, 480), &record.getFullFrameDistortion());
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].text, "0 0 640 480");
  EXPECT_EQ(records[1].text, "0 0 1280 960");
}

TEST(IntrinsicsLookup, FirstMatchingEntryWins) {
  const auto nav = readCamera("kv007n");
  for (const Intrinsics& entry : nav->getIntrinsicsTable()) {
    const Eigen::Matrix3f K = nav->getIntrinsics(entry.width, entry.height);
    EXPECT_EQ(K(0, 0), entry.fx);
    EXPECT_EQ(K(1, 2), entry.cy);
    EXPECT_TRUE(nav->hasIntrinsics(entry.width, entry.height));
  }
  EXPECT_FALSE(nav->hasIntrinsics(960, 1280));
}

TEST(IntrinsicsLookup, TableHitAndSilentMissAllocateNothing) {
  const auto nav = readCamera("kv007n");
  LogCapture capture(0);  // logging off
  const long before = dravik::testing::allocationCount();
  float sum = 0;
  for (int i = 0; i < 100; ++i) {
    sum += nav->getIntrinsics(640, 480)(0, 0);
    sum += nav->getIntrinsics(320, 240)(0, 0);
    sum += nav->getDistortion(1280, 720)[0];
  }
  EXPECT_EQ(dravik::testing::allocationCount() - before, 0);
  EXPECT_TRUE(std::isfinite(sum));

  // The counter does see allocations: a logged miss builds a record.
  LogCapture logging_on(5);
  const long before_logged = dravik::testing::allocationCount();
  nav->getIntrinsics(320, 240);
  EXPECT_GT(dravik::testing::allocationCount() - before_logged, 0);
}

}  // namespace
