#define DRAVIK_LOG_FILE "calibration_utils/camera_calibration"

#include "calibration_utils/camera_calibration.h"

#include "dravik/logging.h"

namespace dravik {
namespace calibration {
inline namespace multi_view {

namespace {
constexpr char kTag[] = "calibration_utils";
}  // namespace

bool calibrateCamera(const std::vector<TargetView>& views, int width, int height,
                     const CameraCalibrationOptions& options, CameraCalibration* result) {
  (void)views;
  (void)width;
  (void)height;
  (void)options;
  (void)result;
  DRAVIK_LOG(2, kTag) << "The multi-view calibration is not available yet";
  return false;
}

bool projectionUncertainty(const CameraCalibration& calibration, int step,
                           std::vector<float>* sigma_px) {
  (void)calibration;
  (void)step;
  (void)sigma_px;
  DRAVIK_LOG(2, kTag) << "The projection uncertainty is not available yet";
  return false;
}

}  // namespace multi_view
}  // namespace calibration
}  // namespace dravik
