#include "ptz_lens.h"

namespace camcal {

using dravik::calibration::PTZCameraModel;
using dravik::calibration::PTZCameraModelConfiguration;
using dravik::calibration::PTZCameraParameters;

namespace {

// The head reduced to the identity: every link the identity pose and both
// zero angles at motor position 0, so that a configuration at pan 0, tilt 0
// sees in the world frame exactly what its camera frame holds.
PTZCameraParameters behindIdentityHead(const PTZCameraParameters& params) {
  PTZCameraParameters probe = params;
  auto* head = probe.mutable_pan_tilt();
  for (auto* link :
       {head->mutable_pan_ext(), head->mutable_tilt_ext(), head->mutable_device_ext()}) {
    link->clear_a();
    for (double value : {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0}) link->add_a(value);
  }
  head->set_pan_offset(0.0f);
  head->set_tilt_offset(0.0f);
  return probe;
}

}  // namespace

PtzLens::PtzLens(const PTZCameraParameters& params)
    : model_(std::make_shared<PTZCameraModel>(params)),
      width_(params.intrinsics().cal_width()),
      height_(params.intrinsics().cal_height()) {
  PTZCameraParameters centred = behindIdentityHead(params);
  PTZCameraParameters focal = centred;
  for (auto& sample : *focal.mutable_intrinsics()->mutable_samples()) {
    sample.set_cx(0.0);
    sample.set_cy(0.0);
    sample.set_k1(0.0);
    sample.set_k4(0.0);
    sample.set_p1(0.0);
    sample.set_p2(0.0);
  }
  centred_probe_ = std::make_shared<PTZCameraModel>(centred);
  focal_probe_ = std::make_shared<PTZCameraModel>(focal);
}

// The configuration keeps its K to itself; its projection shows it exactly.
// Behind the identity head the point (0, 0, 1) lies on the optical axis, where
// the lens moves nothing: it lands on (cx, cy). Without principal point and
// lens terms the point (1, 1, 1) lands on (f 1 + 0, f 1 + 0) = (f, f). Both are
// computed in double precision from float values and rounded once, so they
// give the configuration's float K bit for bit.
Eigen::Matrix3f PtzLens::K(int zoom) const {
  const Eigen::Vector2f centre =
      PTZCameraModelConfiguration(centred_probe_, 0, 0, zoom).project3dToCamera({0, 0, 1});
  const Eigen::Vector2f focal =
      PTZCameraModelConfiguration(focal_probe_, 0, 0, zoom).project3dToCamera({1, 1, 1});
  Eigen::Matrix3f K;
  K << focal.x(), 0.0f, centre.x(), 0.0f, focal.y(), centre.y(), 0.0f, 0.0f, 1.0f;
  return K;
}

std::vector<float> PtzLens::distortion(int zoom) const {
  return PTZCameraModelConfiguration(model_, 0, 0, zoom).distortion();
}

IntrinsicsAtSize PtzLens::intrinsicsAt(int pan, int tilt, int zoom) const {
  IntrinsicsAtSize intrinsics;
  intrinsics.camera = "ptz";
  intrinsics.model = "ptz";
  intrinsics.model_description = "PTZ camera";
  intrinsics.width = width_;
  intrinsics.height = height_;
  intrinsics.source = IntrinsicsSource::kPtzSetting;
  intrinsics.pan = pan;
  intrinsics.tilt = tilt;
  intrinsics.zoom = zoom;
  intrinsics.K = K(zoom);
  intrinsics.distortion = PTZCameraModelConfiguration(model_, pan, tilt, zoom).distortion();
  return intrinsics;
}

}  // namespace camcal
