// Intrinsics by image size: the sizes each camera model precomputes, their
// crop-and-scale mapping, and the fallback to the scaled full frame.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "calibration_common/camera_parameters.h"
#include "support/allocation_counter.h"  // counts every allocation of this program
#include "support/calibration_fixtures.h"
#include "support/log_capture.h"

namespace dravik::calibration {
namespace {

using testing::expectCameraRecord;
using testing::LogCapture;
using Intrinsics = CameraParameters::Intrinsics;
using Sizes = std::vector<std::pair<int, int>>;

constexpr float kPixelRounding = 1e-5f;  // relative, float arithmetic in another order

std::shared_ptr<CameraParameters> readCamera(const std::string& model, int width = 1280,
                                             int height = 960) {
  auto record = std::make_shared<CameraParameters>();
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

Eigen::Matrix3f kOf(const Intrinsics& i) {
  return (Eigen::Matrix3f() << i.fx, i.skew, i.cx, 0, i.fy, i.cy, 0, 0, 1).finished();
}

// The 1280 x 720 entry is a 120-row crop (fy = 1000), not the whole frame
// scaled (fy = 750, what a generic camera serves). Table hits log nothing.
TEST(CameraParametersGetIntrinsics, NavigationCameraServesHalfSizeFullFrameAndA120RowCrop) {
  LogCapture capture;
  const auto nav = readCamera("kv007n");
  ASSERT_EQ(capture.records().size(), 1u);
  expectCameraRecord(capture.records()[0], 5, "CameraParameters::precomputeIntrinsics",
                     "Using Kestovan nav camera model.");
  Eigen::Matrix3f half = kOf(nav->getFullFrame()), band = half;
  half.topRows<2>() *= 0.5f;
  band(1, 2) -= 120.0f;
  capture.clear();
  EXPECT_EQ(nav->getIntrinsics(640, 480), half);
  EXPECT_EQ(nav->getIntrinsics(1280, 960), nav->getFullFrameIntrinsics());
  EXPECT_EQ(nav->getIntrinsics(1280, 720), band);
  EXPECT_TRUE(capture.records().empty());
  EXPECT_FLOAT_EQ(readCamera("pinhole")->getIntrinsics(1280, 720)(1, 1), 750.0f);
}

// Each entry crops (176, 136, 2232, 1672) sensor pixels whatever size the
// message was calibrated at, then scales: a full-frame pixel u lands on
// (u - crop) * scale, no half-pixel shift.
TEST(CameraParametersGetIntrinsics, B910EntriesAreTheCentralSensorCropScaled) {
  for (const auto& calibrated : Sizes{{2592, 1944}, {1280, 960}}) {
    LogCapture capture;
    const auto b910 = readCamera("b910", calibrated.first, calibrated.second);
    EXPECT_TRUE(capture.contains(5, "camera_parameters", "Using B910 camera model."));
    ASSERT_FALSE(b910->getIntrinsicsTable().empty());
    const Intrinsics& full = b910->getFullFrame();
    for (const Intrinsics& entry : b910->getIntrinsicsTable()) {
      const Eigen::Vector2f scale(entry.width / 2232.0f, entry.height / 1672.0f), crop(176, 136);
      for (const float x : {0.0f, -0.4f}) {
        const Eigen::Vector3f ray(x, -0.75f * x, 1.0f);
        const Eigen::Vector2f u = (kOf(full) * ray).head<2>(), v = (kOf(entry) * ray).head<2>();
        EXPECT_TRUE(v.isApprox((u - crop).cwiseProduct(scale), kPixelRounding)) << entry.width;
      }
      EXPECT_EQ(entry.distortion, full.distortion);
    }
  }
}

// Model identifiers match whole and case-sensitively; a generic camera serves
// exactly its calibrated size, and without a positive one (absent, zero or
// negative: infinities in every scaled fallback) it is rejected. Silently.
TEST(CameraParametersGetIntrinsics, GenericCameraServesExactlyItsPositiveCalibratedSize) {
  for (const char* model : {"", "pinhole", "B910", "b910 ", "KV007N", "kv007", "kv007n\t"}) {
    LogCapture capture;
    EXPECT_EQ(sizesOf(*readCamera(model, 752, 480)), (Sizes{{752, 480}})) << model;
    EXPECT_TRUE(capture.records().empty()) << model;
  }
  std::vector<std::string> sizeless;
  for (const char* only : {"", "width: 1280", "height: 960"})
    sizeless.push_back(testing::cameraText("c", "pinhole", 0, 0, false, only));
  for (const auto& [w, h] : Sizes{{0, 960}, {1280, 0}, {-1280, 960}, {1280, -1}})
    sizeless.push_back(testing::cameraText("c", "pinhole", w, h));
  for (const std::string& text : sizeless) {
    LogCapture capture;
    CameraParameters record;
    EXPECT_FALSE(record.readProto(testing::cameraMessage(text))) << text;
    EXPECT_TRUE(record.getIntrinsicsTable().empty() && capture.records().empty()) << text;
  }
}

// An absent size scales the full frame, logging both sizes; its distortion
// is the full frame's, by reference.
TEST(CameraParametersGetIntrinsics, AbsentSizeIsTheFullFrameScaledWithARecordOfBothSizes) {
  const auto pinhole = readCamera("pinhole");
  const auto b910 = readCamera("b910", 2592, 1944);
  const CameraParameters empty;
  LogCapture capture;
  EXPECT_EQ(pinhole->getIntrinsics(640, 480),
            (Eigen::Matrix3f() << 500, 0, 320, 0, 500, 240, 0, 0, 1).finished());
  EXPECT_EQ(b910->getIntrinsics(2592, 1944), b910->getFullFrameIntrinsics());
  empty.getIntrinsics(640, 480);
  EXPECT_EQ(&empty.getDistortion(640, 480), &empty.getFullFrameDistortion());
  EXPECT_EQ(&b910->getDistortion(320, 240), &b910->getFullFrameDistortion());
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 3u);
  expectCameraRecord(records[0], 5, "CameraParameters::getIntrinsics", "1280 960 640 480");
  EXPECT_EQ(records[1].text + "|" + records[2].text, "2592 1944 2592 1944|0 0 640 480");
}

TEST(CameraParametersGetIntrinsics, TableHitAndSilentMissAllocateNothing) {
  const auto nav = readCamera("kv007n");
  LogCapture capture(0);  // logging off
  const long before = testing::allocationCount();
  float sum = 0;
  for (int i = 0; i < 100; ++i)
    sum += nav->getIntrinsics(640, 480)(0, 0) + nav->getIntrinsics(320, 240)(0, 0) +
           nav->getDistortion(1280, 720)[0];
  EXPECT_EQ(testing::allocationCount() - before, 0);
  EXPECT_TRUE(std::isfinite(sum));
  LogCapture logging_on(5);  // the counter does see the record a logged miss builds
  const long before_logged = testing::allocationCount();
  nav->getIntrinsics(320, 240);
  EXPECT_GT(testing::allocationCount() - before_logged, 0);
}

}  // namespace
}  // namespace dravik::calibration
