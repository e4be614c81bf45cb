// Intrinsics by image size: the crop-and-scale mapping, the streaming
// resolutions each camera model precomputes, the table lookups and their
// fallback to the scaled full frame.
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "calibration_common/camera_parameters.h"
#include "support/allocation_counter.h"  // counts every allocation of this program
#include "support/calibration_fixtures.h"
#include "support/log_capture.h"

namespace dravik {
namespace calibration {
namespace {

using testing::CameraParametersAccess;
using testing::expectCameraRecord;
using testing::expectSameIntrinsics;
using testing::LogCapture;
using Intrinsics = CameraParameters::Intrinsics;
using Sizes = std::vector<std::pair<int, int>>;

// A record read from the standard test camera (fx = fy = 1000, principal
// point at the centre) of the given model and size.
std::shared_ptr<CameraParametersAccess> readCamera(const std::string& model, int width = 1280,
                                                   int height = 960) {
  auto record = std::make_shared<CameraParametersAccess>();
  EXPECT_TRUE(
      record->readProto(testing::cameraMessage(testing::cameraText("c", model, width, height))));
  return record;
}

Sizes sizesOf(const CameraParameters& record) {
  Sizes sizes;
  for (const Intrinsics& entry : record.getIntrinsicsTable())
    sizes.emplace_back(entry.width, entry.height);
  return sizes;
}

// A pixel u of the full frame lands on (u - crop_x) sx: no half-pixel shift.
// The record may be scaled in place.
TEST(CropAndScale, ScalesEachAxisAndShiftsByTheScaledOffset) {
  const CameraParametersAccess record;
  const Intrinsics in{2592, 1944, {0.061f, -0.142f, 0.0006f, 0.0002f, 0, 0, 0, 0},
                      2482.6f, 2479.8f, 1.25f, 1293.4f, 975.1f};
  const float sx = 1024.0f / 2232.0f, sy = 768.0f / 1672.0f;
  Intrinsics separate, aliased = in;
  record.affineIntrinsics(in, 176, 136, 2232, 1672, 1024, 768, &separate);
  record.affineIntrinsics(aliased, 176, 136, 2232, 1672, 1024, 768, &aliased);
  for (const Intrinsics* out : {&separate, &aliased}) {
    EXPECT_FLOAT_EQ(out->fx, sx * in.fx);
    EXPECT_FLOAT_EQ(out->skew, sx * in.skew);
    EXPECT_FLOAT_EQ(out->cx, sx * in.cx - 176 * sx);
    EXPECT_FLOAT_EQ(out->fy, sy * in.fy);
    EXPECT_FLOAT_EQ(out->cy, sy * in.cy - 136 * sy);
    EXPECT_EQ(std::make_pair(out->width, out->height), std::make_pair(1024, 768));
    EXPECT_EQ(out->distortion, in.distortion);
  }
  Eigen::Matrix3f K;
  K << separate.fx, separate.skew, separate.cx, 0, separate.fy, separate.cy, 0, 0, 1;
  EXPECT_EQ(record.recomputeKMatrix(in, 176, 136, 2232, 1672, 1024, 768), K);
}

// ---------------------------------------------------------------- the models' tables

// The 1280 x 720 entry comes from a 120-row crop: the lookup serves it
// (fy = 1000), where the whole frame scaled to that size would give 750.
TEST(CameraModels, NavigationCameraServesHalfSizeFullFrameAndA120RowCrop) {
  LogCapture capture;
  const auto nav = readCamera("kv007n");
  ASSERT_EQ(capture.records().size(), 1u);
  expectCameraRecord(capture.records()[0], 5, "CameraParameters::precomputeIntrinsics",
                     "Using Kestovan nav camera model.");
  EXPECT_EQ(sizesOf(*nav), (Sizes{{640, 480}, {1280, 960}, {1280, 720}}));
  const auto& table = nav->getIntrinsicsTable();
  const Intrinsics& full = nav->getFullFrame();
  EXPECT_FLOAT_EQ(table[0].fx, 500.0f);
  EXPECT_FLOAT_EQ(table[0].fy, 500.0f);
  EXPECT_FLOAT_EQ(table[0].cx, 320.0f);
  EXPECT_FLOAT_EQ(table[0].cy, 240.0f);
  expectSameIntrinsics(table[1], full);
  EXPECT_EQ(std::make_pair(table[2].fy, table[2].cx), std::make_pair(full.fy, full.cx));
  EXPECT_FLOAT_EQ(table[2].cy, 360.0f);
  for (const Intrinsics& entry : table) EXPECT_EQ(entry.distortion, full.distortion);

  capture.clear();
  for (const Intrinsics& entry : table) {
    EXPECT_TRUE(nav->hasIntrinsics(entry.width, entry.height));
    EXPECT_EQ(nav->getIntrinsics(entry.width, entry.height)(1, 2), entry.cy);
  }
  EXPECT_FLOAT_EQ(nav->getIntrinsics(1280, 720)(1, 1), 1000.0f);
  EXPECT_FALSE(nav->hasIntrinsics(960, 1280));
  EXPECT_TRUE(capture.records().empty()) << "a table hit logs nothing";
  EXPECT_FLOAT_EQ(readCamera("pinhole")->getIntrinsics(1280, 720)(1, 1), 750.0f);
}

// The crop (176, 136, 2232, 1672) is in pixels of the sensor, not a fraction
// of the size in the message: a 1280 x 960 message gets the same arithmetic.
// Precomputing again replaces the table wholly.
TEST(CameraModels, B910StreamsFourSizesOfTheCentralCrop) {
  for (const auto& calibrated : Sizes{{2592, 1944}, {1280, 960}}) {
    LogCapture capture;
    const auto b910 = readCamera("b910", calibrated.first, calibrated.second);
    EXPECT_TRUE(capture.contains(5, "camera_parameters", "Using B910 camera model."));
    EXPECT_EQ(sizesOf(*b910), (Sizes{{640, 480}, {800, 600}, {1024, 768}, {1280, 960}}));
    const Intrinsics& full = b910->getFullFrame();
    for (const Intrinsics& entry : b910->getIntrinsicsTable()) {
      SCOPED_TRACE(std::to_string(entry.width) + " of " + std::to_string(calibrated.first));
      const float sx = float(entry.width) / 2232.0f, sy = float(entry.height) / 1672.0f;
      EXPECT_FLOAT_EQ(entry.fx, full.fx * sx);
      EXPECT_FLOAT_EQ(entry.fy, full.fy * sy);
      EXPECT_FLOAT_EQ(entry.cx, full.cx * sx - 176 * sx);
      EXPECT_FLOAT_EQ(entry.cy, full.cy * sy - 136 * sy);
      EXPECT_EQ(entry.distortion, full.distortion);
    }
    const std::vector<Intrinsics> first = b910->getIntrinsicsTable();
    ASSERT_TRUE(b910->precomputeIntrinsics());
    ASSERT_EQ(b910->getIntrinsicsTable().size(), first.size());
    for (size_t i = 0; i < first.size(); ++i)
      expectSameIntrinsics(b910->getIntrinsicsTable()[i], first[i]);
  }
}

// Model identifiers are matched whole and case-sensitively; any other
// model is generic and serves exactly its calibrated size, silently.
TEST(CameraModels, GenericCameraServesExactlyItsCalibratedSize) {
  for (const char* model : {"", "pinhole", "B910", "b910 ", "KV007N", "kv007", "kv007n\t"}) {
    LogCapture capture;
    const auto record = readCamera(model, 752, 480);
    EXPECT_EQ(sizesOf(*record), (Sizes{{752, 480}})) << model;
    expectSameIntrinsics(record->getIntrinsicsTable().at(0), record->getFullFrame());
    EXPECT_TRUE(capture.records().empty()) << model;
  }
}

// A non-positive size is rejected like an absent one: otherwise the entry
// and every scaled fallback would hold infinities.
TEST(CameraModels, GenericCameraWithoutAPositiveSizeIsRejectedSilently) {
  const std::pair<int, int> sizes[] = {{0, 960}, {1280, 0}, {-1280, 960}, {1280, -1}};
  std::vector<std::string> cases;
  for (const char* only : {"", "width: 1280", "height: 960"})
    cases.push_back(testing::cameraText("c", "pinhole", 0, 0, false, only));
  for (const auto& size : sizes)
    cases.push_back(testing::cameraText("c", "pinhole", size.first, size.second));
  for (const std::string& text : cases) {
    LogCapture capture;
    CameraParameters record;
    EXPECT_FALSE(record.readProto(testing::cameraMessage(text))) << text;
    EXPECT_TRUE(record.getIntrinsicsTable().empty()) << text;
    EXPECT_TRUE(capture.records().empty()) << text;
  }
}

// ---------------------------------------------------------------- fallback

// Intrinsics of a size absent from the table scale the full frame, logged
// at level 5 with both sizes; distortion is the full frame's, by reference
// and silently.
TEST(IntrinsicsLookup, AbsentSizeScalesTheFullFrameAndLogsBothSizes) {
  const auto pinhole = readCamera("pinhole");        // its table holds 1280 x 960 only
  const auto b910 = readCamera("b910", 2592, 1944);  // the streaming sizes only
  const CameraParameters empty;
  LogCapture capture;
  const Eigen::Matrix3f K = pinhole->getIntrinsics(640, 480);
  EXPECT_FLOAT_EQ(K(0, 0), 500.0f);
  EXPECT_FLOAT_EQ(K(1, 1), 500.0f);
  EXPECT_FLOAT_EQ(K(0, 2), 320.0f);
  EXPECT_FLOAT_EQ(K(1, 2), 240.0f);
  EXPECT_EQ(b910->getIntrinsics(2592, 1944), b910->getFullFrameIntrinsics());
  empty.getIntrinsics(640, 480);
  EXPECT_EQ(&empty.getDistortion(640, 480), &empty.getFullFrameDistortion());
  EXPECT_EQ(&b910->getDistortion(320, 240), &b910->getFullFrameDistortion());
  EXPECT_NE(&b910->getDistortion(640, 480), &b910->getFullFrameDistortion()) << "its own copy";

  const auto records = capture.records();
  ASSERT_EQ(records.size(), 3u);
  expectCameraRecord(records[0], 5, "CameraParameters::getIntrinsics", "1280 960 640 480");
  EXPECT_EQ(records[1].text, "2592 1944 2592 1944");
  EXPECT_EQ(records[2].text, "0 0 640 480");
}

TEST(IntrinsicsLookup, TableHitAndSilentMissAllocateNothing) {
  const auto nav = readCamera("kv007n");
  LogCapture capture(0);  // logging off
  const long before = testing::allocationCount();
  float sum = 0;
  for (int i = 0; i < 100; ++i) {
    sum += nav->getIntrinsics(640, 480)(0, 0);
    sum += nav->getIntrinsics(320, 240)(0, 0);
    sum += nav->getDistortion(1280, 720)[0];
  }
  EXPECT_EQ(testing::allocationCount() - before, 0);
  EXPECT_TRUE(std::isfinite(sum));

  // The counter does see allocations: a logged miss builds a record.
  LogCapture logging_on(5);
  const long before_logged = testing::allocationCount();
  nav->getIntrinsics(320, 240);
  EXPECT_GT(testing::allocationCount() - before_logged, 0);
}

}  // namespace
}  // namespace calibration
}  // namespace dravik
