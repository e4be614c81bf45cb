// camcal convert and adjust: round trips between protobuf text and wire
// format, the adjusted calibration against the library's, and output files
// written whole or not at all.
#include <google/protobuf/text_format.h>
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include <cstdio>

#include "calibration_common/base_calibration_data.h"
#include "calibration_common/camera_parameters.h"
#include "run_camcal.h"

namespace {

using namespace camcal_test;
using dravik::calibration::BaseCalibrationProto;
using dravik::calibration::RobotCalibration;
using google::protobuf::util::MessageDifferencer;

// The message in a file's bytes, in text or wire format.
template <typename Message>
Message parse(const std::string& bytes, bool wire = false) {
  Message message;
  EXPECT_TRUE(wire ? message.ParseFromString(bytes)
                   : google::protobuf::TextFormat::ParseFromString(bytes, &message));
  return message;
}

// text -> wire -> text through camcal gives back the message of the text;
// the wire file is also read back from standard input, and validate names
// its kind.
template <typename Message>
void expectRoundTrip(const std::string& path, const std::string& kind) {
  SCOPED_TRACE(path);
  const Message original = parse<Message>(readFile(path));
  ScratchDir scratch;
  const std::string wire = scratch.path("calibration.bin");
  const auto to_wire = runCamcal({"convert", path, "--to", "wire", "-o", wire});
  ASSERT_EQ(to_wire.status, 0) << to_wire.err;
  EXPECT_TRUE(MessageDifferencer::Equals(parse<Message>(readFile(wire), true), original));
  for (const auto& [input, stdin_path] : {std::pair{wire, std::string()}, {"-", wire}}) {
    const auto to_text = runCamcal({"convert", input, "--to", "text"}, stdin_path);
    ASSERT_EQ(to_text.status, 0) << to_text.err;
    EXPECT_TRUE(MessageDifferencer::Equals(parse<Message>(to_text.out), original)) << to_text.out;
  }
  const auto validate = runCamcal({"validate", wire});
  EXPECT_EQ(validate.out.rfind(wire + ": valid " + kind + " calibration (wire", 0), 0u)
      << validate.out;
}

TEST(CamcalConvert, TextToWireToTextGivesBackEachKindOfCalibration) {
  expectRoundTrip<RobotCalibration>(fixture("robot_calibration.txt"), "robot");
  // Wire format keeps unknown fields, so a base calibration would also parse
  // as a robot calibration without cameras: camcal must still see a base.
  expectRoundTrip<BaseCalibrationProto>(fixture("base_calibration.txt"), "base");
  expectRoundTrip<dravik::calibration::PTZCameraParameters>(ptzExample(), "PTZ");
}

TEST(CamcalAdjust, WritesTheCalibrationTheLibraryAdjusts) {
  const std::string robot = fixture("robot_calibration.txt"),
                    base = fixture("base_calibration.txt");
  dravik::calibration::CameraParametersSet set;
  ASSERT_TRUE(set.loadFromFile(robot));
  dravik::calibration::BaseCalibrationData base_data;
  ASSERT_TRUE(base_data.loadFromString(readFile(base)));
  set.adjustUsingBaseCalibration(base_data);

  const auto text = runCamcal({"adjust", robot, base});
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_TRUE(MessageDifferencer::Equals(parse<RobotCalibration>(text.out), set.getRawCalData()));
  ScratchDir scratch;
  const std::string wire = scratch.path("adjusted.bin");
  const auto run = runCamcal({"adjust", robot, base, "--to", "wire", "-o", wire});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(MessageDifferencer::Equals(parse<RobotCalibration>(readFile(wire), true),
                                         set.getRawCalData()));
}

// Output goes through a temporary file that replaces the target only when
// complete: a failure leaves neither a partial file nor a changed one.
TEST(CamcalOutput, IsWrittenWholeOrNotAtAll) {
  ScratchDir scratch;
  const std::string out = scratch.path("out.yaml");
  const auto to_file =
      runCamcal({"intrinsics", "navigation", "1280x720", "-f", "opencv-yaml", "-o", out});
  ASSERT_EQ(to_file.status, 0) << to_file.err;
  EXPECT_EQ(to_file.out, "");
  EXPECT_EQ(readFile(out),
            runCamcal({"intrinsics", "navigation", "1280x720", "-f", "opencv-yaml"}).out);
  EXPECT_EQ(scratch.entries(), std::vector<std::string>{"out.yaml"});

  writeFile(out, "earlier result");
  EXPECT_EQ(runCamcal({"adjust", fixture("robot_calibration_short_k.txt"),
                       fixture("base_calibration.txt"), "-o", out})
                .status,
            kFailed);
  EXPECT_EQ(readFile(out), "earlier result");
  std::remove(out.c_str());
  EXPECT_EQ(
      runCamcal({"convert", fixture("robot_calibration_malformed.txt"), "--to", "wire", "-o", out})
          .status,
      kFailed);
  EXPECT_TRUE(scratch.entries().empty());
}

}  // namespace
