// PTZ camera calibrations for tests: the repository's example and small zoom
// tables on its head.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "calibration_common/ptz_camera_model.h"
#include "calibration_messages/calibration.pb.h"
#include "dravik/calibration_bytes.h"
#include "dravik/file.h"
#include "dravik/text_format.h"

namespace dravik::testing {

// 1920 x 1080, zoom samples at 0, 2000, ..., 16000, limits pan 200..7000,
// tilt 0..1800 (offsets 3600 and 1200).
inline std::string ptzExamplePath() {
  return CAMERA_PARAMETERS_SOURCE_DIR "/data/ptz_camera_example.txt";
}
// The PTZ calibration of a file, read as the library reads every calibration.
inline calibration::PTZCameraParameters ptzParameters(const std::string& path) {
  std::string bytes;
  calibration::PTZCameraParameters params;
  EXPECT_TRUE(File::readFileToString(path, &bytes) && readCalibrationBytes(bytes, &params)) << path;
  return params;
}
inline calibration::PTZCameraParameters ptzExampleParameters() {
  return ptzParameters(ptzExamplePath());
}

// The example head with samples (zoom, f) on the grid offset + step i, the
// principal point at the centre of 1280 x 720 and no distortion.
inline calibration::PTZCameraParameters exampleHeadWithZooms(
    std::initializer_list<std::pair<double, double>> samples, int offset, int step) {
  calibration::PTZCameraParameters params = ptzExampleParameters();
  std::string text = "cal_width: 1280 cal_height: 720 zoom_offset: " + std::to_string(offset) +
                     " zoom_step: " + std::to_string(step);
  for (const auto& [zoom, f] : samples)
    text += " samples { zoom: " + std::to_string(zoom) + " f: " + std::to_string(f) +
            " cx: 640 cy: 360 }";
  EXPECT_TRUE(parseTextFormat(text, params.mutable_intrinsics())) << text;
  return params;
}

// A world point seen at normalized (x, y), depth metres in front of the camera.
inline Eigen::Vector3f worldPointAt(const calibration::PTZCameraModelConfiguration& config, float x,
                                    float y, float depth) {
  const Eigen::Vector4f camera(x * depth, y * depth, depth, 1.0f);
  return (config.getTransform().getInverseTransform() * camera).head<3>();
}

// Normalized points from (-half_x, -half_y) to (half_x, half_y), row by row.
inline std::vector<Eigen::Vector2f> normalizedGrid(float half_x, float step_x, float half_y,
                                                   float step_y) {
  std::vector<Eigen::Vector2f> points;
  for (float y = -half_y; y <= half_y; y += step_y)
    for (float x = -half_x; x <= half_x; x += step_x) points.emplace_back(x, y);
  return points;
}

inline std::shared_ptr<calibration::PTZCameraModel> sharedModel(
    const calibration::PTZCameraParameters& params) {
  return std::make_shared<calibration::PTZCameraModel>(params);
}

}  // namespace dravik::testing
