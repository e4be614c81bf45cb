// The source name and tag under which the camera classes log.
#pragma once

namespace dravik {
namespace calibration {
constexpr char kCameraParametersTag[] = "camera_parameters";
}  // namespace calibration
}  // namespace dravik
