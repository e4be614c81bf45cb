// Text that is not a calibration is reported through the log sink alone:
// libprotobuf's text parser would otherwise print its syntax errors on the
// host program's stderr.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "calibration_common/base_calibration_data.h"
#include "calibration_common/camera_parameters.h"
#include "calibration_messages/calibration.pb.h"
#include "dravik/text_format.h"
#include "support/log_capture.h"

namespace dravik::calibration {
namespace {

using Record = std::tuple<int, std::string, std::string>;

// What the process writes to file descriptor 2 while action runs.
std::string stderrOf(const std::function<void()>& action) {
  ::testing::internal::CaptureStderr();
  action();
  return ::testing::internal::GetCapturedStderr();
}

std::vector<Record> recordsOf(const testing::LogCapture& log) {
  std::vector<Record> records;
  for (const auto& r : log.records()) records.emplace_back(r.level, r.tag, r.text);
  return records;
}

// The set warns that its default is back in force; the base calibration logs
// nothing at all for text that parses in neither format.
TEST(TextFormatParse, GarbageReachesTheLogSinkAloneWithTheDocumentedRecords) {
  const std::vector<Record> set_records = {
      {3, "camera_parameters", "Loading default camera calibration."}};
  for (const std::string text : {"garbage {", "camera { name: \"x\" intrinsics { fx: oops } }"}) {
    SCOPED_TRACE(text);
    CameraParametersSet set;
    BaseCalibrationData base;
    {
      testing::LogCapture log(3);
      EXPECT_EQ(stderrOf([&] { EXPECT_FALSE(set.loadFromString(text)); }), "");
      EXPECT_EQ(recordsOf(log), set_records);
    }
    testing::LogCapture log(3);
    EXPECT_EQ(stderrOf([&] { EXPECT_FALSE(base.loadFromString(text)); }), "");
    EXPECT_EQ(recordsOf(log), std::vector<Record>{});
  }
}

TEST(TextFormatParse, ReportsTheFirstErrorWithItsLineAndColumn) {
  RobotCalibration message;
  TextFormatError error;
  EXPECT_EQ(stderrOf([&] {
              EXPECT_FALSE(parseTextFormat("camera {\n  name \"x\"\n}", &message, &error));
            }),
            "");
  EXPECT_EQ(error.text(), "line 2, column 8: Expected \":\", found \"\"x\"\".");
  EXPECT_TRUE(parseTextFormat("camera { name: \"x\" }", &message, &error));
  EXPECT_EQ(message.camera(0).name(), "x");
  EXPECT_FALSE(parseTextFormat("camera {", nullptr));
}

}  // namespace
}  // namespace dravik::calibration
