// The camera models the library knows. A camera message names its model by
// an identifier (CameraCalibration.model); a known model streams a fixed set
// of resolutions, each a crop and scale of the calibrated full frame (see the
// conventions of camera_parameters.h). Any other identifier, the empty one
// included, is a generic camera that serves its calibrated size only.
// Identifiers match whole, byte for byte and case-sensitively.
#pragma once

#include <Eigen/Core>
#include <string>
#include <vector>

#include "calibration_common/camera_parameters_export.h"
#include "dravik/eigen_types.h"

namespace dravik {
namespace calibration {

// What a known model is, in a few words ("head camera", "navigation camera",
// ...); nullptr for an identifier that the library serves as a generic camera.
CAMERA_PARAMETERS_EXPORT const char* cameraModelDescription(const std::string& model);

// The identifiers of the known models, in the order of the library's table.
CAMERA_PARAMETERS_EXPORT std::vector<std::string> cameraModelIdentifiers();

// One streaming resolution of a model: the crop (crop_x, crop_y, crop_width,
// crop_height) of the calibrated full frame, in its pixels, scaled to
// output_width x output_height (camera_parameters.h). A sensor-remapped size
// passes the image through the sensor's spatial transform: its intrinsics
// are recalibrated from the sample points, and no crop and scale relates it
// to the full frame.
struct CameraModelSize {
  int crop_x = 0, crop_y = 0, crop_width = 0, crop_height = 0;
  int output_width = 0, output_height = 0;
  bool sensor_remapped = false;
};

// The streaming resolutions of a known model, in the order of a record's
// table; empty for a generic camera, which serves its calibrated size only.
CAMERA_PARAMETERS_EXPORT std::vector<CameraModelSize> cameraModelSizes(const std::string& model);

// The crop and scale undone: from a streaming size back to the full frame.
// The forward mapping (camera_parameters.h) scales pixel coordinates as they
// are, pixel centres at integers and no half-pixel shift: the full-frame
// pixel u is the streaming pixel sx (u - crop_x), sx = output_width /
// crop_width (y alike). So the streaming pixel u' is the full-frame pixel
//   u = u' / sx + crop_x,  v = v' / sy + crop_y,
// and K' = [fx' skew' cx'; 0 fy' cy'; 0 0 1] of the streaming size is the
// full frame's
//   fx = fx' / sx,  skew = skew' / sx,  cx = cx' / sx + crop_x,
//   fy = fy' / sy,  cy = cy' / sy + crop_y,
// in double precision; the distortion, a function of normalized
// coordinates, is the same at every size. Mapping the result forward again
// gives K' back to float precision. Meaningless for a sensor-remapped size,
// which no crop and scale relates to the full frame.
CAMERA_PARAMETERS_EXPORT Eigen::Vector2d fullFramePixel(const CameraModelSize& size,
                                                        const Eigen::Vector2d& pixel);
CAMERA_PARAMETERS_EXPORT dravik::Matrix3d fullFrameIntrinsics(const CameraModelSize& size,
                                                              const dravik::Matrix3d& K);

}  // namespace calibration
}  // namespace dravik
