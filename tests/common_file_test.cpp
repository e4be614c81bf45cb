// Reading files, the embedded texts readable under the embedded prefix, and
// calibration bytes. Text that is not a calibration is reported through the
// log sink alone: libprotobuf's text parser would otherwise print its syntax
// errors on the host program's stderr.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>

#include "calibration_common/base_calibration_data.h"
#include "calibration_common/camera_parameters.h"
#include "calibration_messages/calibration.pb.h"
#include "dravik/calibration_bytes.h"
#include "dravik/file.h"
#include "dravik/text_format.h"
#include "support/log_capture.h"
#include "support/scratch_dir.h"

namespace dravik::calibration {
namespace {

// What the process writes to file descriptor 2 while action runs.
std::string stderrOf(const std::function<void()>& action) {
  ::testing::internal::CaptureStderr();
  action();
  return ::testing::internal::GetCapturedStderr();
}

// The set warns that its default is back in force; the base calibration logs
// nothing at all for text that parses in neither format.
TEST(TextFormatParse, GarbageReachesTheLogSinkAloneWithTheDocumentedRecords) {
  for (const std::string text : {"garbage {", "camera { name: \"x\" intrinsics { fx: oops } }"}) {
    SCOPED_TRACE(text);
    CameraParametersSet set;
    BaseCalibrationData base;
    {
      testing::LogCapture log(3);
      EXPECT_EQ(stderrOf([&] { EXPECT_FALSE(set.loadFromString(text)); }), "");
      EXPECT_EQ(log.records().size(), 1u);
      EXPECT_TRUE(log.contains(3, "camera_parameters", "Loading default camera calibration."));
    }
    testing::LogCapture log(3);
    EXPECT_EQ(stderrOf([&] { EXPECT_FALSE(base.loadFromString(text)); }), "");
    EXPECT_TRUE(log.records().empty());
  }
}

// Wire format first, then text, with the encoding read and the text parser's
// first error, with its line and column, for bytes that are neither; zero
// bytes are an empty wire message, replacing what the message held.
TEST(ReadCalibrationBytes, ReadsWireThenTextAndSaysWhich) {
  RobotCalibration wire_message;
  wire_message.add_camera()->set_name("wire");
  // bytes, read, encoding, the first camera's name or the text parser's error
  const std::tuple<std::string, bool, CalibrationEncoding, std::string> cases[] = {
      {wire_message.SerializeAsString(), true, CalibrationEncoding::kWire, "wire"},
      {"camera { name: \"text\" }", true, CalibrationEncoding::kText, "text"},
      {"", true, CalibrationEncoding::kWire, ""},
      {"camera {\n  name \"x\"\n}", false, CalibrationEncoding::kText,
       "line 2, column 8: Expected \":\", found \"\"x\"\"."},
  };
  for (const auto& [bytes, read, expected_encoding, seen] : cases) {
    SCOPED_TRACE(bytes);
    RobotCalibration message;
    message.add_camera()->set_name("stale");
    CalibrationEncoding encoding{};
    TextFormatError error;
    EXPECT_EQ(readCalibrationBytes(bytes, &message, &encoding, &error), read);
    EXPECT_EQ(encoding, expected_encoding);
    EXPECT_EQ(!read ? error.text() : message.camera_size() ? message.camera(0).name() : "", seen);
  }
  EXPECT_FALSE(readCalibrationBytes("", nullptr));
  EXPECT_FALSE(parseTextFormat("camera {", nullptr));
}

TEST(FirstNonFiniteField, NamesThePathAndValueOfTheFirstNaNOrInfinity) {
  const std::pair<std::string, std::string> cases[] = {
      {"camera { intrinsics { fx: 1 k: [0, 1] } }", ""},
      {"camera { } camera { intrinsics { k: [0, nan] } }", "camera[1].intrinsics.k[1] (nan)"},
      {"camera { extrinsics { a: [1, -inf] } }", "camera[0].extrinsics.a[1] (-inf)"},
  };
  for (const auto& [text, path] : cases) {
    RobotCalibration message;
    ASSERT_TRUE(parseTextFormat(text, &message)) << text;
    EXPECT_EQ(firstNonFiniteField(message), path) << text;
  }
}

// Whole contents byte for byte (beyond one read buffer, every byte value) and
// empty files; unreadable paths, and a path that never ends (/dev/zero, read
// up to the limit and refused with a record), fail and leave the contents
// alone. A set loading /dev/zero falls back to its default.
TEST(File, ReadFileToStringReadsTheWholeContentOrLeavesItAlone) {
  const testing::ScratchDir scratch;
  std::string content, read, empty = "x";
  for (int i = 0; i < 300000; ++i) content.push_back(static_cast<char>(i * 7 % 256));
  const std::string blob = scratch.write("blob.bin", content),
                    nothing = scratch.write("empty.txt", "");
  EXPECT_TRUE(File::readFileToString(blob, &read) && read == content);
  EXPECT_TRUE(File::readFileToString(nothing, &empty) && empty.empty());
  read = "untouched";
  testing::LogCapture log(2);
  for (const std::string& path :
       {scratch.path("missing.txt"), scratch.dir, std::string(), std::string("/dev/zero")})
    EXPECT_FALSE(File::readFileToString(path, &read)) << path;
  EXPECT_EQ(read, "untouched");
  EXPECT_FALSE(File::readFileToString(nothing, nullptr));
  EXPECT_TRUE(log.contains(2, "file", "File /dev/zero is larger than 268435456 bytes"));
  CameraParametersSet set;
  EXPECT_FALSE(set.loadFromFile("/dev/zero"));
  EXPECT_TRUE(log.contains(2, "camera_parameters", "Can't open /dev/zero"));
}

// A name reads as its registration (NUL bytes included), only under the
// prefix, and unknown names fail; the death tests of the broken defaults
// replace and unregister the embedded defaults.
TEST(EmbeddedFile, ReadsARegistrationOnlyUnderThePrefix) {
  static const char kText[] = "first\0with nul";
  std::string read = "untouched";
  EXPECT_FALSE(File::readFileToString(EmbeddedFile::kEmbeddedPrefix + "none.txt", &read));
  EXPECT_FALSE(EmbeddedFile::find("calibration/default_head_cal.txt", nullptr));
  EXPECT_EQ(read, "untouched");
  EmbeddedFile::registerFile("test/registered.txt", kText, sizeof(kText) - 1);
  EXPECT_TRUE(
      File::readFileToString(EmbeddedFile::kEmbeddedPrefix + "test/registered.txt", &read) &&
      read == std::string(kText, sizeof(kText) - 1));
  EXPECT_FALSE(File::readFileToString("test/registered.txt", &read)) << "only under the prefix";
}

}  // namespace
}  // namespace dravik::calibration
