#define DRAVIK_LOG_FILE "calibration_utils/lens"
#include "calibration_utils/lens.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "dravik/geometry.h"
#include "dravik/logging.h"
#include "lens_inverse.h"

namespace dravik {
namespace calibration {

namespace {

constexpr char kLensTag[] = "calibration_utils";

// The check of isLens, on any list of coefficients.
template <typename Coefficients>
LensCheck check(const Eigen::Matrix3f& K, const Coefficients& distortion, int width, int height) {
  LensCheck found;
  found.fx = K(0, 0);
  found.fy = K(1, 1);
  found.coefficients = distortion.size();
  found.width = width;
  found.height = height;
  if (!K.allFinite() || !(K(0, 0) > 0.0f) || !(K(1, 1) > 0.0f)) {
    found.problem = LensProblem::kCameraMatrix;
  } else if (distortion.size() != kLensCoefficientCount ||
             !std::all_of(distortion.begin(), distortion.end(),
                          [](float k) { return std::isfinite(k); })) {
    found.problem = LensProblem::kDistortion;
  } else if (width <= 0 || height <= 0) {
    found.problem = LensProblem::kImageSize;
  }
  return found;
}

}  // namespace

std::string describeLensProblem(const LensCheck& check) {
  std::ostringstream words;
  switch (check.problem) {
    case LensProblem::kNone:
      break;
    case LensProblem::kCameraMatrix:
      words << "The lens's K is not finite or its fx " << check.fx << " or fy " << check.fy
            << " is not positive";
      break;
    case LensProblem::kDistortion:
      words << "The lens distortion is not eight finite coefficients (" << check.coefficients
            << " given)";
      break;
    case LensProblem::kImageSize:
      words << "The lens image size " << check.width << " x " << check.height << " is not positive";
      break;
  }
  return words.str();
}

LensCheck isLens(const Eigen::Matrix3f& K, const std::vector<float>& distortion, int width,
                 int height) {
  return check(K, distortion, width, height);
}

template <typename Coefficients>
LensCheck Lens::make(const Eigen::Matrix3f& K, const Coefficients& distortion, int width,
                     int height, bool record, Lens* lens) {
  const LensCheck found = check(K, distortion, width, height);
  if (!found) {
    if (record) {
      DRAVIK_LOG(2, kLensTag) << describeLensProblem(found);
    }
    return found;
  }
  if (lens != nullptr) {
    lens->width_ = width;
    lens->height_ = height;
    lens->K_ = K;
    std::copy(distortion.begin(), distortion.end(), lens->distortion_.begin());
  }
  return found;
}

LensCheck Lens::fromIntrinsics(const Eigen::Matrix3f& K, const std::vector<float>& distortion,
                               int width, int height, Lens* lens) {
  return make(K, distortion, width, height, true, lens);
}

LensCheck Lens::fromIntrinsicsQuietly(const Eigen::Matrix3f& K,
                                      const std::vector<float>& distortion, int width, int height,
                                      Lens* lens) {
  return make(K, distortion, width, height, false, lens);
}

template LensCheck Lens::make(const Eigen::Matrix3f&, const LensCoefficients&, int, int, bool,
                              Lens*);

Eigen::Vector2d Lens::distort(const Eigen::Vector2d& normalized) const {
  const PreparedLens prepared(distortion_.data(), K_);
  Eigen::Vector2d distorted;
  distortNormalized(prepared.d, normalized.x(), normalized.y(), &distorted.x(), &distorted.y());
  return distorted;
}

Eigen::Vector2d Lens::project(const Eigen::Vector3d& camera_point) const {
  const PreparedLens prepared(distortion_.data(), K_);
  const double inverse_z = 1.0 / camera_point.z();
  Eigen::Vector2d pixel;
  prepared.pixelOfNormalized(camera_point.x() * inverse_z, camera_point.y() * inverse_z, &pixel.x(),
                             &pixel.y());
  return pixel;
}

RectifiedPoint Lens::normalize(const Eigen::Vector2d& pixel) const {
  // Built in place, without a copy of a prepared lens (whose reads would
  // wait on its writes): this call is one pixel long.
  return invertPixel(LensInverse(distortion_.data(), K_), pixel.x(), pixel.y());
}

void Lens::projectPoints(const double* xyz, std::size_t n, double* uv) const {
  PreparedLens(distortion_.data(), K_).projectCameraPoints(xyz, n, uv);
}

void Lens::normalizePixels(const double* uv, std::size_t n, double* xy, std::uint8_t* ok) const {
  LensInverse(*this).normalizePixels(uv, n, xy, ok);
}

void LensInverse::normalizePixels(const double* uv, std::size_t n, double* xy,
                                  std::uint8_t* ok) const {
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

SoundRegion Lens::soundRegion() const { return findSoundRegion(distortion_); }

double Lens::farthestCornerRadius() const {
  return dravik::farthestCornerRadius(K_(0, 0), K_(0, 1), K_(0, 2), K_(1, 1), K_(1, 2), width_,
                                      height_);
}

bool Lens::isSoundOverImage() const {
  if (!check(K_, distortion_, width_, height_)) return false;
  // Every point within the one-to-one radius has its one viewing direction,
  // tangential terms included; without them that is the edge's distorted
  // radius, which r R(r) reaches rising from 0 across the sound region.
  return soundRegion().one_to_one_radius >= farthestCornerRadius();
}

}  // namespace calibration
}  // namespace dravik
