#define DRAVIK_LOG_FILE "calibration_common/ptz_camera_model"

// A PTZ camera model evaluated at one pan/tilt/zoom: pose, interpolated
// intrinsics and distortion, projection, rays and rectification.
#include <algorithm>
#include <utility>

#include "calibration_common/ptz_camera_model.h"
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
  Eigen::Matrix3f K;
  K << float(f), 0.0f, float(cx), 0.0f, float(f), float(cy), 0.0f, 0.0f, 1.0f;
  // A model whose setting makes no lens (a focal length that is not
  // positive) leaves the default lens, the lens of no image, and the
  // configuration invalid; its model reported itself as it loaded.
  if (!Lens::fromIntrinsicsQuietly(K,
                                   LensCoefficients{float(k1), float(k2), float(p1), float(p2),
                                                    0.0f, float(k4), float(k5), 0.0f},
                                   calWidth(), calHeight(), &lens_)) {
    valid_ = false;
  }
  inverse_ = LensInverse(lens_);
  projector_ = PointProjector(transform_, lens_.distortion().data(), lens_.K());
}

PTZCameraModelConfiguration::PTZCameraModelConfiguration(const PTZCameraModelConfiguration& other) =
    default;
PTZCameraModelConfiguration::PTZCameraModelConfiguration(
    PTZCameraModelConfiguration&& other) noexcept = default;
PTZCameraModelConfiguration& PTZCameraModelConfiguration::operator=(
    const PTZCameraModelConfiguration& other) = default;
PTZCameraModelConfiguration& PTZCameraModelConfiguration::operator=(
    PTZCameraModelConfiguration&& other) noexcept = default;
PTZCameraModelConfiguration::~PTZCameraModelConfiguration() = default;

int PTZCameraModelConfiguration::calWidth() const {
  return model_ ? model_->params_.intrinsics().cal_width() : 0;
}

int PTZCameraModelConfiguration::calHeight() const {
  return model_ ? model_->params_.intrinsics().cal_height() : 0;
}

Eigen::Vector2f PTZCameraModelConfiguration::rectifyPixel(const Eigen::Vector2f& pixel) const {
  return inverse_.normalize(pixel.cast<double>()).point.cast<float>();
}

Eigen::Vector2f PTZCameraModelConfiguration::project3dToCamera(const Eigen::Vector3f& p) const {
  return projector_.project(p);
}

void PTZCameraModelConfiguration::project3dToCamera(const float* x, const float* y, const float* z,
                                                    int count, float* u, float* v) const {
  projector_.project(x, y, z, count, u, v);
}

Eigen::Vector3f PTZCameraModelConfiguration::projectPixelToRay(const Eigen::Vector2f& pixel) const {
  // rectifyPixel's point, without the call through the symbol table.
  const Eigen::Vector2f xy = inverse_.normalize(pixel.cast<double>()).point.cast<float>();
  return transform_.getInverseTransform().topLeftCorner<3, 3>() *
         Eigen::Vector3f(xy.x(), xy.y(), 1.0f);
}

void PTZCameraModelConfiguration::projectPixelsToRays(const double* uv, std::size_t n, double* xyz,
                                                      std::uint8_t* ok) const {
  // The normalized points, two per pixel, in the first two thirds of each
  // ray's place from the front: point i is read before ray i is written.
  inverse_.normalizePixels(uv, n, xyz, ok);
  const Eigen::Matrix3d world_from_camera =
      transform_.getInverseTransform().topLeftCorner<3, 3>().cast<double>();
  for (std::size_t i = n; i-- > 0;) {
    const Eigen::Vector3d ray =
        world_from_camera * Eigen::Vector3d(xyz[2 * i], xyz[2 * i + 1], 1.0);
    xyz[3 * i] = ray.x();
    xyz[3 * i + 1] = ray.y();
    xyz[3 * i + 2] = ray.z();
  }
}

void PTZCameraModelConfiguration::projectPoints(const double* xyz, std::size_t n,
                                                double* uv) const {
  for (std::size_t i = 0; i < n; ++i) {
    projector_.projectToPixel(xyz[3 * i], xyz[3 * i + 1], xyz[3 * i + 2], &uv[2 * i],
                              &uv[2 * i + 1]);
  }
}

Eigen::Vector2f PTZCameraModelConfiguration::rectifyPoint(const Eigen::Vector2f& p) const {
  return rectifyPixel(Eigen::Vector2f(float(calWidth()) * p.x(), float(calHeight()) * p.y()));
}

void PTZCameraModelConfiguration::getCameraParameters(int /*width*/, int /*height*/,
                                                      CameraParameters* /*out*/) const {}

}  // namespace calibration
}  // namespace dravik
