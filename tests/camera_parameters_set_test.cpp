// The calibration set: loading, the fallback to the embedded default,
// lookups, sharing between copies and the lifetime of handed-out records.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "calibration_common/camera_parameters.h"
#include "support/calibration_fixtures.h"
#include "support/log_capture.h"
#include "support/regex_literal.h"

namespace {

using dravik::calibration::CameraParameters;
using dravik::calibration::CameraParametersSet;
using dravik::calibration::RobotCalibration;
using dravik::testing::cameraText;
using dravik::testing::embeddedDefaultCameraNames;
using dravik::testing::embeddedDefaultText;
using dravik::testing::LogCapture;
using dravik::testing::parseText;
using Records = std::map<std::string, std::shared_ptr<const CameraParameters>>;

const char kSetFile[] = "calibration_common/camera_parameters";
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
         parseText<RobotCalibration>(embeddedDefaultText()).SerializeAsString();
}

// Every default camera is held by a record other than the one in `before`.
void expectDefaultRecordsRebuilt(const CameraParametersSet& set, const Records& before) {
  for (const std::string& name : embeddedDefaultCameraNames()) {
    ASSERT_TRUE(set.hasCamera(name)) << name;
    EXPECT_NE(set.getCamera(name), before.at(name)) << name;
  }
}

// ---------------------------------------------------------------- construction and lookup

TEST(CameraSet, NewSetHoldsExactlyTheEmbeddedDefaultCameras) {
  const auto expected = embeddedDefaultCameraNames();
  ASSERT_FALSE(expected.empty());
  const CameraParametersSet set;
  EXPECT_EQ(namesOf(set), expected);
  for (const std::string& name : expected) EXPECT_TRUE(set.hasCamera(name)) << name;
  EXPECT_TRUE(holdsDefaultMessage(set));
}

TEST(CameraSet, LookupIsExactCaseSensitiveAndSilent) {
  const CameraParametersSet set;
  const std::string name = *embeddedDefaultCameraNames().begin();
  LogCapture capture;
  EXPECT_NE(set.getCamera(name), nullptr);
  std::string upper = name;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::string& other :
       {upper, name + " ", std::string(), std::string("no such camera")}) {
    EXPECT_EQ(set.getCamera(other), nullptr) << other;
    EXPECT_FALSE(set.hasCamera(other)) << other;
  }
  EXPECT_TRUE(capture.records().empty());
}

// ---------------------------------------------------------------- loading

TEST(CameraSet, TextAndWireFormatsLoadTheSameCameras) {
  const auto message = parseText<RobotCalibration>(stereoText());
  for (const std::string& data : {stereoText(), message.SerializeAsString()}) {
    CameraParametersSet set;
    ASSERT_TRUE(set.loadFromString(data));
    EXPECT_EQ(set.getRawCalData().SerializeAsString(), message.SerializeAsString());
    EXPECT_EQ(set.getCamera("left")->getModel(), "kv007n");
    EXPECT_EQ(set.getCamera("right")->getIntrinsicsTable().size(), 4u);
  }
}

TEST(CameraSet, LoadAddsCamerasAndKeepsThoseItDoesNotName) {
  CameraParametersSet set;
  const Records defaults = recordsOf(set);
  ASSERT_TRUE(set.loadFromString(stereoText()));
  for (const auto& entry : defaults) EXPECT_EQ(set.getCamera(entry.first), entry.second);
  EXPECT_TRUE(set.hasCamera("left"));
  EXPECT_TRUE(set.hasCamera("right"));
  EXPECT_EQ(set.getRawCalData().camera_size(), 2) << "the message is the loaded one alone";
}

TEST(CameraSet, LaterCameraOfTheSameNameWins) {
  CameraParametersSet set;
  ASSERT_TRUE(
      set.loadFromString(cameraText("twin", "kv007n") + cameraText("twin", "pinhole", 640, 480)));
  EXPECT_EQ(set.getCamera("twin")->getModel(), "pinhole");
  EXPECT_EQ(set.getRawCalData().camera_size(), 2);
}

TEST(CameraSet, CalibrationWithoutCamerasIsAccepted) {
  CameraParametersSet set;
  ASSERT_TRUE(set.loadFromString(stereoText()));
  const Records before = recordsOf(set);
  EXPECT_TRUE(set.loadFromProto(RobotCalibration()));
  EXPECT_EQ(set.getRawCalData().camera_size(), 0);
  EXPECT_EQ(recordsOf(set), before);
  EXPECT_TRUE(set.loadFromString("# a calibration without cameras\n"));
  EXPECT_EQ(recordsOf(set), before);
}

TEST(CameraSet, RejectedThirdCameraKeepsTheFirstTwoAndRestoresTheDefault) {
  auto bad = parseText<RobotCalibration>(stereoText() + cameraText("third", "kv007n"));
  bad.mutable_camera(2)->mutable_intrinsics()->mutable_k()->RemoveLast();  // five k
  CameraParametersSet set;
  const Records defaults = recordsOf(set);
  LogCapture capture(3);
  EXPECT_FALSE(set.loadFromString(bad.SerializeAsString()));

  EXPECT_TRUE(set.hasCamera("left"));
  EXPECT_TRUE(set.hasCamera("right"));
  EXPECT_FALSE(set.hasCamera("third"));
  EXPECT_TRUE(holdsDefaultMessage(set));
  expectDefaultRecordsRebuilt(set, defaults);

  const auto records = capture.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].level, 2);
  EXPECT_EQ(records[0].text, "Parameter list too short in " + bad.camera(2).DebugString());
  EXPECT_EQ(records[1].level, 3);
  EXPECT_EQ(records[1].tag, "camera_parameters");
  EXPECT_EQ(records[1].file, kSetFile);
  EXPECT_EQ(records[1].function, "dravik::calibration::CameraParametersSet::loadFromString");
  EXPECT_EQ(records[1].text, kFallbackText);
}

TEST(CameraSet, UnparseableStringFallsBackToTheDefault) {
  CameraParametersSet set;
  ASSERT_TRUE(set.loadFromString(stereoText()));
  const Records before = recordsOf(set);
  LogCapture capture(3);
  EXPECT_FALSE(set.loadFromString("camera { name: \"left\" intrinsics {"));
  EXPECT_TRUE(holdsDefaultMessage(set));
  expectDefaultRecordsRebuilt(set, before);
  EXPECT_EQ(set.getCamera("left"), before.at("left")) << "untouched by the fallback";
  ASSERT_EQ(capture.records().size(), 1u);
  EXPECT_TRUE(capture.contains(3, "camera_parameters", kFallbackText));
}

TEST(CameraSet, GenericCameraWithoutAUsableSizeFailsTheLoad) {
  for (const std::string& camera :
       {cameraText("flat", "pinhole", 0, 960), cameraText("flat", "pinhole", 0, 0, false)}) {
    CameraParametersSet set;
    LogCapture capture(3);
    EXPECT_FALSE(set.loadFromProto(parseText<RobotCalibration>(camera)));
    EXPECT_FALSE(set.hasCamera("flat"));
    EXPECT_TRUE(holdsDefaultMessage(set));
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].function, "dravik::calibration::CameraParametersSet::loadFromProto");
    EXPECT_EQ(records[0].text, kFallbackText);
  }
}

TEST(CameraSet, ReloadingItsOwnMessageRebuildsEveryRecord) {
  CameraParametersSet set;
  ASSERT_TRUE(set.loadFromString(stereoText()));
  const Records before = recordsOf(set);
  EXPECT_TRUE(set.loadFromProto(set.getRawCalData()));
  EXPECT_EQ(set.getRawCalData().camera_size(), 2);
  for (const std::string name : {"left", "right"}) {
    EXPECT_NE(set.getCamera(name), before.at(name)) << name;
    EXPECT_EQ(set.getCamera(name)->getFullFrameIntrinsics(),
              before.at(name)->getFullFrameIntrinsics());
  }
}

class CameraSetFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("camera_set_test_" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string write(const std::string& content) {
    const std::string path = (dir_ / "head_cal.txt").string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  std::filesystem::path dir_;
};

TEST_F(CameraSetFile, ReadableCalibrationLoads) {
  CameraParametersSet set;
  LogCapture capture(3);
  EXPECT_TRUE(set.loadFromFile(write(stereoText())));
  EXPECT_TRUE(set.hasCamera("left"));
  EXPECT_TRUE(capture.records().empty());
}

TEST_F(CameraSetFile, MissingFileFallsBackAndNamesThePath) {
  CameraParametersSet set;
  ASSERT_TRUE(set.loadFromString(stereoText()));
  const std::string path = (dir_ / "missing.txt").string();
  LogCapture capture(3);
  EXPECT_FALSE(set.loadFromFile(path));
  EXPECT_TRUE(holdsDefaultMessage(set));
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, 2);
  EXPECT_EQ(records[0].tag, "camera_parameters");
  EXPECT_EQ(records[0].function, "dravik::calibration::CameraParametersSet::loadFromFile");
  EXPECT_EQ(records[0].text, "Can't open " + path);
}

TEST_F(CameraSetFile, UnparseableFileLogsTheFallbackThenThePath) {
  CameraParametersSet set;
  const std::string path = write("camera { name: \"left\" model: ");
  LogCapture capture(3);
  EXPECT_FALSE(set.loadFromFile(path));
  EXPECT_TRUE(holdsDefaultMessage(set));
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].level, 3);
  EXPECT_EQ(records[0].text, kFallbackText);
  EXPECT_EQ(records[1].level, 2);
  EXPECT_EQ(records[1].function, "dravik::calibration::CameraParametersSet::loadFromFile");
  EXPECT_EQ(records[1].text, "Error parsing robot calibration from " + path);
}

// ---------------------------------------------------------------- copies and lifetime

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
}

TEST(CameraSetCopy, SelfAssignmentChangesNothing) {
  CameraParametersSet set;
  const Records before = recordsOf(set);
  const RobotCalibration* message = &set.getRawCalData();
  CameraParametersSet& same = set;
  set = same;
  EXPECT_EQ(recordsOf(set), before);
  EXPECT_EQ(&set.getRawCalData(), message);
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

TEST(CameraSetCopy, HandedOutRecordOutlivesReloadsAndTheSet) {
  std::shared_ptr<const CameraParameters> left;
  {
    CameraParametersSet set;
    ASSERT_TRUE(set.loadFromString(stereoText()));
    left = set.getCamera("left");
    ASSERT_TRUE(set.loadFromString(cameraText("left", "b910", 2592, 1944)));
    EXPECT_NE(set.getCamera("left"), left);
    EXPECT_FALSE(set.loadFromString("garbage {"));
  }
  EXPECT_EQ(left.use_count(), 1);
  EXPECT_EQ(left->getModel(), "kv007n");
  EXPECT_EQ(left->getIntrinsicsTable().size(), 3u);
  EXPECT_FLOAT_EQ(left->getIntrinsics(640, 480)(0, 0), 500.0f);
}

// ---------------------------------------------------------------- the embedded default

class BrokenDefault : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
  // Replaces the embedded default in the dying process only.
  static void replaceDefault(const std::string& text) {
    static std::string kept;
    kept = text;
    dravik::EmbeddedFile::registerFile("calibration/default_head_cal.txt", kept.data(),
                                       kept.size());
  }
  static std::string checkText(const std::string& condition) {
    return dravik::testing::regexLiteral(
        "dravik::calibration::CameraParametersSet::setDefault] Check failed " + condition + " ");
  }
};

TEST_F(BrokenDefault, MissingDefaultEndsTheProcess) {
  EXPECT_DEATH(
      {
        dravik::EmbeddedFile::unregisterFile("calibration/default_head_cal.txt");
        CameraParametersSet set;
      },
      checkText("File::readFileToString( EmbeddedFile::kEmbeddedPrefix + "
                "\"calibration/default_head_cal.txt\", &data)"));
}

TEST_F(BrokenDefault, UnparseableDefaultEndsTheProcess) {
  EXPECT_DEATH(
      {
        replaceDefault("camera { name: ");
        CameraParametersSet set;
      },
      checkText("google::protobuf::TextFormat::ParseFromString(data, robotcal_.get())"));
}

TEST_F(BrokenDefault, DefaultThatItsReaderRejectsEndsTheProcess) {
  EXPECT_DEATH(
      {
        replaceDefault(cameraText("flat", "pinhole", 0, 0, false));
        CameraParametersSet set;
      },
      checkText("readProto()"));
}

TEST_F(BrokenDefault, FallbackOfALoadChecksTheDefaultToo) {
  CameraParametersSet set;
  EXPECT_DEATH(
      {
        replaceDefault("camera { name: ");
        set.loadFromString("garbage {");
      },
      checkText("google::protobuf::TextFormat::ParseFromString(data, robotcal_.get())"));
}

}  // namespace
