// Composition of every camera pose with the base calibration's global
// transform G: a camera pose P becomes P * G.
#include <set>

#include "calibration_common/base_calibration_data.h"
#include "calibration_common/camera_parameters.h"

namespace dravik {
namespace calibration {

namespace {
// Writes the pose [R t] into message's extrinsics (t in millimetres) and
// returns it as a 4x4 matrix.
Eigen::Matrix4f writeExtrinsics(const Eigen::Matrix3f& R, const Eigen::Vector3f& t,
                                CameraCalibration* message) {
  Eigen::Matrix4f pose;
  CameraParameters::convert(R, t, &pose);
  CameraParameters::convert(pose, message->mutable_extrinsics());
  return pose;
}
}  // namespace

void CameraParameters::adjustUsingBaseCalibration(const BaseCalibrationData& base,
                                                  CameraCalibration* message) {
  // P * G = [R_P R_G, t_P + R_P t_G]: the translation uses R_P from before the
  // rotation is updated.
  translation_ = translation_ + rotation_ * base.getWorldTranslation();
  const Eigen::Matrix3f rotated = rotation_ * base.getWorldRotation();
  rotation_ = rotated;

  // The record's own copy of its message (calibration_) keeps the extrinsics
  // it was read with; only the set's message receives the adjusted pose.
  const Eigen::Matrix4f pose = writeExtrinsics(rotation_, translation_, message);
  transform_.setTransform(pose, CameraTransform::kParentToChild);
}

void CameraParametersSet::adjustUsingBaseCalibration(const BaseCalibrationData& base) {
  // Camera messages that share a name share one record: the record is
  // composed with G once, and every such message receives its adjusted pose.
  std::set<const CameraParameters*> adjusted;
  for (int i = 0; i < robotcal_->camera_size(); ++i) {
    const auto it = cameras_.find(robotcal_->camera(i).name());
    // A camera message without a record cannot be adjusted; it is skipped.
    if (it == cameras_.end()) continue;
    const std::shared_ptr<CameraParameters> record = it->second;
    CameraCalibration* message = robotcal_->mutable_camera(i);
    if (adjusted.insert(record.get()).second) {
      record->adjustUsingBaseCalibration(base, message);
    } else {
      writeExtrinsics(record->getRotation(), record->getTranslation(), message);
    }
  }
}

}  // namespace calibration
}  // namespace dravik
