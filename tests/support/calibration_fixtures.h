// Camera calibrations for tests, written as protobuf text, and access to the
// protected steps of a camera record.
#pragma once

#include <set>
#include <sstream>
#include <string>
#include <tuple>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "calibration_common/camera_parameters.h"
#include "dravik/file.h"
#include "dravik/logging.h"

namespace dravik {
namespace testing {

// One camera message in text format: fx = fy = 1000, the principal point at
// the image centre, k = 0.1 -0.2 0.03 0.04 0.005 0.006, p = 0.001 0.002, and
// a pose that moves the robot origin 0.1 m right, 0.05 m up and 2.5 m ahead
// of the camera (rotation identity). `intrinsics_extra` is appended inside
// the intrinsics block (e.g. a width line when `with_size` is false).
inline std::string cameraText(const std::string& name, const std::string& model, int width = 1280,
                              int height = 960, bool with_size = true,
                              const std::string& intrinsics_extra = "") {
  std::ostringstream text;
  text << "camera {\n"
       << "  name: \"" << name << "\"\n"
       << "  model: \"" << model << "\"\n"
       << "  intrinsics {\n"
       << "    fx: 1000 fy: 1000 skew: 0 cx: " << width / 2 << " cy: " << height / 2 << "\n"
       << "    k: [0.1, -0.2, 0.03, 0.04, 0.005, 0.006]\n"
       << "    p: [0.001, 0.002]\n";
  if (with_size) text << "    width: " << width << " height: " << height << "\n";
  text << intrinsics_extra << "  }\n"
       << "  extrinsics { a: [1, 0, 0, 100, 0, 1, 0, -50, 0, 0, 1, 2500] }\n"
       << "}\n";
  return text.str();
}

template <typename Message>
Message parseText(const std::string& text) {
  Message message;
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &message)) << text;
  return message;
}

// The first camera message of a calibration text.
inline calibration::CameraCalibration cameraMessage(const std::string& text) {
  const auto robot = parseText<calibration::RobotCalibration>(text);
  return robot.camera_size() > 0 ? robot.camera(0) : calibration::CameraCalibration();
}

inline std::string embeddedDefaultText() {
  std::string text;
  EXPECT_TRUE(File::readFileToString(
      EmbeddedFile::kEmbeddedPrefix + "calibration/default_head_cal.txt", &text));
  return text;
}

// The camera of that name in the embedded default head calibration.
inline calibration::CameraCalibration embeddedDefaultCamera(const std::string& name) {
  const auto robot = parseText<calibration::RobotCalibration>(embeddedDefaultText());
  for (const auto& camera : robot.camera())
    if (camera.name() == name) return camera;
  ADD_FAILURE() << "the default calibration has no camera " << name;
  return calibration::CameraCalibration();
}

// The camera names of the embedded default head calibration.
inline std::set<std::string> embeddedDefaultCameraNames() {
  const auto robot = parseText<calibration::RobotCalibration>(embeddedDefaultText());
  std::set<std::string> names;
  for (const auto& camera : robot.camera()) names.insert(camera.name());
  return names;
}

// A log record of the camera library: level, tag, file, the function that
// wrote it (its name after "dravik::calibration::") and the text.
inline void expectCameraRecord(const LogRecord& record, int level, const std::string& function,
                               const std::string& text) {
  EXPECT_EQ(std::tie(record.level, record.tag, record.file, record.function, record.text),
            std::make_tuple(level, std::string("camera_parameters"),
                            std::string("calibration_common/camera_parameters"),
                            "dravik::calibration::" + function, text));
}

inline void expectSameIntrinsics(const calibration::CameraParameters::Intrinsics& a,
                                 const calibration::CameraParameters::Intrinsics& b) {
  EXPECT_EQ(std::tie(a.fx, a.fy, a.skew, a.cx, a.cy, a.distortion),
            std::tie(b.fx, b.fy, b.skew, b.cx, b.cy, b.distortion));
}

// A record whose protected steps tests may call.
class CameraParametersAccess : public calibration::CameraParameters {
 public:
  using CameraParameters::affineIntrinsics;
  using CameraParameters::precomputeIntrinsics;
  using CameraParameters::recomputeKMatrix;
};

}  // namespace testing
}  // namespace dravik
