// The calibration set: loading, the fallback to the embedded default,
// lookups, and sharing between copies.
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include <gtest/gtest.h>

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

// Two cameras that the default does not name.
std::string stereoText() {
  return cameraText("left", "kv007n") + cameraText("right", "b910", 2592, 1944);
}

std::set<std::string> namesOf(const CameraParametersSet& set) {
  const auto names = set.getCameraNames();
  return std::set<std::string>(names.begin(), names.end());
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

TEST(CameraSet, NewSetHoldsTheDefaultCamerasUnderExactCaseSensitiveNames) {
  const CameraParametersSet set;
  EXPECT_EQ(namesOf(set), testing::embeddedDefaultCameraNames());
  EXPECT_TRUE(holdsDefaultMessage(set));
  LogCapture capture;
  EXPECT_TRUE(set.hasCamera("head"));
  for (const std::string other : {"HEAD", "head ", "", "no such camera"}) {
    EXPECT_EQ(set.getCamera(other), nullptr) << other;
    EXPECT_FALSE(set.hasCamera(other)) << other;
  }
  EXPECT_TRUE(capture.records().empty()) << "lookups are silent";
}

// The message is the loaded one alone; the records of cameras it does not
// name stay, the later of two cameras of one name wins, and reloading the
// set's own message rebuilds its records.
TEST(CameraSet, LoadReplacesTheMessageAndMergesTheRecordsByName) {
  CameraParametersSet set;
  const Records defaults = recordsOf(set);
  ASSERT_TRUE(set.loadFromString(stereoText() + cameraText("left", "pinhole", 640, 480)));
  for (const auto& entry : defaults) EXPECT_EQ(set.getCamera(entry.first), entry.second);
  EXPECT_TRUE(set.hasCamera("right"));
  EXPECT_EQ(set.getCamera("left")->getModel(), "pinhole");
  EXPECT_EQ(set.getRawCalData().camera_size(), 3);

  const Records before = recordsOf(set);
  EXPECT_TRUE(set.loadFromProto(set.getRawCalData()));
  EXPECT_EQ(set.getRawCalData().camera_size(), 3);
  EXPECT_NE(set.getCamera("right"), before.at("right"));
  EXPECT_EQ(set.getCamera("right")->getFullFrameIntrinsics(),
            before.at("right")->getFullFrameIntrinsics());

  const Records reloaded = recordsOf(set);
  EXPECT_TRUE(set.loadFromProto(RobotCalibration()));
  EXPECT_EQ(set.getRawCalData().camera_size(), 0);
  EXPECT_TRUE(set.loadFromString("# a calibration without cameras\n"));
  EXPECT_EQ(recordsOf(set), reloaded);
}

// The cameras read before the rejected one stay; the default's are rebuilt.
TEST(CameraSet, RejectedThirdCameraKeepsTheFirstTwoAndRestoresTheDefault) {
  auto bad = parseText<RobotCalibration>(stereoText() + cameraText("third", "kv007n"));
  bad.mutable_camera(2)->mutable_intrinsics()->mutable_k()->RemoveLast();  // five k
  CameraParametersSet set;
  const Records defaults = recordsOf(set);
  LogCapture capture(3);
  EXPECT_FALSE(set.loadFromString(bad.SerializeAsString()));

  EXPECT_TRUE(set.hasCamera("left") && set.hasCamera("right"));
  EXPECT_FALSE(set.hasCamera("third"));
  EXPECT_TRUE(holdsDefaultMessage(set));
  for (const auto& entry : defaults) EXPECT_NE(set.getCamera(entry.first), entry.second);
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 2u);
  expectCameraRecord(records[0], 2, "CameraParameters::readProto",
                     "Parameter list too short in " + bad.camera(2).DebugString());
  expectCameraRecord(records[1], 3, "CameraParametersSet::loadFromString", kFallbackText);
}

// A generic camera whose width or height is present but not positive has
// no size to serve, and fails the load.
TEST(CameraSet, GenericCameraWithoutAPositiveSizeFailsTheLoad) {
  CameraParametersSet set;
  LogCapture capture(3);
  const auto flat = parseText<RobotCalibration>(cameraText("flat", "pinhole", 0, 960));
  EXPECT_FALSE(set.loadFromProto(flat));
  EXPECT_FALSE(set.hasCamera("flat"));
  EXPECT_TRUE(holdsDefaultMessage(set));
  ASSERT_EQ(capture.records().size(), 1u);
  expectCameraRecord(capture.records()[0], 3, "CameraParametersSet::loadFromProto", kFallbackText);
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
  EXPECT_TRUE(set.loadFromFile(good));
  EXPECT_TRUE(set.hasCamera("left"));
  EXPECT_TRUE(capture.records().empty());
  EXPECT_FALSE(set.loadFromFile(missing));
  EXPECT_TRUE(holdsDefaultMessage(set));
  EXPECT_FALSE(set.loadFromFile(bad));
  EXPECT_TRUE(holdsDefaultMessage(set));
  std::filesystem::remove_all(dir);

  // The missing file; then the unparseable one: the fallback, then its path.
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 3u);
  expectCameraRecord(records[0], 2, "CameraParametersSet::loadFromFile", "Can't open " + missing);
  expectCameraRecord(records[1], 3, "CameraParametersSet::loadFromString", kFallbackText);
  expectCameraRecord(records[2], 2, "CameraParametersSet::loadFromFile",
                     "Error parsing robot calibration from " + bad);
}

// ---------------------------------------------------------------- copies

TEST(CameraSetCopy, AssignmentSharesTheMessageAndTheRecords) {
  CameraParametersSet a, b;
  ASSERT_TRUE(b.loadFromString(stereoText()));
  a = b;
  EXPECT_EQ(&a.getRawCalData(), &b.getRawCalData());
  EXPECT_EQ(recordsOf(a), recordsOf(b));

  const Records b_records = recordsOf(b);
  ASSERT_TRUE(a.loadFromString(cameraText("left", "b910", 2592, 1944)));
  EXPECT_EQ(b.getRawCalData().camera(0).model(), "b910") << "b sees a's load in the message";
  EXPECT_EQ(recordsOf(b), b_records) << "but keeps its records";
  EXPECT_NE(a.getCamera("left"), b.getCamera("left"));

  const RobotCalibration* message = &b.getRawCalData();
  CameraParametersSet& same = b;
  b = same;
  EXPECT_EQ(recordsOf(b), b_records) << "self-assignment changes nothing";
  EXPECT_EQ(&b.getRawCalData(), message);
}

TEST(CameraSetCopy, ConstructionRebuildsRecordsFromItsOwnCopyOfTheMessage) {
  CameraParametersSet original;
  ASSERT_TRUE(original.loadFromString(stereoText()));  // the map also holds the default cameras
  const CameraParametersSet copy(original);
  EXPECT_NE(&copy.getRawCalData(), &original.getRawCalData());
  EXPECT_EQ(copy.getRawCalData().SerializeAsString(), original.getRawCalData().SerializeAsString());
  EXPECT_EQ(namesOf(copy), (std::set<std::string>{"left", "right"}))
      << "only the cameras of the message";
  for (const std::string name : {"left", "right"}) {
    EXPECT_NE(copy.getCamera(name), original.getCamera(name));
    EXPECT_EQ(copy.getCamera(name)->getIntrinsics(640, 480),
              original.getCamera(name)->getIntrinsics(640, 480));
  }
}

// ---------------------------------------------------------------- the embedded default

// Replaces the embedded default (in the dying process only).
void replaceDefault(const std::string& text) {
  static std::string kept;
  kept = text;
  EmbeddedFile::registerFile("calibration/default_head_cal.txt", kept.data(), kept.size());
}

// A default that is missing, does not parse, or that its reader rejects ends
// the process, whether a set is being made or a load is falling back.
TEST(CameraSetDeathTest, BrokenDefaultEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string parse_check =
      "google::protobuf::TextFormat::ParseFromString(data, robotcal_.get())";
  CameraParametersSet set;
  const struct {
    std::function<void()> act;
    std::string check;
  } cases[] = {
      {[] { EmbeddedFile::unregisterFile("calibration/default_head_cal.txt");
            CameraParametersSet(); },
       "File::readFileToString( EmbeddedFile::kEmbeddedPrefix + "
       "\"calibration/default_head_cal.txt\", &data)"},
      {[] { replaceDefault("camera { name: "); CameraParametersSet(); }, parse_check},
      {[] { replaceDefault(cameraText("flat", "pinhole", 0, 0, false)); CameraParametersSet(); },
       "readProto()"},
      {[&set] { replaceDefault("camera { name: "); set.loadFromString("garbage {"); },
       parse_check},
  };
  const std::string where = "dravik::calibration::CameraParametersSet::setDefault] Check failed ";
  for (const auto& c : cases)
    EXPECT_DEATH(c.act(), testing::regexLiteral(where + c.check + " ")) << c.check;
}

}  // namespace
}  // namespace calibration
}  // namespace dravik
