#define DRAVIK_LOG_FILE "calibration_common/ptz_camera_model"

// A PTZ camera model evaluated at one pan/tilt/zoom: pose, interpolated
// intrinsics and distortion, projection, rays and rectification.
#include <algorithm>
#include <utility>

#include "calibration_common/ptz_camera_model.h"
#include "calibration_utils/rectify.h"
#include "dravik/geometry.h"
#include "dravik/logging.h"
#include "ptz_camera_model_internal.h"

namespace dravik {
namespace calibration {

PTZCameraModelConfiguration::PTZCameraModelConfiguration(
    const std::shared_ptr<PTZCameraModel>& model, int pan, int tilt, int zoom)
    : model_(model),
      pan_(pan),
      tilt_(tilt),
      zoom_(zoom),
      valid_(model->valid()),
      transform_(model->pan_tilt_model_.getFullTransform(float(pan), float(tilt))) {
  const PTZCameraModel::ZoomBracket bracket = model_->bracketZoom(zoom);
  const PTZIntrinsicsItem& A = *bracket.below;
  const PTZIntrinsicsItem& B = *bracket.above;
  const double a1 = bracket.below_weight;
  const double a2 = 1.0 - a1;
  DRAVIK_LOGF(5, kPtzCameraModelTag, "zoom=%d a1=%f, a2=%f", zoom, a1, a2);
  DRAVIK_LOGF(5, kPtzCameraModelTag, "f1=%f k11=%f k41=%f | f2=%f k12=%f k42=%f", A.f(), A.k1(),
              A.k4(), B.f(), B.k1(), B.k4());

  const double f = a1 * A.f() + a2 * B.f();
  const double cx = a1 * A.cx() + a2 * B.cx();
  const double cy = a1 * A.cy() + a2 * B.cy();

  // f R(r) = a1 A.f RA(r) + a2 B.f RB(r) with RX(r) = (1 + X.k1 r^2) / (1 + X.k4 r^2):
  // over the common denominator (1 + A.k4 r^2)(1 + B.k4 r^2), with
  // wA = a1 A.f / f and wB = a2 B.f / f (wA + wB = 1), the numerator is
  //   wA (1 + A.k1 r^2)(1 + B.k4 r^2) + wB (1 + B.k1 r^2)(1 + A.k4 r^2)
  //   = 1 + [wA (A.k1 + B.k4) + wB (B.k1 + A.k4)] r^2
  //       + [wA A.k1 B.k4 + wB B.k1 A.k4] r^4.
  const double wA = a1 * A.f() / f;
  const double wB = a2 * B.f() / f;
  const double k1 = wA * (A.k1() + B.k4()) + wB * (B.k1() + A.k4());
  const double k2 = wA * A.k1() * B.k4() + wB * B.k1() * A.k4();
  // The tangential terms follow the zoom weights.
  const double p1 = a1 * A.p1() + a2 * B.p1();
  const double p2 = a1 * A.p2() + a2 * B.p2();
  const double k4 = A.k4() + B.k4();
  const double k5 = A.k4() * B.k4();
  distortion_ = {float(k1), float(k2), float(p1), float(p2), 0.0f, float(k4), float(k5), 0.0f};

  focal_length_[0] = focal_length_[1] = float(f);
  principal_point_[0] = float(cx);
  principal_point_[1] = float(cy);
  Eigen::Matrix3f K;
  K << float(f), 0.0f, float(cx), 0.0f, float(f), float(cy), 0.0f, 0.0f, 1.0f;
  projector_ = PointProjector(transform_, distortion_.data(), K);
}

PTZCameraModelConfiguration::PTZCameraModelConfiguration(const PTZCameraModelConfiguration& other) =
    default;
PTZCameraModelConfiguration::PTZCameraModelConfiguration(
    PTZCameraModelConfiguration&& other) noexcept
    : pan_(0), tilt_(0), zoom_(0), valid_(false) {
  *this = std::move(other);
}
PTZCameraModelConfiguration& PTZCameraModelConfiguration::operator=(
    const PTZCameraModelConfiguration& other) = default;
PTZCameraModelConfiguration& PTZCameraModelConfiguration::operator=(
    PTZCameraModelConfiguration&& other) noexcept {
  if (this == &other) return *this;
  model_ = std::move(other.model_);
  pan_ = other.pan_;
  tilt_ = other.tilt_;
  zoom_ = other.zoom_;
  valid_ = other.valid_;
  transform_ = other.transform_;
  distortion_ = std::move(other.distortion_);
  projector_ = other.projector_;
  std::copy_n(other.principal_point_, 2, principal_point_);
  std::copy_n(other.focal_length_, 2, focal_length_);
  other.forgetLens();
  return *this;
}
PTZCameraModelConfiguration::~PTZCameraModelConfiguration() = default;

int PTZCameraModelConfiguration::calWidth() const {
  return model_ ? model_->params_.intrinsics().cal_width() : 0;
}

int PTZCameraModelConfiguration::calHeight() const {
  return model_ ? model_->params_.intrinsics().cal_height() : 0;
}

void PTZCameraModelConfiguration::forgetLens() {
  distortion_.clear();
  projector_.lens = RationalLens();
}

Eigen::Vector2f PTZCameraModelConfiguration::rectifyPixel(const Eigen::Vector2f& pixel) const {
  return ::dravik::calibration::rectifyPoint(projector_.lens, principal_point_, focal_length_,
                                             pixel);
}

Eigen::Vector2f PTZCameraModelConfiguration::project3dToCamera(const Eigen::Vector3f& p) const {
  return projector_.project(p);
}

void PTZCameraModelConfiguration::project3dToCamera(const float* x, const float* y, const float* z,
                                                    int count, float* u, float* v) const {
  projector_.project(x, y, z, count, u, v);
}

Eigen::Vector3f PTZCameraModelConfiguration::projectPixelToRay(const Eigen::Vector2f& pixel) const {
  const Eigen::Vector2f xy = rectifyPixel(pixel);
  return transform_.getInverseTransform().topLeftCorner<3, 3>() *
         Eigen::Vector3f(xy.x(), xy.y(), 1.0f);
}

Eigen::Vector2f PTZCameraModelConfiguration::rectifyPoint(const Eigen::Vector2f& p) const {
  return rectifyPixel(Eigen::Vector2f(float(calWidth()) * p.x(), float(calHeight()) * p.y()));
}

void PTZCameraModelConfiguration::getCameraParameters(int /*width*/, int /*height*/,
                                                      CameraParameters* /*out*/) const {}

}  // namespace calibration
}  // namespace dravik
