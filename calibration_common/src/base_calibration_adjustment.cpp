// Composition of every camera pose with the base calibration's global
// transform.
#include "calibration_common/base_calibration_data.h"
#include "calibration_common/camera_parameters.h"

namespace dravik {
namespace calibration {

void CameraParameters::adjustUsingBaseCalibration(const BaseCalibrationData& base,
                                                  CameraCalibration* message) {
  // P * G = [R_P R_G, t_P + R_P t_G]: the translation uses R_P from before the
  // rotation is updated.
  translation_ = translation_ + rotation_ * base.getWorldTranslation();
  const Eigen::Matrix3f rotated = rotation_ * base.getWorldRotation();
  rotation_ = rotated;

  Eigen::Matrix4f M;
  convert(rotation_, translation_, &M);
  convert(M, message->mutable_extrinsics());
  transform_.setTransform(M, CameraTransform::kParentToChild);
}

void CameraParametersSet::adjustUsingBaseCalibration(const BaseCalibrationData& base) {
  for (int i = 0; i < robotcal_->camera_size(); ++i) {
    const auto it = cameras_.find(robotcal_->camera(i).name());
    // A camera message without a record cannot be adjusted; it is skipped.
    if (it == cameras_.end()) continue;
    const std::shared_ptr<CameraParameters> record = it->second;
    record->adjustUsingBaseCalibration(base, robotcal_->mutable_camera(i));
  }
}

}  // namespace calibration
}  // namespace dravik
