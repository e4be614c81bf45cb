// The streaming resolutions of each camera model, precomputed when a record
// reads its calibration.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "calibration_common/camera_parameters.h"
#include "support/calibration_fixtures.h"
#include "support/log_capture.h"

namespace {

using dravik::calibration::CameraParameters;
using dravik::testing::cameraMessage;
using dravik::testing::cameraText;
using dravik::testing::LogCapture;
using Intrinsics = CameraParameters::Intrinsics;

struct Size {
  int width, height;
};

std::vector<Size> sizesOf(const CameraParameters& record) {
  std::vector<Size> sizes;
  for (const Intrinsics& entry : record.getIntrinsicsTable())
    sizes.push_back({entry.width, entry.height});
  return sizes;
}

void expectSizes(const CameraParameters& record, const std::vector<Size>& expected) {
  const std::vector<Size> sizes = sizesOf(record);
  ASSERT_EQ(sizes.size(), expected.size());
  for (size_t i = 0; i < sizes.size(); ++i) {
    EXPECT_EQ(sizes[i].width, expected[i].width) << "entry " << i;
    EXPECT_EQ(sizes[i].height, expected[i].height) << "entry " << i;
  }
}

void expectSameIntrinsics(const Intrinsics& entry, const Intrinsics& full) {
  EXPECT_EQ(entry.fx, full.fx);
  EXPECT_EQ(entry.fy, full.fy);
  EXPECT_EQ(entry.skew, full.skew);
  EXPECT_EQ(entry.cx, full.cx);
  EXPECT_EQ(entry.cy, full.cy);
  EXPECT_EQ(entry.distortion, full.distortion);
}

TEST(NavigationCamera, StreamsHalfSizeFullFrameAndA120RowCrop) {
  CameraParameters nav;
  ASSERT_TRUE(nav.readProto(cameraMessage(cameraText("nav", "kv007n"))));
  expectSizes(nav, {{640, 480}, {1280, 960}, {1280, 720}});
  const auto& table = nav.getIntrinsicsTable();
  const Intrinsics& full = nav.getFullFrame();

  EXPECT_FLOAT_EQ(table[0].fx, 500.0f);
  EXPECT_FLOAT_EQ(table[0].fy, 500.0f);
  EXPECT_FLOAT_EQ(table[0].cx, 320.0f);
  EXPECT_FLOAT_EQ(table[0].cy, 240.0f);
  expectSameIntrinsics(table[1], full);
  EXPECT_EQ(table[2].fx, full.fx);
  EXPECT_EQ(table[2].fy, full.fy);
  EXPECT_EQ(table[2].cx, full.cx);
  EXPECT_FLOAT_EQ(table[2].cy, 360.0f);
  for (const Intrinsics& entry : table) EXPECT_EQ(entry.distortion, full.distortion);
}

TEST(B910Camera, StreamsFourSizesOfTheCentralCrop) {
  CameraParameters b910;
  ASSERT_TRUE(b910.readProto(cameraMessage(cameraText("front", "b910", 2592, 1944))));
  expectSizes(b910, {{640, 480}, {800, 600}, {1024, 768}, {1280, 960}});
  const Intrinsics& full = b910.getFullFrame();
  for (const Intrinsics& entry : b910.getIntrinsicsTable()) {
    // The crop (176, 136, 2232, 1672) of the full frame, scaled to the entry.
    const float sx = float(entry.width) / 2232.0f, sy = float(entry.height) / 1672.0f;
    EXPECT_FLOAT_EQ(entry.fx, full.fx * sx) << entry.width;
    EXPECT_FLOAT_EQ(entry.fy, full.fy * sy) << entry.width;
    EXPECT_FLOAT_EQ(entry.cx, full.cx * sx - 176 * sx) << entry.width;
    EXPECT_FLOAT_EQ(entry.cy, full.cy * sy - 136 * sy) << entry.width;
    EXPECT_EQ(entry.distortion, full.distortion);
  }
}

TEST(B910Camera, CropIsAbsoluteWhateverTheCalibratedSize) {
  // The crop numbers are pixels of the sensor, not fractions of the size in
  // the message: a 1280 x 960 message gets the same arithmetic.
  CameraParameters b910;
  ASSERT_TRUE(b910.readProto(cameraMessage(cameraText("front", "b910", 1280, 960))));
  const Intrinsics& entry = b910.getIntrinsicsTable().back();
  EXPECT_FLOAT_EQ(entry.fx, 1000.0f * 1280.0f / 2232.0f);
  EXPECT_FLOAT_EQ(entry.cx, (640.0f - 176.0f) * 1280.0f / 2232.0f);
}

TEST(CameraModels, ChoiceIsLoggedAtLevelFive) {
  const std::pair<const char*, const char*> cases[] = {
      {"kv007n", "Using Kestovan nav camera model."},
      {"b910", "Using B910 camera model."},
  };
  for (const auto& c : cases) {
    LogCapture capture;
    CameraParameters record;
    ASSERT_TRUE(record.readProto(cameraMessage(cameraText("c", c.first))));
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 1u) << c.first;
    EXPECT_EQ(records[0].level, 5);
    EXPECT_EQ(records[0].tag, "camera_parameters");
    EXPECT_EQ(records[0].function, "dravik::calibration::CameraParameters::precomputeIntrinsics");
    EXPECT_EQ(records[0].text, c.second);
  }
}

TEST(GenericCamera, ServesExactlyItsCalibratedSize) {
  LogCapture capture;
  CameraParameters record;
  ASSERT_TRUE(record.readProto(cameraMessage(cameraText("c", "", 752, 480))));
  EXPECT_TRUE(capture.records().empty()) << "no model record";
  expectSizes(record, {{752, 480}});
  expectSameIntrinsics(record.getIntrinsicsTable()[0], record.getFullFrame());
}

TEST(GenericCamera, IdentifiersAreMatchedWholeAndCaseSensitively) {
  for (const char* model : {"B910", "b910 ", "KV007N", "kv007", "kv007n\t"}) {
    CameraParameters record;
    ASSERT_TRUE(record.readProto(cameraMessage(cameraText("c", model)))) << model;
    expectSizes(record, {{1280, 960}});
  }
}

TEST(GenericCamera, AbsentSizeIsRejectedSilentlyWithAnEmptyTable) {
  const std::string cases[] = {
      cameraText("c", "pinhole", 0, 0, false, "    width: 1280\n"),
      cameraText("c", "pinhole", 0, 0, false, "    height: 960\n"),
      cameraText("c", "pinhole", 0, 0, false),
  };
  for (const std::string& text : cases) {
    LogCapture capture;
    CameraParameters record;
    EXPECT_FALSE(record.readProto(cameraMessage(text))) << text;
    EXPECT_TRUE(record.getIntrinsicsTable().empty());
    EXPECT_TRUE(capture.records().empty()) << text;
  }
}

TEST(GenericCamera, SizeThatIsNotPositiveIsRejectedLikeAnAbsentOne) {
  // Otherwise the entry and every scaled fallback would hold infinities.
  for (const Size size : {Size{0, 960}, Size{1280, 0}, Size{-1280, 960}, Size{1280, -1}}) {
    CameraParameters record;
    EXPECT_FALSE(
        record.readProto(cameraMessage(cameraText("c", "pinhole", size.width, size.height))))
        << size.width << "x" << size.height;
    EXPECT_TRUE(record.getIntrinsicsTable().empty());
  }
}

TEST(CameraModels, PrecomputingAgainReplacesTheTableWholly) {
  // A table is resized to the model's entries and every entry overwritten.
  dravik::testing::CameraParametersAccess b910;
  ASSERT_TRUE(b910.readProto(cameraMessage(cameraText("front", "b910", 2592, 1944))));
  const std::vector<Intrinsics> first = b910.getIntrinsicsTable();
  ASSERT_TRUE(b910.precomputeIntrinsics());
  ASSERT_EQ(b910.getIntrinsicsTable().size(), first.size());
  for (size_t i = 0; i < first.size(); ++i)
    expectSameIntrinsics(b910.getIntrinsicsTable()[i], first[i]);
}

}  // namespace
