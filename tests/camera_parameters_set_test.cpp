// The calibration set: loading, the fallback to the embedded default, and
// sharing between copies.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>

#include "calibration_common/camera_parameters.h"
#include "support/calibration_fixtures.h"
#include "support/log_capture.h"
#include "support/regex_literal.h"
#include "support/scratch_dir.h"

namespace dravik::calibration {
namespace {

using namespace testing;
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

// Records of cameras the loaded message does not name stay, and the later of
// two cameras of one name wins; the message is the loaded one alone.
TEST(CameraParametersSet, LoadMergesTheRecordsByName) {
  CameraParametersSet set;
  const Records defaults = recordsOf(set);
  ASSERT_TRUE(set.loadFromString(stereoText() + cameraText("left", "pinhole", 640, 480)));
  for (const auto& entry : defaults) EXPECT_EQ(set.getCamera(entry.first), entry.second);
  EXPECT_TRUE(set.hasCamera("right") && !set.hasCamera("RIGHT"));
  EXPECT_EQ(set.getCamera("left")->getModel(), "pinhole");
  EXPECT_EQ(set.getRawCalData().camera_size(), 3);
}

// A rejected camera (five k; a generic camera whose size is present but not
// positive, silently; a value that is not finite, or a double beyond the
// range of float, with a level-2 record naming the camera and the field)
// fails the load: the cameras read before it stay, the default's message and
// records are rebuilt, and a level-3 record says so.
TEST(CameraParametersSet, RejectedCameraFallsBackToTheDefault) {
  const auto edited = [](const std::string& from, const std::string& to) {
    std::string text = cameraText("third", "kv007n");
    return text.replace(text.find(from), from.size(), to);
  };
  const std::string five_k = edited("0.005, 0.006", "0.005"),
                    not_finite = "Value that is not finite in camera \"third\": ",
                    beyond = "Value beyond the range of float in camera \"third\"";
  const std::pair<std::string, std::string> cases[] = {
      {five_k, "Parameter list too short in " + cameraMessage(five_k).DebugString()},
      {cameraText("third", "pinhole", 0, 960), ""},
      {edited("fx: 1000", "fx: nan"), not_finite + "intrinsics.fx (nan)"},
      {edited("0.005, 0.006", "inf, 0.006"), not_finite + "intrinsics.k[4] (inf)"},
      {edited("-50", "-inf"), not_finite + "extrinsics.a[7] (-inf)"},
      {edited("cy: 480", "cy: 1e300"), beyond},
      // Finite, but its inverse overflows: R^T t with entries of 1e30.
      {edited("a: [1, 0, 0, 100", "a: [1e30, 0, 0, 1e33"), beyond},
  };
  for (const auto& [camera, text] : cases) {
    SCOPED_TRACE(camera);
    CameraParametersSet set;
    const Records defaults = recordsOf(set);
    LogCapture capture(3);
    EXPECT_FALSE(set.loadFromString(stereoText() + camera));
    EXPECT_TRUE(set.hasCamera("left") && set.hasCamera("right") && !set.hasCamera("third"));
    EXPECT_TRUE(holdsDefaultMessage(set));
    for (const auto& entry : defaults) EXPECT_NE(set.getCamera(entry.first), entry.second);
    const auto records = capture.records();
    ASSERT_EQ(records.size(), text.empty() ? 1u : 2u);
    if (!text.empty()) expectCameraRecord(records[0], 2, "CameraParameters::readProto", text);
    expectCameraRecord(records.back(), 3, "CameraParametersSet::loadFromString", kFallbackText);
  }
}

// A record quotes at most the first 64 KiB of a message: a camera message of
// a megabyte with a short list gives a record of that size and "...".
TEST(CameraParametersSet, RecordsQuoteAtMostTheStartOfAHugeMessage) {
  auto huge = parseText<RobotCalibration>(cameraText(std::string(1 << 20, 'x'), "kv007n"));
  huge.mutable_camera(0)->mutable_intrinsics()->mutable_k()->RemoveLast();
  CameraParametersSet set;
  LogCapture capture(2);
  EXPECT_FALSE(set.loadFromString(huge.SerializeAsString()));
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 1u);
  const std::string prefix = "Parameter list too short in ";
  EXPECT_TRUE(records[0].text ==
              (prefix + huge.camera(0).DebugString()).substr(0, prefix.size() + (64 << 10)) +
                  "...");
}

// A file loads silently; a missing or unparseable one is logged by its path.
TEST(CameraParametersSet, LoadFromFileNamesThePathOfAFailure) {
  const ScratchDir scratch;
  const std::string good = scratch.write("good.txt", stereoText());
  const std::string bad = scratch.write("bad.txt", "camera { name: \"left\" model: ");
  const std::string missing = scratch.path("missing.txt");
  CameraParametersSet set;
  LogCapture capture(3);
  EXPECT_TRUE(set.loadFromFile(good) && set.hasCamera("left") && capture.records().empty());
  EXPECT_FALSE(set.loadFromFile(missing));
  EXPECT_TRUE(holdsDefaultMessage(set));
  EXPECT_FALSE(set.loadFromFile(bad));
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 3u);
  expectCameraRecord(records[0], 2, "CameraParametersSet::loadFromFile", "Can't open " + missing);
  expectCameraRecord(records[1], 3, "CameraParametersSet::loadFromString", kFallbackText);
  expectCameraRecord(records[2], 2, "CameraParametersSet::loadFromFile",
                     "Error parsing robot calibration from " + bad);
}

// A copy builds new records from its own copy of the message.
TEST(CameraParametersSet, CopyBuildsNewRecordsFromItsOwnMessage) {
  CameraParametersSet b;
  ASSERT_TRUE(b.loadFromString(stereoText()));
  const CameraParametersSet copy(b);
  EXPECT_NE(&copy.getRawCalData(), &b.getRawCalData());
  EXPECT_EQ(copy.getCameraNames().size(), 2u) << "only the cameras of the message";
  for (const std::string name : {"left", "right"}) {
    EXPECT_NE(copy.getCamera(name), b.getCamera(name));
    EXPECT_EQ(copy.getCamera(name)->getFullFrameIntrinsics(),
              b.getCamera(name)->getFullFrameIntrinsics());
  }
}

// Assignment shares the message (a later load shows through) but each set
// keeps its records; self-assignment changes nothing.
TEST(CameraParametersSet, AssignmentSharesTheMessageButNotTheRecords) {
  CameraParametersSet a, b;
  ASSERT_TRUE(b.loadFromString(stereoText()));
  a = b;
  const Records b_records = recordsOf(b);
  EXPECT_EQ(recordsOf(a), b_records);
  ASSERT_TRUE(a.loadFromString(cameraText("left", "b910", 2592, 1944)));
  EXPECT_EQ(b.getRawCalData().camera(0).model(), "b910");
  EXPECT_EQ(recordsOf(b), b_records);
  CameraParametersSet& same = b;
  b = same;
  EXPECT_EQ(recordsOf(b), b_records);
}

// A default that is missing (empty text: unregistered), does not parse, or is
// rejected ends the process, whether a set is being made or a load is falling
// back. The default is replaced in the dying process only.
TEST(CameraParametersSetDeathTest, BrokenDefaultEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string parse_check =
      "google::protobuf::TextFormat::ParseFromString(data, robotcal_.get())";
  // default text, falling back, the failed check
  const std::tuple<std::string, bool, std::string> cases[] = {
      {"", false,
       "File::readFileToString( EmbeddedFile::kEmbeddedPrefix + "
       "\"calibration/default_head_cal.txt\", &data)"},
      {"camera { name: ", false, parse_check},
      {cameraText("flat", "pinhole", 0, 0, false), false, "readProto()"},
      {"camera { name: ", true, parse_check}};
  const std::string where = "dravik::calibration::CameraParametersSet::setDefault] Check failed ";
  const char* name = "calibration/default_head_cal.txt";
  CameraParametersSet set;
  for (const auto& [text, falling_back, check] : cases) {
    const auto act = [&] {
      if (text.empty()) EmbeddedFile::unregisterFile(name);
      if (!text.empty()) EmbeddedFile::registerFile(name, text.data(), text.size());
      if (falling_back) set.loadFromString("garbage {");
      if (!falling_back) CameraParametersSet();
    };
    EXPECT_DEATH(act(), testing::regexLiteral(where + check + " ")) << check;
  }
}

}  // namespace
}  // namespace dravik::calibration
