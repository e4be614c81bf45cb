#define DRAVIK_LOG_FILE "calibration_utils/lens"
#include "calibration_utils/lens.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "dravik/geometry.h"
#include "dravik/logging.h"
#include "lens_inverse.h"

namespace dravik {
namespace calibration {

namespace {

constexpr char kLensTag[] = "calibration_utils";
constexpr double kNotANumber = std::numeric_limits<double>::quiet_NaN();

// True when K, distortion and the size make a lens; when they do not and
// `log` is set, the one record that says why.
bool isLens(const Eigen::Matrix3f& K, const std::vector<float>& distortion, int width, int height,
            bool log) {
  if (!K.allFinite() || !(K(0, 0) > 0.0f) || !(K(1, 1) > 0.0f)) {
    if (log) {
      DRAVIK_LOG(2, kLensTag) << "The lens's K is not finite or its fx " << K(0, 0) << " or fy "
                              << K(1, 1) << " is not positive";
    }
    return false;
  }
  if (distortion.size() != 8 || !std::all_of(distortion.begin(), distortion.end(),
                                             [](float k) { return std::isfinite(k); })) {
    if (log) {
      DRAVIK_LOG(2, kLensTag) << "The lens distortion is not eight finite coefficients ("
                              << distortion.size() << " given)";
    }
    return false;
  }
  if (width <= 0 || height <= 0) {
    if (log) {
      DRAVIK_LOG(2, kLensTag) << "The lens image size " << width << " x " << height
                              << " is not positive";
    }
    return false;
  }
  return true;
}

// True when the lens's distortion is eight coefficients, the one thing the
// arithmetic cannot do without.
bool hasModel(const Lens& lens) { return lens.distortion.size() == 8; }

// The lens widened to double; false (nothing written) when it has no model.
bool prepare(const Lens& lens, PreparedLens* prepared) {
  if (!hasModel(lens)) return false;
  *prepared = PreparedLens(lens.distortion.data(), lens.K);
  return true;
}

}  // namespace

bool Lens::fromIntrinsics(const Eigen::Matrix3f& K, const std::vector<float>& distortion, int width,
                          int height, Lens* lens) {
  if (!isLens(K, distortion, width, height, true)) return false;
  if (lens != nullptr) {
    lens->width = width;
    lens->height = height;
    lens->K = K;
    lens->distortion = distortion;
  }
  return true;
}

Eigen::Vector2d Lens::distort(const Eigen::Vector2d& normalized) const {
  PreparedLens prepared;
  if (!prepare(*this, &prepared)) return Eigen::Vector2d::Constant(kNotANumber);
  Eigen::Vector2d distorted;
  distortNormalized(prepared.d, normalized.x(), normalized.y(), &distorted.x(), &distorted.y());
  return distorted;
}

Eigen::Vector2d Lens::project(const Eigen::Vector3d& camera_point) const {
  PreparedLens prepared;
  if (!prepare(*this, &prepared)) return Eigen::Vector2d::Constant(kNotANumber);
  const double inverse_z = 1.0 / camera_point.z();
  Eigen::Vector2d pixel;
  prepared.pixelOfNormalized(camera_point.x() * inverse_z, camera_point.y() * inverse_z, &pixel.x(),
                             &pixel.y());
  return pixel;
}

RectifiedPoint Lens::normalize(const Eigen::Vector2d& pixel) const {
  if (!hasModel(*this)) return LensInverse().normalize(pixel);
  // Built in place, without a copy of a prepared lens (whose reads would
  // wait on its writes): this call is one pixel long.
  return invertPixel(LensInverse(distortion.data(), K), pixel.x(), pixel.y());
}

void Lens::projectPoints(const double* xyz, std::size_t n, double* uv) const {
  PreparedLens prepared;
  if (!prepare(*this, &prepared)) {
    std::fill(uv, uv + 2 * n, kNotANumber);
    return;
  }
  prepared.projectCameraPoints(xyz, n, uv);
}

void Lens::normalizePixels(const double* uv, std::size_t n, double* xy, std::uint8_t* ok) const {
  LensInverse(*this).normalizePixels(uv, n, xy, ok);
}

LensInverse::LensInverse(const Lens& lens) {
  if (hasModel(lens)) *this = LensInverse(lens.distortion.data(), lens.K);
}

void LensInverse::normalizePixels(const double* uv, std::size_t n, double* xy,
                                  std::uint8_t* ok) const {
  if (!has_model) {
    std::fill(xy, xy + 2 * n, kNotANumber);
    if (ok != nullptr) std::fill(ok, ok + n, std::uint8_t(0));
    return;
  }
  for (std::size_t begin = 0; begin < n; begin += kInverseBlock) {
    const int size = int(std::min<std::size_t>(kInverseBlock, n - begin));
    double u[kInverseBlock], v[kInverseBlock];
    std::uint8_t converged[kInverseBlock];
    for (int i = 0; i < size; ++i) {
      u[i] = uv[2 * (begin + i)];
      v[i] = uv[2 * (begin + i) + 1];
    }
    invertBlock(*this, u, v, size, u, v, converged);
    for (int i = 0; i < size; ++i) {
      xy[2 * (begin + i)] = u[i];
      xy[2 * (begin + i) + 1] = v[i];
    }
    if (ok != nullptr) std::copy_n(converged, size, ok + begin);
  }
}

SoundRegion Lens::soundRegion() const { return findSoundRegion(distortion); }

double Lens::farthestCornerRadius() const {
  static const float kNoDistortion[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  const PreparedLens prepared(kNoDistortion, K);
  double radius = 0.0;
  for (const double u : {0.0, double(width)}) {
    for (const double v : {0.0, double(height)}) {
      double xd, yd;
      prepared.distortedOfPixel(u, v, &xd, &yd);
      // std::max would drop a NaN: a corner without a radius makes none.
      const double corner = std::hypot(xd, yd);
      radius = std::isnan(corner) || corner > radius ? corner : radius;
    }
  }
  return radius;
}

bool Lens::isSoundOverImage() const {
  if (!isLens(K, distortion, width, height, false)) return false;
  // Every point within the one-to-one radius has its one viewing direction,
  // tangential terms included; without them that is the edge's distorted
  // radius, which r R(r) reaches rising from 0 across the sound region.
  return soundRegion().one_to_one_radius >= farthestCornerRadius();
}

std::vector<float> lensCoefficients(const double* k, const double* p) {
  return {float(k[0]), float(k[1]), float(p[0]), float(p[1]),
          float(k[2]), float(k[3]), float(k[4]), float(k[5])};
}

}  // namespace calibration
}  // namespace dravik
