// camcal convert and adjust: round trips between protobuf text and wire
// format, and the adjusted calibration against the library's.
#include <google/protobuf/text_format.h>
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include "calibration_common/base_calibration_data.h"
#include "calibration_common/camera_parameters.h"
#include "run_camcal.h"

namespace {

using camcal_test::fixture;
using camcal_test::readFile;
using camcal_test::runCamcal;
using google::protobuf::util::MessageDifferencer;

template <typename Message>
Message parseText(const std::string& text) {
  Message message;
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &message));
  return message;
}

// text -> wire -> text through camcal gives back the message of the text.
template <typename Message>
void expectRoundTrip(const std::string& path) {
  SCOPED_TRACE(path);
  const Message original = parseText<Message>(readFile(path));
  camcal_test::ScratchDir scratch;
  const std::string wire = scratch.path("calibration.bin");
  const auto to_wire = runCamcal({"convert", path, "--to", "wire", "-o", wire});
  ASSERT_EQ(to_wire.status, 0) << to_wire.err;
  Message from_wire;
  ASSERT_TRUE(from_wire.ParseFromString(readFile(wire)));
  EXPECT_TRUE(MessageDifferencer::Equals(from_wire, original));

  const auto to_text = runCamcal({"convert", wire, "--to", "text"});
  ASSERT_EQ(to_text.status, 0) << to_text.err;
  EXPECT_TRUE(MessageDifferencer::Equals(parseText<Message>(to_text.out), original)) << to_text.out;
}

TEST(CamcalConvert, TextToWireToTextGivesBackEachKindOfCalibration) {
  expectRoundTrip<dravik::calibration::RobotCalibration>(fixture("robot_calibration.txt"));
  expectRoundTrip<dravik::calibration::BaseCalibrationProto>(fixture("base_calibration.txt"));
  const std::string ptz = camcal_test::repositoryFile("data/ptz_camera_example.txt");
  if (camcal_test::fileExists(ptz)) expectRoundTrip<dravik::calibration::PTZCameraParameters>(ptz);
}

TEST(CamcalConvert, ReadsStandardInputAndRecognisesTheKindOfAWireFile) {
  camcal_test::ScratchDir scratch;
  const std::string wire = scratch.path("base.bin");
  ASSERT_EQ(
      runCamcal({"convert", fixture("base_calibration.txt"), "--to", "wire", "-o", wire}).status,
      0);
  // Wire format keeps unknown fields, so a base calibration would also parse
  // as a robot calibration without cameras: camcal must still see a base.
  const auto run = runCamcal({"convert", "-", "--to", "text"}, wire);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(
      MessageDifferencer::Equals(parseText<dravik::calibration::BaseCalibrationProto>(run.out),
                                 parseText<dravik::calibration::BaseCalibrationProto>(
                                     readFile(fixture("base_calibration.txt")))));
  const auto validate = runCamcal({"validate", wire});
  EXPECT_EQ(validate.out, wire + ": valid base calibration (wire)\n");
}

TEST(CamcalAdjust, WritesTheCalibrationTheLibraryAdjusts) {
  dravik::calibration::CameraParametersSet set;
  ASSERT_TRUE(set.loadFromFile(fixture("robot_calibration.txt")));
  dravik::calibration::BaseCalibrationData base;
  ASSERT_TRUE(base.loadFromString(readFile(fixture("base_calibration.txt"))));
  set.adjustUsingBaseCalibration(base);

  const auto text =
      runCamcal({"adjust", fixture("robot_calibration.txt"), fixture("base_calibration.txt")});
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_TRUE(MessageDifferencer::Equals(parseText<dravik::calibration::RobotCalibration>(text.out),
                                         set.getRawCalData()));

  camcal_test::ScratchDir scratch;
  const std::string wire = scratch.path("adjusted.bin");
  const auto run = runCamcal({"adjust", fixture("robot_calibration.txt"),
                              fixture("base_calibration.txt"), "--to", "wire", "-o", wire});
  ASSERT_EQ(run.status, 0) << run.err;
  dravik::calibration::RobotCalibration adjusted;
  ASSERT_TRUE(adjusted.ParseFromString(readFile(wire)));
  EXPECT_TRUE(MessageDifferencer::Equals(adjusted, set.getRawCalData()));
}

}  // namespace
