// The calibration set: loading, the fallback to the embedded default, and
// sharing between copies.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "calibration_common/camera_parameters.h"
#include "support/calibration_fixtures.h"
#include "support/log_capture.h"
#include "support/regex_literal.h"

namespace dravik {
namespace calibration {
namespace {

using testing::cameraText;
using testing::expectCameraRecord;
using testing::LogCapture;
using testing::parseText;
using Records = std::map<std::string, std::shared_ptr<const CameraParameters>>;

const char kFallbackText[] = "Loading default camera calibration.";

std::string stereoText() {
  return cameraText("left", "kv007n") + cameraText("right", "b910", 2592, 1944);
}

Records recordsOf(const CameraParametersSet& set) {
  Records records;
  for (const std::string& name : set.getCameraNames()) records[name] = set.getCamera(name);
  return records;
}

bool holdsDefaultMessage(const CameraParametersSet& set) {
  return set.getRawCalData().SerializeAsString() ==
         parseText<RobotCalibration>(testing::embeddedDefaultText()).SerializeAsString();
}

// The message is the loaded one alone; records of cameras it does not name
// stay, and the later of two cameras of one name wins.
TEST(CameraSet, LoadReplacesTheMessageAndMergesTheRecordsByName) {
  CameraParametersSet set;
  const Records defaults = recordsOf(set);
  ASSERT_TRUE(set.loadFromString(stereoText() + cameraText("left", "pinhole", 640, 480)));
  for (const auto& entry : defaults) EXPECT_EQ(set.getCamera(entry.first), entry.second);
  EXPECT_TRUE(set.hasCamera("right") && !set.hasCamera("RIGHT"));
  EXPECT_EQ(set.getCamera("left")->getModel(), "pinhole");
  EXPECT_EQ(set.getRawCalData().camera_size(), 3);
}

// A rejected camera (five k; a generic camera whose size is present but not
// positive) fails the load: the cameras read before it stay, the default's
// message and records are rebuilt.
TEST(CameraSet, RejectedCameraRestoresTheDefaultAndKeepsTheCamerasBeforeIt) {
  auto five_k = parseText<RobotCalibration>(stereoText() + cameraText("third", "kv007n"));
  five_k.mutable_camera(2)->mutable_intrinsics()->mutable_k()->RemoveLast();
  const auto flat =
      parseText<RobotCalibration>(stereoText() + cameraText("third", "pinhole", 0, 960));
  for (const RobotCalibration* bad : {&std::as_const(five_k), &flat}) {
    CameraParametersSet set;
    const Records defaults = recordsOf(set);
    LogCapture capture(3);
    EXPECT_FALSE(set.loadFromString(bad->SerializeAsString()));
    EXPECT_TRUE(set.hasCamera("left") && set.hasCamera("right") && !set.hasCamera("third"));
    EXPECT_TRUE(holdsDefaultMessage(set));
    for (const auto& entry : defaults) EXPECT_NE(set.getCamera(entry.first), entry.second);
    const auto records = capture.records();
    ASSERT_FALSE(records.empty());
    expectCameraRecord(records.back(), 3, "CameraParametersSet::loadFromString", kFallbackText);
    if (bad == &five_k)
      expectCameraRecord(records[0], 2, "CameraParameters::readProto",
                         "Parameter list too short in " + bad->camera(2).DebugString());
  }
}

TEST(CameraSet, FileLoadsOrFallsBackNamingThePath) {
  const auto dir = std::filesystem::temp_directory_path() / "camera_set_test_files";
  std::filesystem::create_directories(dir);
  const std::string good = (dir / "good.txt").string(), bad = (dir / "bad.txt").string();
  const std::string missing = (dir / "missing.txt").string();
  std::ofstream(good) << stereoText();
  std::ofstream(bad) << "camera { name: \"left\" model: ";
  CameraParametersSet set;
  LogCapture capture(3);
  EXPECT_TRUE(set.loadFromFile(good) && set.hasCamera("left") && capture.records().empty());
  EXPECT_FALSE(set.loadFromFile(missing));
  EXPECT_TRUE(holdsDefaultMessage(set));
  EXPECT_FALSE(set.loadFromFile(bad));
  std::filesystem::remove_all(dir);
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 3u);
  expectCameraRecord(records[0], 2, "CameraParametersSet::loadFromFile", "Can't open " + missing);
  expectCameraRecord(records[1], 3, "CameraParametersSet::loadFromString", kFallbackText);
  expectCameraRecord(records[2], 2, "CameraParametersSet::loadFromFile",
                     "Error parsing robot calibration from " + bad);
}

// Assignment shares the message (a later load shows through) but each keeps
// its records; a copy builds new records from its own copy of the message.
TEST(CameraSetCopy, AssignmentSharesTheMessageWhileCopyBuildsNewRecords) {
  CameraParametersSet a, b;
  ASSERT_TRUE(b.loadFromString(stereoText()));
  const CameraParametersSet copy(b);
  EXPECT_NE(&copy.getRawCalData(), &b.getRawCalData());
  EXPECT_EQ(copy.getCameraNames().size(), 2u) << "only the cameras of the message";
  for (const std::string name : {"left", "right"}) {
    EXPECT_NE(copy.getCamera(name), b.getCamera(name));
    EXPECT_EQ(copy.getCamera(name)->getFullFrameIntrinsics(),
              b.getCamera(name)->getFullFrameIntrinsics());
  }
  a = b;
  const Records b_records = recordsOf(b);
  EXPECT_EQ(recordsOf(a), b_records);
  ASSERT_TRUE(a.loadFromString(cameraText("left", "b910", 2592, 1944)));
  EXPECT_EQ(b.getRawCalData().camera(0).model(), "b910");
  EXPECT_EQ(recordsOf(b), b_records);
  CameraParametersSet& same = b;
  b = same;
  EXPECT_EQ(recordsOf(b), b_records) << "self-assignment changes nothing";
}

// Replaces the embedded default (in the dying process only).
void replaceDefault(const std::string& text) {
  static std::string kept;
  kept = text;
  EmbeddedFile::registerFile("calibration/default_head_cal.txt", kept.data(), kept.size());
}

// A default that is missing, does not parse, or is rejected ends the process,
// whether a set is being made or a load is falling back.
TEST(CameraSetDeathTest, BrokenDefaultEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string parse_check =
      "google::protobuf::TextFormat::ParseFromString(data, robotcal_.get())";
  CameraParametersSet set;
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[] {
         EmbeddedFile::unregisterFile("calibration/default_head_cal.txt");
         CameraParametersSet();
       },
       "File::readFileToString( EmbeddedFile::kEmbeddedPrefix + "
       "\"calibration/default_head_cal.txt\", &data)"},
      {[] {
         replaceDefault("camera { name: ");
         CameraParametersSet();
       },
       parse_check},
      {[] {
         replaceDefault(cameraText("flat", "pinhole", 0, 0, false));
         CameraParametersSet();
       },
       "readProto()"},
      {[&set] {
         replaceDefault("camera { name: ");
         set.loadFromString("garbage {");
       },
       parse_check},
  };
  const std::string where = "dravik::calibration::CameraParametersSet::setDefault] Check failed ";
  for (const auto& [act, check] : cases)
    EXPECT_DEATH(act(), testing::regexLiteral(where + check + " ")) << check;
}

}  // namespace
}  // namespace calibration
}  // namespace dravik
