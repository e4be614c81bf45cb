// BaseCalibrationData: loading with fallback to the embedded default, the
// setters, and the validity texts; the composition of a camera set's poses
// with its global transform G, every camera pose P becoming P * G.
#include "calibration_common/base_calibration_data.h"

#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "calibration_common/camera_parameters.h"
#include "dravik/file.h"
#include "support/calibration_fixtures.h"
#include "support/log_capture.h"

namespace dravik::calibration {
namespace {

using google::protobuf::util::MessageDifferencer;
using testing::LogCapture;

constexpr char kTag[] = "base_calibration_data";
constexpr float kTolerance = 1e-6f;  // floats through a double message field and back

// A quarter turn about z with a translation of (10, 20, 30) mm.
constexpr char kBench[] =
    "base_length: 0.7 base_width: 0.5 wheel_base: 0.45 global_transform {"
    " params { a: [0, -1, 0, 10, 1, 0, 0, 20, 0, 0, 1, 30] }"
    " metadata { validity_text: 'calibrated on the test bench' } }"
    " gyroscope_cal { gain: 1.25 metadata { gain_validity_text: 'gyro bench' } }";
// The identity transform.
const std::string kIdentity =
    "global_transform { params { a: [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0] } }";
constexpr char kElevenValues[] =
    "base_length: 0.7 global_transform { params { a: [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1] } }";

const Eigen::Matrix3f kQuarterTurnAboutZ =
    (Eigen::Matrix3f() << 0, -1, 0, 1, 0, 0, 0, 0, 1).finished();

auto gettersOf(const BaseCalibrationData& d) {
  return std::make_tuple(d.getBaseLength(), d.getBaseWidth(), d.getWheelBase(),
                         d.getGyroscopeGain(), d.getWorldRotation(), d.getWorldTranslation(),
                         d.cal().SerializeAsString());
}

// The default's message, read by the same getters as an explicit load of it.
void expectHoldsTheDefault(const BaseCalibrationData& data) {
  std::string text;
  ASSERT_TRUE(File::readFileToString(
      EmbeddedFile::kEmbeddedPrefix + "calibration/default_base_cal.txt", &text));
  BaseCalibrationData loaded;
  ASSERT_TRUE(loaded.loadFromString(text));
  EXPECT_EQ(gettersOf(data), gettersOf(loaded));
}

// A new object, and a copy after a failed load, hold the default. Eleven
// transform values and the empty wire message are logged as too short, a value
// not finite or beyond float by its field; garbage is not logged.
TEST(BaseCalibrationData, LoadFallsBackToTheDefaultOnUnusableData) {
  expectHoldsTheDefault(BaseCalibrationData());
  BaseCalibrationData source;
  ASSERT_TRUE(source.loadFromString(kBench));
  const std::string short_text = "global_transform does not have enough parameters.",
                    not_finite = "Base calibration value is not finite: ";
  const std::pair<std::string, std::string> cases[] = {
      {kElevenValues, short_text},
      {"", short_text},
      {"global_transform { params { a: oops", ""},
      {"global_transform { params { a: [nan, 0, 0, 10, 0, 1, 0, 0, 0, 0, 1, 0] } }",
       not_finite + "global_transform.params.a[0] (nan)"},
      {"gyroscope_cal { gain: -inf } " + kIdentity, not_finite + "gyroscope_cal.gain (-inf)"},
      {"global_transform { params { a: [1, 0, 0, 1e300, 0, 1, 0, 0, 0, 0, 1, 0] } }",
       not_finite + "global_transform.params beyond the range of float"},
  };
  for (const auto& [unusable, text] : cases) {
    SCOPED_TRACE(unusable);
    BaseCalibrationData data(source);
    LogCapture log;
    EXPECT_FALSE(data.loadFromString(unusable));
    const auto records = log.recordsUpTo(2);
    EXPECT_EQ(records.size(), text.empty() ? 0u : 1u);
    EXPECT_TRUE(text.empty() || log.contains(2, kTag, text));
    expectHoldsTheDefault(data);
  }
  EXPECT_FLOAT_EQ(source.getBaseLength(), 0.7f);
}

// Millimetres in the message, metres in the getters; the wire format reloads
// as set, and the metadata survives being copied onto itself.
TEST(BaseCalibrationData, SetGlobalTransformWritesMillimetresThatReloadAsSet) {
  BaseCalibrationData data, reloaded;
  ASSERT_TRUE(data.loadFromString(kBench));
  EXPECT_EQ(data.getWorldRotation(), kQuarterTurnAboutZ);
  EXPECT_TRUE(
      data.getWorldTranslation().isApprox(Eigen::Vector3f(0.01f, 0.02f, 0.03f), kTolerance));
  const auto metadata = testing::parseText<CalibrationMetadataProto>("validity_text: 'new'");
  data.setGlobalTransform(kQuarterTurnAboutZ.transpose(), Eigen::Vector3f(0.5f, 0, 0), metadata);
  const CameraExtrinsics& params = data.cal().global_transform().params();
  ASSERT_EQ(params.a_size(), 12);
  EXPECT_NEAR(params.a(3), 500.0, 1e-3);
  EXPECT_EQ(params.a(1), 1.0);
  ASSERT_TRUE(reloaded.loadFromString(data.cal().SerializeAsString()));
  EXPECT_EQ(gettersOf(reloaded), gettersOf(data));
  data.setGlobalTransform(Eigen::Matrix3f::Identity(), Eigen::Vector3f::Zero(),
                          data.cal().global_transform().metadata());
  EXPECT_TRUE(data.isGlobalTransformCalibrationValid("new"));
}

// The validity texts compare whole; a gyroscope calibration counts as
// present when it has a gain.
TEST(BaseCalibrationData, ValidityNeedsTheWholeTextOfAPresentCalibration) {
  const std::tuple<std::string, const char*, bool, bool> cases[] = {
      // transform, gyroscope
      {kIdentity, "", true, false},
      {kBench, "calibrated on the test bench", true, false},
      {kBench, "calibrated on the test bench ", false, false},
      {kBench, "gyro bench", false, true},
      {kIdentity + "gyroscope_cal { gain: 1.1 }", "", true, true},
      {kIdentity + "gyroscope_cal { metadata { gain_validity_text: '' } }", "", true, false},
  };
  for (const auto& [calibration, text, transform_valid, gyroscope_valid] : cases) {
    BaseCalibrationData data;
    ASSERT_TRUE(data.loadFromString(calibration)) << calibration;
    EXPECT_EQ(std::make_pair(data.isGlobalTransformCalibrationValid(text),
                             data.isGyroscopeGainCalibrationValid(text)),
              std::make_pair(transform_valid, gyroscope_valid))
        << "'" << calibration << "' against '" << text << "'";
  }
}

TEST(BaseCalibrationData, SetGyroscopeGainStoresTheMessageWithARecordOfTheGain) {
  BaseCalibrationData data;
  const auto gyroscope = testing::parseText<GyroscopeCalibrationProto>(
      "gain: 0.98765 metadata { gain_validity_text: 'turntable' }");
  LogCapture log(5);
  data.setGyroscopeGain(gyroscope);
  EXPECT_TRUE(MessageDifferencer::Equals(data.cal().gyroscope_cal(), gyroscope));
  ASSERT_TRUE(log.contains(5, kTag, "Setting gyroscope gain to 0.98765"));
  EXPECT_EQ(log.records().back().file, "calibration_common/base_calibration_data");
}

TEST(BaseCalibrationDataDeathTest, BrokenDefaultEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::pair<std::string, const char*> cases[] = {
      {"global_transform {",
       "Check failed google::protobuf::TextFormat::ParseFromString\\(data, "
       "default_cal_\\.get\\(\\)\\) "},
      {kElevenValues,
       "global_transform does not have enough parameters\\..*Check failed readProto\\(\\) "},
  };
  for (const auto& [text, message] : cases)
    EXPECT_DEATH(
        EmbeddedFile::registerFile("calibration/default_base_cal.txt", text.data(), text.size());
        BaseCalibrationData(), message);
}

using Cameras = std::vector<std::pair<std::string, Eigen::Matrix4f>>;

// The 4x4 pose of a message's extrinsics or of a rotation and translation.
template <typename... Pose>
Eigen::Matrix4f matrixOf(const Pose&... pose) {
  Eigen::Matrix4f T;
  CameraParameters::convert(pose..., &T);
  return T;
}

Eigen::Matrix4f pose(float angle, const Eigen::Vector3f& axis, const Eigen::Vector3f& t) {
  return matrixOf(Eigen::AngleAxisf(angle, axis.normalized()).toRotationMatrix(), t);
}

constexpr float kPoseTolerance = 1e-5f;

void expectPose(const Eigen::Matrix4f& actual, const Eigen::Matrix4f& expected) {
  EXPECT_TRUE(actual.isApprox(expected, kPoseTolerance)) << actual << "\nexpected\n" << expected;
}

// General poses (P * G differs from G * P). The records a caller holds and the
// set's message show P * G; each record's own message keeps the pose it was
// read with. A camera listed twice has one record, from the later entry,
// composed with G once; both of its messages receive the record's pose.
TEST(AdjustUsingBaseCalibration, EveryCameraBecomesItsPoseTimesTheGlobalTransform) {
  const Eigen::Matrix4f G = pose(0.05f, {0.3f, -1, 0.2f}, {0.012f, -0.03f, 0.004f});
  const Cameras cases[] = {
      {{"front", pose(0.3f, {1, 2, 3}, {0.1f, -0.2f, 0.9f})},
       {"rear", pose(2.9f, {-1, 0.2f, 1}, {-0.4f, 0.05f, 0.8f})}},
      {{"front", pose(0.4f, {0, 0, 1}, {0.2f, 0, 0})},
       {"front", pose(-0.1f, {1, 0, 0}, {0, 0.3f, 0.5f})}},
  };
  for (const Cameras& cameras : cases) {
    RobotCalibration cal;
    std::map<std::string, Eigen::Matrix4f> read;  // the later entry of a name wins
    for (const auto& [name, T] : cameras) {
      CameraCalibration* camera = cal.add_camera();
      *camera = testing::cameraMessage(testing::cameraText(name, "generic"));
      CameraParameters::convert(T, camera->mutable_extrinsics());
      read[name] = T;
    }
    CameraParametersSet set;
    ASSERT_TRUE(set.loadFromProto(cal));
    std::map<std::string, std::shared_ptr<const CameraParameters>> held;
    for (const auto& [name, T] : read) held[name] = set.getCamera(name);
    BaseCalibrationData base;
    base.setGlobalTransform(G.block<3, 3>(0, 0), G.block<3, 1>(0, 3), CalibrationMetadataProto());
    set.adjustUsingBaseCalibration(base);
    for (int i = 0; i < int(cameras.size()); ++i) {
      const std::string& name = cameras[i].first;
      SCOPED_TRACE(name + " listed " + std::to_string(i));
      const Eigen::Matrix4f expected = read[name] * G;
      EXPECT_EQ(set.getCamera(name), held[name]);
      const CameraParameters& record = *held[name];
      expectPose(matrixOf(record.getRotation(), record.getTranslation()), expected);
      expectPose(record.getTransform().getTransform(), expected);
      expectPose(record.getTransform().getInverseTransform(), expected.inverse());
      expectPose(matrixOf(set.getRawCalData().camera(i).extrinsics()), expected);
      expectPose(matrixOf(record.getCalibration().extrinsics()), read[name]);
    }
  }
}

}  // namespace
}  // namespace dravik::calibration
