#define DRAVIK_LOG_FILE "calibration_common/logging_probe"

#include <string>

#include <gtest/gtest.h>

#include "dravik/logging.h"
#include "support/log_capture.h"
#include "support/regex_literal.h"

namespace probe {

// Log statements inside functions of several shapes, each returning the line
// of its statement.
struct Camera {
  int streamed(int width) const {
    const std::string unit = "px";
    DRAVIK_LOG(3, "camera_parameters") << "size " << width << " " << 1.5f << " " << unit;
    return __LINE__ - 1;
  }
  int formatted(int zoom) const {
    DRAVIK_LOGF(5, "ptz_camera_model", "zoom %d at %.2f", zoom, 0.5);
    return __LINE__ - 1;
  }
  template <typename T>
  void templated() const {
    DRAVIK_LOG(3, "pan_tilt_model") << "templated";
  }
};

}  // namespace probe

namespace {

using dravik::LogRecord;
using dravik::testing::LogCapture;
using dravik::testing::regexLiteral;

std::string described(const LogRecord& r) {
  return std::to_string(r.level) + "|" + r.tag + "|" + r.file + "|" + r.function + "|" +
         std::to_string(r.line) + "|" + r.text;
}

// Streamed and printf-style records carry exactly their text, without prefix
// or newline; a template function is named without its arguments.
TEST(Logging, RecordsCarryLevelTagSourceAndExactlyTheirText) {
  LogCapture capture;
  const int streamed = probe::Camera().streamed(640);
  const int formatted = probe::Camera().formatted(3);
  probe::Camera().templated<float>();
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 3u);
  const std::string source = "|calibration_common/logging_probe|probe::Camera::";
  EXPECT_EQ(described(records[0]), "3|camera_parameters" + source + "streamed|" +
                                       std::to_string(streamed) + "|size 640 1.5 px");
  EXPECT_EQ(described(records[1]), "5|ptz_camera_model" + source + "formatted|" +
                                       std::to_string(formatted) + "|zoom 3 at 0.50");
  EXPECT_EQ(records[2].function, "probe::Camera::templated");
}

// The level (3 by default) applies to every tag.
TEST(Logging, RecordsAboveTheLevelAreNeitherWrittenNorEvaluated) {
  EXPECT_EQ(dravik::logLevel(), 3) << "default level";
  LogCapture capture(3);
  int evaluations = 0;
  auto expensive = [&evaluations] { return ++evaluations; };
  DRAVIK_LOG(5, "camera_parameters") << expensive();
  DRAVIK_LOGF(6, "pan_tilt_model", "%d", expensive());
  EXPECT_EQ(evaluations, 0);
  EXPECT_TRUE(capture.records().empty());
  for (const char* tag : {"camera_parameters", "base_calibration_data", "anything"}) {
    DRAVIK_LOG(3, tag) << expensive();
    DRAVIK_LOG(4, tag) << expensive();
  }
  EXPECT_EQ(evaluations, 3);
  EXPECT_EQ(capture.records().size(), 3u);
}

TEST(Logging, EmptySinkRestoresTheStderrLineWithTheTextVerbatim) {
  { LogCapture capture; }  // installs a sink, then restores the default
  ::testing::internal::CaptureStderr();
  DRAVIK_LOG(2, "camera_parameters") << "Can't open /no/such/file";
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Can't open /no/such/file"), std::string::npos) << err;
  EXPECT_NE(err.find("camera_parameters"), std::string::npos) << err;
  EXPECT_EQ(err.back(), '\n');
}

TEST(Logging, QualifiedNamesOfCompilerSignatures) {
  const std::pair<const char*, const char*> cases[] = {
      {"bool dravik::calibration::CameraParametersSet::loadFromFile(const std::string&)",
       "dravik::calibration::CameraParametersSet::loadFromFile"},
      {"std::shared_ptr<const dravik::calibration::CameraParameters> "
       "dravik::calibration::CameraParametersSet::getCamera(const std::string&) const",
       "dravik::calibration::CameraParametersSet::getCamera"},
      {"T dravik::S::tf(T) const [with T = float]", "dravik::S::tf"},
      {"T dravik::S::tf(T) const [T = float]", "dravik::S::tf"},
      {"void dravik::Table<float, 2>::fill(int)", "dravik::Table<float, 2>::fill"},
      {"bool dravik::S::operator<(const dravik::S&) const", "dravik::S::operator<"},
      {"bool dravik::S::operator>(const dravik::S&) const", "dravik::S::operator>"},
      {"std::ostream& dravik::operator<<(std::ostream&, const dravik::S&)", "dravik::operator<<"},
      {"void dravik::S::operator()(int)", "dravik::S::operator()"},
      {"void {anonymous}::anon(int)", "{anonymous}::anon"},
      {"void (anonymous namespace)::anon(int)", "(anonymous namespace)::anon"},
      {"dravik::S::lam()::<lambda(int)>", "dravik::S::lam"},
      {"auto dravik::S::lam()::(anonymous class)::operator()(int) const", "dravik::S::lam"},
      {"dravik::S::S()", "dravik::S::S"},
      {"int main()", "main"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(dravik::internal::qualifiedFunctionName(c.first), c.second) << c.first;
  }
}

TEST(Logging, PassingChecksEvaluateTheirOperandsOnce) {
  int evaluations = 0;
  auto next = [&evaluations] { return ++evaluations; };
  DRAVIK_CHECK(next() == 1);
  DRAVIK_CHECK_GE(next(), 2);
  DRAVIK_CHECK_GT(next(), 2);
  DRAVIK_CHECK_EQ(next(), 4);
  EXPECT_EQ(evaluations, 4);
}

class FatalCheck : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

void failPlainCheck() {
  const int cameras = 1;
  DRAVIK_CHECK(cameras == 2);
}

void failComparison() {
  const int count = 7;
  DRAVIK_CHECK_GE(count, 12);
}

TEST_F(FatalCheck, PlainCheckWritesItsConditionAndEnds) {
  EXPECT_DEATH(failPlainCheck(), regexLiteral("Check failed cameras == 2 "));
}

TEST_F(FatalCheck, ComparisonWritesBothValuesAndEndsEvenWhenLoggingIsOff) {
  const std::string text = regexLiteral("Check failed: count >= 12 (7 vs. 12) ");
  EXPECT_DEATH(failComparison(), text);
  EXPECT_DEATH(
      {
        dravik::setLogLevel(0);
        failComparison();
      },
      text);
}

TEST_F(FatalCheck, SinkReceivesTheLevelOneCheckRecord) {
  EXPECT_DEATH(
      {
        dravik::setLogSink([](const LogRecord& r) {
          fprintf(stderr, "sink<%d|%s|%s|%s>\n", r.level, r.tag.c_str(), r.function.c_str(),
                  r.text.c_str());
        });
        failPlainCheck();
      },
      regexLiteral("sink<1|check|") + ".*" +
          regexLiteral("failPlainCheck|Check failed cameras == 2 >"));
}

}  // namespace
