// BaseCalibrationData: loading with fallback to the embedded default, the
// getters and setters, the validity texts, and copies.
#include "calibration_common/base_calibration_data.h"

#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <tuple>

#include "dravik/file.h"
#include "support/calibration_fixtures.h"
#include "support/log_capture.h"

namespace dravik {
namespace calibration {
namespace {

using google::protobuf::util::MessageDifferencer;
using testing::LogCapture;

constexpr char kTag[] = "base_calibration_data";
// Float values that went through a double message field and back.
constexpr float kTolerance = 1e-6f;

// A quarter turn about z with a translation of (10, 20, 30) mm.
constexpr char kBenchCalibration[] = R"pb(
  base_length: 0.7 base_width: 0.5 wheel_base: 0.45
  global_transform {
    params { a: [ 0, -1, 0, 10, 1, 0, 0, 20, 0, 0, 1, 30 ] }
    metadata { validity_text: "calibrated on the test bench" }
  }
  gyroscope_cal { gain: 1.25 metadata { gain_validity_text: "gyro bench" } }
)pb";
constexpr char kElevenValues[] =
    "base_length: 0.7 global_transform { params { a: [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1] } }";
constexpr char kTransformOnly[] =
    "global_transform { params { a: [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0] } }";

BaseCalibrationProto parseText(const std::string& text) {
  return testing::parseText<BaseCalibrationProto>(text);
}

Eigen::Matrix3f quarterTurnAboutZ() {
  Eigen::Matrix3f R;
  R << 0, -1, 0, 1, 0, 0, 0, 0, 1;
  return R;
}

void expectSameGetters(const BaseCalibrationData& a, const BaseCalibrationData& b) {
  EXPECT_TRUE(MessageDifferencer::Equals(a.cal(), b.cal()));
  EXPECT_EQ(std::make_tuple(a.getBaseLength(), a.getBaseWidth(), a.getWheelBase(),
                            a.getGyroscopeGain()),
            std::make_tuple(b.getBaseLength(), b.getBaseWidth(), b.getWheelBase(),
                            b.getGyroscopeGain()));
  EXPECT_EQ(a.getWorldRotation(), b.getWorldRotation());
  EXPECT_EQ(a.getWorldTranslation(), b.getWorldTranslation());
}

// The default's message, read by the same getters as an explicit load of it.
void expectHoldsTheDefault(const BaseCalibrationData& data) {
  std::string text;
  ASSERT_TRUE(File::readFileToString(
      EmbeddedFile::kEmbeddedPrefix + "calibration/default_base_cal.txt", &text));
  BaseCalibrationData loaded;
  ASSERT_TRUE(loaded.loadFromString(parseText(text).SerializeAsString()));
  expectSameGetters(data, loaded);
}

TEST(BaseCalibrationDataTest, TextAndWireLoadsReadTheFieldsAndTheTranslationInMetres) {
  for (const std::string& encoded :
       {std::string(kBenchCalibration), parseText(kBenchCalibration).SerializeAsString()}) {
    BaseCalibrationData data;
    LogCapture log;
    ASSERT_TRUE(data.loadFromString(encoded));
    EXPECT_TRUE(log.recordsUpTo(3).empty());
    EXPECT_TRUE(MessageDifferencer::Equals(data.cal(), parseText(kBenchCalibration)));
    EXPECT_EQ(std::make_tuple(data.getBaseLength(), data.getBaseWidth(), data.getWheelBase(),
                              data.getGyroscopeGain()),
              std::make_tuple(0.7f, 0.5f, 0.45f, 1.25f));
    EXPECT_EQ(data.getWorldRotation(), quarterTurnAboutZ());
    EXPECT_TRUE(
        data.getWorldTranslation().isApprox(Eigen::Vector3f(0.01f, 0.02f, 0.03f), kTolerance));
  }
}

// A new object holds the default. Eleven transform values and the empty
// string (a valid, empty wire message) are logged as too short; garbage
// parses in neither format and is not logged.
TEST(BaseCalibrationDataTest, LoadFallsBackToTheDefaultOnUnusableData) {
  expectHoldsTheDefault(BaseCalibrationData());
  const std::pair<std::string, bool> cases[] = {
      {kElevenValues, true}, {"", true}, {"global_transform { params { a: oops", false}};
  for (const auto& [unusable, logged_as_short] : cases) {
    BaseCalibrationData data;
    ASSERT_TRUE(data.loadFromString(kBenchCalibration));
    LogCapture log;
    EXPECT_FALSE(data.loadFromString(unusable)) << unusable;
    EXPECT_EQ(log.contains(2, kTag, "global_transform does not have enough parameters."),
              logged_as_short)
        << unusable;
    expectHoldsTheDefault(data);
  }
}

TEST(BaseCalibrationDataTest, SetGlobalTransformWritesMillimetresAndSurvivesAReload) {
  BaseCalibrationData data;
  ASSERT_TRUE(data.loadFromString(kBenchCalibration));
  const Eigen::Matrix3f rotation = quarterTurnAboutZ().transpose();
  CalibrationMetadataProto metadata;
  metadata.set_validity_text("recalibrated");
  data.setGlobalTransform(rotation, Eigen::Vector3f(0.5f, 0.0f, 0.0f), metadata);

  EXPECT_EQ(data.getWorldRotation(), rotation);
  const CameraExtrinsics& params = data.cal().global_transform().params();
  ASSERT_EQ(params.a_size(), 12);
  EXPECT_NEAR(params.a(3), 500.0, 1e-3);
  EXPECT_EQ(params.a(1), 1.0);
  EXPECT_FLOAT_EQ(data.getBaseLength(), 0.7f);

  BaseCalibrationData reloaded;
  ASSERT_TRUE(reloaded.loadFromString(data.cal().SerializeAsString()));
  expectSameGetters(reloaded, data);

  // The metadata is stored, and survives being copied onto itself.
  data.setGlobalTransform(rotation, Eigen::Vector3f::Zero(),
                          data.cal().global_transform().metadata());
  EXPECT_TRUE(data.isGlobalTransformCalibrationValid("recalibrated"));
  // The geometry setters leave the pose alone.
  data.setWheelBase(0.4f);
  EXPECT_EQ(data.getWheelBase(), 0.4f);
  EXPECT_EQ(data.getWorldRotation(), rotation);
}

// The validity texts compare whole; a gyroscope calibration counts as
// present when it has a gain.
TEST(BaseCalibrationDataTest, ValidityNeedsTheExactTextAndAGyroscopeGain) {
  const std::string plain = kTransformOnly, bench = kBenchCalibration;
  const std::string gain_only = plain + "gyroscope_cal { gain: 1.1 }";
  const std::string text_only = plain + "gyroscope_cal { metadata { gain_validity_text: '' } }";
  const struct {
    std::string calibration;
    const char* text;
    bool transform_valid, gyroscope_valid;
  } cases[] = {
      {plain, "", true, false},
      {bench, "calibrated on the test bench", true, false},
      {bench, "calibrated on the test", false, false},
      {bench, "calibrated on the test bench ", false, false},
      {bench, "", false, false},
      {bench, "gyro bench", false, true},
      {bench, "gyro", false, false},
      {gain_only, "", true, true},
      {gain_only, "gyro bench", false, false},
      {text_only, "", true, false},
  };
  for (const auto& c : cases) {
    BaseCalibrationData data;
    ASSERT_TRUE(data.loadFromString(c.calibration)) << c.calibration;
    SCOPED_TRACE("'" + c.calibration + "' against '" + c.text + "'");
    EXPECT_EQ(data.isGlobalTransformCalibrationValid(c.text), c.transform_valid);
    EXPECT_EQ(data.isGyroscopeGainCalibrationValid(c.text), c.gyroscope_valid);
  }
}

TEST(BaseCalibrationDataTest, SetGyroscopeGainStoresItAllAndLogsTheStoredGain) {
  BaseCalibrationData data;
  GyroscopeCalibrationProto gyroscope;
  gyroscope.set_gain(0.98765f);
  gyroscope.mutable_metadata()->set_gain_validity_text("turntable");
  LogCapture log(5);
  data.setGyroscopeGain(gyroscope);

  EXPECT_TRUE(MessageDifferencer::Equals(data.cal().gyroscope_cal(), gyroscope));
  std::ostringstream expected;
  expected << "Setting gyroscope gain to " << 0.98765f;
  EXPECT_TRUE(log.contains(5, kTag, expected.str()));
  ASSERT_FALSE(log.records().empty());
  EXPECT_EQ(log.records().back().file, "calibration_common/base_calibration_data");
}

TEST(BaseCalibrationDataTest, CopyHoldsTheSourcesCalibrationAndFallsBackToItsDefault) {
  BaseCalibrationData source;
  ASSERT_TRUE(source.loadFromString(kBenchCalibration));
  BaseCalibrationData copy(source);
  expectSameGetters(copy, source);

  EXPECT_FALSE(copy.loadFromString(kElevenValues));
  expectHoldsTheDefault(copy);
  EXPECT_FLOAT_EQ(source.getBaseLength(), 0.7f);
}

// The fatal checks of a default that does not parse and of one with too few
// transform values. A copy's source cannot hold fewer than 12 values (every
// public operation leaves 12 in force), so the copy's check is not reachable.
TEST(BaseCalibrationDataDeathTest, UnparseableOrShortDefaultEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::pair<std::string, const char*> cases[] = {
      {"global_transform {",
       "Check failed google::protobuf::TextFormat::ParseFromString\\(data, "
       "default_cal_\\.get\\(\\)\\) "},
      {kElevenValues,
       "global_transform does not have enough parameters\\..*Check failed readProto\\(\\) "},
  };
  for (const auto& [text, message] : cases) {
    EXPECT_DEATH(
        {
          EmbeddedFile::registerFile("calibration/default_base_cal.txt", text.data(), text.size());
          BaseCalibrationData data;
        },
        message);
  }
}

}  // namespace
}  // namespace calibration
}  // namespace dravik
