// Camera calibrations for tests, written as protobuf text.
#pragma once

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <tuple>

#include "calibration_common/camera_parameters.h"
#include "dravik/logging.h"

namespace dravik::testing {

// fx = fy = 1000, principal point at the centre, k = 0.1 -0.2 0.03 0.04 0.005
// 0.006, p = 0.001 0.002; the robot origin 0.1 m right, 0.05 m up, 2.5 m ahead
// of the camera. `intrinsics_extra` goes inside the intrinsics block.
inline std::string cameraText(const std::string& name, const std::string& model, int width = 1280,
                              int height = 960, bool with_size = true,
                              const std::string& intrinsics_extra = "") {
  std::ostringstream text;
  text << "camera { name: \"" << name << "\" model: \"" << model << "\"\n  intrinsics {\n"
       << "    fx: 1000 fy: 1000 skew: 0 cx: " << width / 2 << " cy: " << height / 2 << "\n"
       << "    k: [0.1, -0.2, 0.03, 0.04, 0.005, 0.006] p: [0.001, 0.002]\n";
  if (with_size) text << "    width: " << width << " height: " << height << "\n";
  text << intrinsics_extra << "  }\n"
       << "  extrinsics { a: [1, 0, 0, 100, 0, 1, 0, -50, 0, 0, 1, 2500] }\n}\n";
  return text.str();
}

template <typename Message>
Message parseText(const std::string& text) {
  Message message;
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &message)) << text;
  return message;
}

inline calibration::CameraCalibration cameraMessage(const std::string& text) {
  const auto robot = parseText<calibration::RobotCalibration>(text);
  return robot.camera_size() > 0 ? robot.camera(0) : calibration::CameraCalibration();
}

// A log record of the camera library from `function` (after "dravik::calibration::").
inline void expectCameraRecord(const LogRecord& record, int level, const std::string& function,
                               const std::string& text) {
  EXPECT_EQ(std::tie(record.level, record.tag, record.file, record.function, record.text),
            std::make_tuple(level, std::string("camera_parameters"),
                            std::string("calibration_common/camera_parameters"),
                            "dravik::calibration::" + function, text));
}

inline void expectSameIntrinsics(const calibration::CameraParameters::Intrinsics& a,
                                 const calibration::CameraParameters::Intrinsics& b) {
  EXPECT_EQ(std::tie(a.width, a.height, a.fx, a.fy, a.skew, a.cx, a.cy, a.distortion),
            std::tie(b.width, b.height, b.fx, b.fy, b.skew, b.cx, b.cy, b.distortion));
}

}  // namespace dravik::testing
