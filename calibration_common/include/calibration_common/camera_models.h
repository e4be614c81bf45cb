// The camera models the library knows. A camera message names its model by
// an identifier (CameraCalibration.model); a known model streams a fixed set
// of resolutions, each a crop and scale of the calibrated full frame (see the
// conventions of camera_parameters.h). Any other identifier, the empty one
// included, is a generic camera that serves its calibrated size only.
// Identifiers match whole, byte for byte and case-sensitively.
#pragma once

#include <string>

#include "calibration_common/camera_parameters_export.h"

namespace dravik {
namespace calibration {

// What a known model is, in a few words ("head camera", "navigation camera",
// ...); nullptr for an identifier that the library serves as a generic camera.
CAMERA_PARAMETERS_EXPORT const char* cameraModelDescription(const std::string& model);

}  // namespace calibration
}  // namespace dravik
