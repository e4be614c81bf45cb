#define DRAVIK_LOG_FILE "calibration_common/logging_probe"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "dravik/logging.h"
#include "support/log_capture.h"

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
};

}  // namespace probe

namespace {

using dravik::LogRecord;
using dravik::testing::LogCapture;
using ::testing::HasSubstr;

std::string described(const LogRecord& r) {
  return std::to_string(r.level) + "|" + r.tag + "|" + r.file + "|" + r.function + "|" +
         std::to_string(r.line) + "|" + r.text;
}

// Streamed and printf-style records carry exactly their text, without prefix
// or newline.
TEST(DravikLog, RecordsCarryLevelTagSourceAndExactlyTheirText) {
  LogCapture capture;
  const int streamed = probe::Camera().streamed(640);
  const int formatted = probe::Camera().formatted(3);
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 2u);
  const std::string source = "|calibration_common/logging_probe|probe::Camera::";
  EXPECT_EQ(described(records[0]), "3|camera_parameters" + source + "streamed|" +
                                       std::to_string(streamed) + "|size 640 1.5 px");
  EXPECT_EQ(described(records[1]), "5|ptz_camera_model" + source + "formatted|" +
                                       std::to_string(formatted) + "|zoom 3 at 0.50");
}

TEST(DravikLog, RecordsAboveTheLevelAndPassingChecksEvaluateNoMoreThanNeeded) {
  LogCapture capture(3);
  int evaluations = 0;
  const auto next = [&evaluations] { return ++evaluations; };
  DRAVIK_LOG(5, "camera_parameters") << next();
  DRAVIK_LOGF(6, "pan_tilt_model", "%d", next());
  DRAVIK_LOG(3, "anything") << next();
  EXPECT_EQ(capture.records().size(), 1u);
  DRAVIK_CHECK(next() == 2);
  DRAVIK_CHECK_GE(next(), 3);
  DRAVIK_CHECK_EQ(next(), 4);
  EXPECT_EQ(evaluations, 4);
}

TEST(QualifiedFunctionName, KeepsTheScopesAndNameOfACompilerSignature) {
  const std::pair<const char*, const char*> cases[] = {
      {"std::shared_ptr<const dravik::calibration::CameraParameters> "
       "dravik::calibration::CameraParametersSet::getCamera(const std::string&) const",
       "dravik::calibration::CameraParametersSet::getCamera"},
      {"T dravik::S::tf(T) const [with T = float]", "dravik::S::tf"},
      {"void dravik::Table<float, 2>::fill(int)", "dravik::Table<float, 2>::fill"},
      {"std::ostream& dravik::operator<<(std::ostream&, const dravik::S&)", "dravik::operator<<"},
      {"void (anonymous namespace)::anon(int)", "(anonymous namespace)::anon"},
      {"auto dravik::S::lam()::(anonymous class)::operator()(int) const", "dravik::S::lam"},
      {"int main()", "main"},
  };
  for (const auto& [signature, name] : cases)
    EXPECT_EQ(dravik::internal::qualifiedFunctionName(signature), name) << signature;
}

void failPlainCheck() {
  const int cameras = 1;
  DRAVIK_CHECK(cameras == 2);
}

// Failed checks write their condition (and both values) and end the process,
// even with logging off; a sink receives the record at level 1.
TEST(DravikCheckDeathTest, FailedChecksWriteTheirConditionAndEndTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const int count = 7;
  EXPECT_DEATH(failPlainCheck(), HasSubstr("Check failed cameras == 2 "));
  EXPECT_DEATH(dravik::setLogLevel(0);
               DRAVIK_CHECK_GE(count, 12), HasSubstr("Check failed: count >= 12 (7 vs. 12) "));
  const auto sink = [](const LogRecord& r) { fprintf(stderr, "sink<%s>\n", described(r).c_str()); };
  EXPECT_DEATH((dravik::setLogSink(sink), failPlainCheck()),
               "sink<1\\|check\\|.*failPlainCheck\\|[0-9]+\\|Check failed cameras == 2 >");
}

}  // namespace
