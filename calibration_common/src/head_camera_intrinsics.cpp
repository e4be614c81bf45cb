// The head camera: its 640 x 480 mode passes the image through a sensor
// spatial transform, so its intrinsics are recalibrated from the sample
// points rather than cropped and scaled (row 0 of its camera model,
// camera_models.cpp).
#define DRAVIK_LOG_FILE "calibration_common/camera_parameters"

#include <string>

#include "calibration_common/camera_parameters.h"
#include "calibration_utils/image_sensor_transform.h"
#include "calibration_utils/single_image_calibration.h"
#include "dravik/logging.h"
#include "head_camera_fit.h"
#include "log_site.h"

namespace dravik {
namespace calibration {

namespace {

// A recomputed calibration whose error per point exceeds this is rejected.
constexpr double kMaxErrorPerPoint = 10.0;

// The precomputed fit of these intrinsics, or null.
const HeadCameraFit* precomputedFit(const CameraIntrinsics& intrinsics) {
  const std::string bytes = intrinsics.SerializeAsString();
  for (int i = 0; i < kPrecomputedHeadFitCount; ++i) {
    const PrecomputedHeadFit& entry = kPrecomputedHeadFits[i];
    if (bytes.size() == entry.size &&
        bytes.compare(0, entry.size, entry.intrinsics, entry.size) == 0) {
      return &entry.fit;
    }
  }
  return nullptr;
}

// Logs the fit's error and, when it is acceptable, writes it to out.
bool acceptFit(const HeadCameraFit& fit, CameraParameters::Intrinsics* out) {
  DRAVIK_LOG(5, kCameraParametersTag) << "Recomputed intrinsics : error per point=" << fit.error;
  // An error that is not a number is a failed fit, rejected like a large one.
  if (!(fit.error <= kMaxErrorPerPoint)) {
    DRAVIK_LOG(2, kCameraParametersTag)
        << "Error recomputing calibration. Error per point=" << fit.error;
    return false;
  }
  out->fx = fit.fx;
  out->fy = fit.fy;
  out->cx = fit.cx;
  out->cy = fit.cy;
  out->skew = 0.0f;
  out->distortion.assign(fit.distortion, fit.distortion + 8);
  return true;
}

}  // namespace

bool CameraParameters::recomputeSensorRemappedIntrinsics(Intrinsics* out) const {
  // The embedded default's fit, made by the same code when the library was
  // built: the same numbers and the same records, without the fit's time.
  if (const HeadCameraFit* fit = precomputedFit(calibration_->intrinsics())) {
    return acceptFit(*fit, out);
  }
  return recomputeIntrinsics(headSensorTransform(), out);
}

bool CameraParameters::recomputeIntrinsics(const ImageSensorTransform& transform,
                                           Intrinsics* out) const {
  return recomputeIntrinsics(transform, calibrateFromSingleImage, out);
}

bool CameraParameters::recomputeIntrinsics(const ImageSensorTransform& transform,
                                           const SingleImageCalibration& calibrate,
                                           Intrinsics* out) const {
  const CameraIntrinsics& intrinsics = calibration_->intrinsics();
  if (intrinsics.sample_points_size() == 0) {
    DRAVIK_LOG(2, kCameraParametersTag)
        << "Can not find calibration sample points to recompute intrinsics parameters.";
    return false;
  }
  return acceptFit(fitThroughSensor(intrinsics, transform, calibrate), out);
}

}  // namespace calibration
}  // namespace dravik
