// The head camera: its 640 x 480 mode passes the image through a sensor
// spatial transform, so its intrinsics are recalibrated from the sample
// points rather than cropped and scaled.
#define DRAVIK_LOG_FILE "calibration_common/camera_parameters"

#include "calibration_common/camera_parameters.h"
#include "dravik/logging.h"
#include "log_site.h"

namespace dravik {
namespace calibration {

bool CameraParameters::precomputeKestovanHeadIntrinsics() { return false; }

bool CameraParameters::recomputeIntrinsics(const ImageSensorTransform& /*transform*/,
                                           Intrinsics* /*out*/) const {
  return false;
}

}  // namespace calibration
}  // namespace dravik
