#define DRAVIK_LOG_FILE "calibration_common/ptz_camera_model"

// Aiming the PTZ camera: the pan, tilt and zoom that centre a pixel, show a
// world point at a pixel, or fill the view with an image region.
#include <cmath>
#include <initializer_list>

#include "calibration_common/ptz_camera_model.h"
#include "dravik/logging.h"
#include "dravik/text_format.h"
#include "ptz_camera_model_internal.h"

namespace dravik {
namespace calibration {

namespace {

// The focal length, in pixels, that a region's fit starts from: larger than
// any lens, so that a region collapsed onto the optical axis zooms in fully.
constexpr float kUnboundedFocalLength = 1000000.0f;
// Keeps the fit finite for a corner on the optical axis.
constexpr double kAxisGuard = 0.000001;

// False, with a record naming the call, when an output pointer is null.
bool outputsGiven(std::initializer_list<const void*> outputs, const char* call) {
  for (const void* output : outputs) {
    if (output != nullptr) continue;
    DRAVIK_LOG(2, kPtzCameraModelTag) << call << ": null output";
    return false;
  }
  return true;
}

}  // namespace

Eigen::Vector3f PTZCameraModelConfiguration::unitRay(const Eigen::Vector2f& pixel) const {
  // d = world_from_camera (x, y, 1), a direction
  const Eigen::Vector2f xy = rectifyPixel(pixel);
  const Eigen::Matrix4f& world_from_camera = transform_.getInverseTransform();
  const Eigen::Vector3f d =
      world_from_camera.topLeftCorner<3, 3>() * Eigen::Vector3f(xy.x(), xy.y(), 1.0f);
  // |d| from the float sum of squares, its root taken in double.
  const float length = static_cast<float>(std::sqrt(double{d.squaredNorm()}));
  return d / length;
}

bool PTZCameraModelConfiguration::roundAndLimit(float pan_f, float tilt_f, int* pan,
                                                int* tilt) const {
  if (!roundAndLimitMotorSteps(model_->params_.pan_tilt(), pan_f, tilt_f, pan, tilt)) {
    DRAVIK_LOG(2, kPtzCameraModelTag)
        << "Pan/tilt solution out of the motor range: pan " << pan_f << " tilt " << tilt_f;
    return false;
  }
  return true;
}

bool PTZCameraModelConfiguration::getPanTilt(const Eigen::Vector2f& pixel, int* pan,
                                             int* tilt) const {
  if (!outputsGiven({pan, tilt}, "getPanTilt")) return false;
  if (!model_) return false;
  // The point one metre along the pixel's ray, to be put on the optical axis.
  const Eigen::Vector3f target = getCameraCenter() + unitRay(pixel);
  float pan_f, tilt_f;
  if (!model_->pan_tilt_model_.computePanTilt(target, Eigen::Vector2f::Zero(), &pan_f, &tilt_f)) {
    return false;
  }
  return roundAndLimit(pan_f, tilt_f, pan, tilt);
}

bool PTZCameraModelConfiguration::getPanTilt(const Eigen::Vector3f& world,
                                             const Eigen::Vector2f& pixel, float* pan,
                                             float* tilt) const {
  if (!outputsGiven({pan, tilt}, "getPanTilt")) return false;
  if (!model_) return false;
  return model_->pan_tilt_model_.computePanTilt(world, rectifyPixel(pixel), pan, tilt);
}

bool PTZCameraModelConfiguration::getPanTiltZoom(const Eigen::Vector2f& corner1,
                                                 const Eigen::Vector2f& corner2, int* pan,
                                                 int* tilt, int* zoom) const {
  if (!outputsGiven({pan, tilt, zoom}, "getPanTiltZoom")) return false;
  if (!model_) return false;
  // A point on the bisector of the corners' rays: the region's centre
  // direction, to be put on the optical axis.
  const Eigen::Vector3f target = getCameraCenter() + unitRay(corner1) + unitRay(corner2);
  float pan_f, tilt_f;
  if (!model_->pan_tilt_model_.computePanTilt(target, Eigen::Vector2f::Zero(), &pan_f, &tilt_f)) {
    return false;
  }
  int new_pan, new_tilt;
  if (!roundAndLimit(pan_f, tilt_f, &new_pan, &new_tilt)) return false;

  // The corners' directions in the camera frame after the move: W M (x, y, 1, 0),
  // M = world_from_now, W = moved_from_world. The zero fourth
  // component leaves the camera's displacement out.
  const CameraTransform moved_pose =
      model_->pan_tilt_model_.getFullTransform(float(new_pan), float(new_tilt));
  const Eigen::Matrix4f& moved_from_world = moved_pose.getTransform();
  const Eigen::Matrix4f& world_from_now = transform_.getInverseTransform();
  const Eigen::Matrix4f moved_from_now = moved_from_world * world_from_now;
  const Eigen::Vector2f corners[4] = {corner1, corner2, Eigen::Vector2f(corner1.x(), corner2.y()),
                                      Eigen::Vector2f(corner2.x(), corner1.y())};
  // The largest focal length at which every corner, at normalized (a, b)
  // after the move, stays within half the image about the optical axis:
  // f |a| <= hw and f |b| <= hh.
  const float hw = 0.5f * float(calWidth());
  const float hh = 0.5f * float(calHeight());
  float best = kUnboundedFocalLength;
  for (const Eigen::Vector2f& corner : corners) {
    const Eigen::Vector2f xy = rectifyPixel(corner);
    const Eigen::Vector4f v = moved_from_now * Eigen::Vector4f(xy.x(), xy.y(), 1.0f, 0.0f);
    const float a = v.x() / v.z();
    const float b = v.y() / v.z();
    // A candidate that is not smaller, or not a number, leaves best alone.
    const double across = hw / (std::fabs(a) + kAxisGuard);
    if (across < best) best = static_cast<float>(across);
    const double down = hh / (std::fabs(b) + kAxisGuard);
    if (down < best) best = static_cast<float>(down);
  }

  const auto& samples = model_->params_.intrinsics().samples();
  if (samples.empty()) {
    *pan = new_pan;
    *tilt = new_tilt;
    return false;
  }
  // The first sample narrower than the fit (strictly), and the zoom whose
  // focal length, linear in zoom between it and the sample before, equals
  // best; truncated toward zero. Zoom 0 when even the widest view is too
  // narrow, the longest zoom when the region fits at the longest.
  constexpr PTZCameraModel::FocalLengthSearch kRegionSearch{0, true, false, true};
  int i;
  const double chosen_zoom = model_->zoomAtFocalLength(best, kRegionSearch, &i);
  int new_zoom;
  if (!wholeValueToInt(chosen_zoom, &new_zoom)) {
    DRAVIK_LOG(2, kPtzCameraModelTag) << "Zoom out of the motor range: " << chosen_zoom;
    return false;
  }

  *pan = new_pan;
  *tilt = new_tilt;
  *zoom = new_zoom;
  if (i == 0 || i == samples.size()) {
    DRAVIK_LOG(5, kPtzCameraModelTag)
        << best << " " << new_pan << " " << new_tilt << " " << new_zoom;
  } else {
    DRAVIK_LOG(5, kPtzCameraModelTag)
        << best << " " << new_pan << " " << new_tilt << " " << quoteMessage(samples[i - 1]) << " "
        << quoteMessage(samples[i]) << " " << new_zoom;
  }
  return true;
}

}  // namespace calibration
}  // namespace dravik
