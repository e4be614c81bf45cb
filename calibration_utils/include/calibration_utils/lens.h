// The lens of a camera at one image size: the rational model with its
// pinhole intrinsics, and every operation of the model, each written once.
//
// Conventions
// - Frames: a camera point (X, Y, Z) has Z along the optical axis, x to the
//   right and y down in the image; its normalized coordinates are
//   (x, y) = (X / Z, Y / Z), the viewing direction (x, y, 1).
// - Lens model and pinhole step: dravik/rational_lens.h.
// - Coefficients: exactly eight floats in storage order (LensCoefficients);
//   a Lens holds no other number of them.
// - Pixels: of the width x height image the intrinsics belong to, centres at
//   integer coordinates.
// - Arithmetic: double precision inside, whatever the members' type.
// - Sound region (calibration_utils/lens_soundness.h): from the optical axis
//   out to the first radius where the radial mapping r R(r) turns back (a
//   fold) or its denominator falls below kDenominatorFloor (a pole), located
//   exactly; with tangential terms, out to its one-to-one radius. Only there
//   does a pixel have one viewing direction; a lens sound over its image
//   inverts every pixel of it.
//
// Failure: fromIntrinsics returns the problem (LensCheck, false as a
// condition) and writes a level-2 record under "calibration_utils" with its
// words (describeLensProblem); fromIntrinsicsQuietly returns it alone. The other operations never
// fail loudly: they report through their results (RectifiedPoint::converged, the ok flags).
//
// Thread safety: a Lens is a value; its const operations keep no state and
// may run on several threads at once.
#pragma once

#include <Eigen/Core>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "calibration_utils/lens_soundness.h"
#include "calibration_utils/rectify.h"
#include "dravik/eigen_types.h"
#include "dravik/geometry.h"
#include "dravik/rational_lens.h"

namespace dravik {
namespace calibration {

// What keeps K, a distortion and an image size from making a lens, first
// found first: K, then the distortion, then the size.
enum class LensProblem {
  kNone,
  kCameraMatrix,  // K is not finite, or fx or fy is not positive
  kDistortion,    // the distortion is not eight finite coefficients
  kImageSize,     // the width or the height is not positive
};

// The answer of the lens's check: the problem, with the values its words
// quote. False as a condition when there is a problem.
struct LensCheck {
  LensProblem problem = LensProblem::kNone;
  float fx = 0.0f, fy = 0.0f;                        // K's focal lengths
  std::size_t coefficients = kLensCoefficientCount;  // distortion coefficients given
  int width = 0, height = 0;                         // the image size
  explicit operator bool() const { return problem == LensProblem::kNone; }
};

// The problem in words, those of fromIntrinsics' level-2 record; empty when
// there is none.
std::string describeLensProblem(const LensCheck& check);

// The check of fromIntrinsics, without its record: K finite with fx and fy
// positive, the distortion exactly eight finite coefficients, the size
// positive.
LensCheck isLens(const dravik::Matrix3f& K, const std::vector<float>& distortion, int width,
                 int height);

// A camera's lens at one image size, built only checked: through
// fromIntrinsics (or fromIntrinsicsQuietly), which refuse what isLens
// refuses, so that a lens of an image always has K finite with fx and fy
// positive, eight finite coefficients and a positive size. A lens is derived
// from another the same way, from its values with the one changed.
//
// The default lens (K = I, no distortion, 0 x 0) is the lens of no image:
// isLens refuses its size, isSoundOverImage is false for it, and whatever
// takes a lens of an image refuses it by its size. It stands where a lens
// was refused.
class Lens {
 public:
  Lens() = default;

  // The lens of K and distortion at width x height, written to *lens (which
  // may be null to check only), when isLens finds no problem; else the
  // problem, with a level-2 record under "calibration_utils" in its words and
  // *lens untouched.
  static LensCheck fromIntrinsics(const dravik::Matrix3f& K, const std::vector<float>& distortion,
                                  int width, int height, Lens* lens);
  // (A template only so that a braced list of coefficients takes the list's
  // overload.)
  template <std::size_t N>
  static LensCheck fromIntrinsics(const dravik::Matrix3f& K, const std::array<float, N>& distortion,
                                  int width, int height, Lens* lens) {
    static_assert(N == kLensCoefficientCount, "a lens has eight coefficients");
    return make(K, distortion, width, height, true, lens);
  }
  // As fromIntrinsics, without the record: for values that were a checked
  // lens's (a calibration record's, a file's already reported) and whose
  // refusal the caller reports in its own words.
  static LensCheck fromIntrinsicsQuietly(const dravik::Matrix3f& K,
                                         const std::vector<float>& distortion, int width,
                                         int height, Lens* lens);
  template <std::size_t N>
  static LensCheck fromIntrinsicsQuietly(const dravik::Matrix3f& K,
                                         const std::array<float, N>& distortion, int width,
                                         int height, Lens* lens) {
    static_assert(N == kLensCoefficientCount, "a lens has eight coefficients");
    return make(K, distortion, width, height, false, lens);
  }

  int width() const { return width_; }    // the image size, pixels
  int height() const { return height_; }  //
  // [[fx, skew, cx], [0, fy, cy], [0, 0, 1]]
  const dravik::Matrix3f& K() const { return K_; }
  // Storage order (dravik/rational_lens.h).
  const LensCoefficients& distortion() const { return distortion_; }
  // The distortion as a list of eight.
  std::vector<float> distortionList() const { return {distortion_.begin(), distortion_.end()}; }

  // The distorted normalized point (xd, yd) of the normalized point (x, y).
  Eigen::Vector2d distort(const Eigen::Vector2d& normalized) const;
  // The pixel of a camera point (Z > 0 in front of the camera; Z = 0 gives a
  // pixel that is not finite).
  Eigen::Vector2d project(const Eigen::Vector3d& camera_point) const;
  // The normalized point whose pixel is `pixel`: the exact inverse of
  // project on the normalized plane, by Newton's method to the
  // double-precision floor (rectify.h's method, with skew). converged is
  // false where the pixel lies beyond the sound region's image (no viewing
  // direction: the point is then the best estimate, at the fold) or the
  // iteration did not converge.
  RectifiedPoint normalize(const Eigen::Vector2d& pixel) const;

  // The pixels uv[2 i], uv[2 i + 1] of the n camera points xyz[3 i],
  // xyz[3 i + 1], xyz[3 i + 2], each equal to the last bit to project's.
  // Vectorised. uv must not overlap xyz.
  void projectPoints(const double* xyz, std::size_t n, double* uv) const;
  // The normalized points xy[2 i], xy[2 i + 1] of the n pixels uv[2 i],
  // uv[2 i + 1], with ok[i] = 1 where normalize would report convergence and
  // 0 elsewhere (ok may be null). Each point equals normalize's to within
  // the double-precision floor of the iteration. Vectorised: most pixels take
  // a fixed number of Newton updates side by side, the rest the careful path
  // one by one. xy may be uv itself (in place).
  void normalizePixels(const double* uv, std::size_t n, double* xy, std::uint8_t* ok) const;

  // The sound region of the lens, by the exact rule (findSoundRegion).
  SoundRegion soundRegion() const;
  // The normalized distorted radius of the image corner farthest from the
  // principal point (dravik/rational_lens.h, farthestCornerRadius).
  double farthestCornerRadius() const;
  // True when the sound region's one-to-one radius (lens_soundness.h), the
  // tangential terms included, reaches farthestCornerRadius(): every pixel
  // of the image has one viewing direction, and normalize and
  // normalizePixels converge on every pixel of the image (where Newton's
  // method does not, about a stretch where r R(r) runs nearly flat or very
  // steep, the inverse starts again from the radial mapping bisected, which
  // converges there). False when the radius falls short of the corner, and
  // for intrinsics that isLens refuses.
  bool isSoundOverImage() const;

 private:
  // The checked construction of every factory; the record when `record`.
  template <typename Coefficients>
  static LensCheck make(const dravik::Matrix3f& K, const Coefficients& distortion, int width,
                        int height, bool record, Lens* lens);

  int width_ = 0, height_ = 0;
  dravik::Matrix3f K_ = dravik::Matrix3f::Identity();
  LensCoefficients distortion_{};
};

// The inverse of a lens made ready for many pixels: the lens widened once to
// double (PreparedLens), with the start of its inversion, the series
// reversion of the radial factor. With the radial factor expanded as
//   R(s) = N(s) / M(s) = 1 + c1 s + c2 s^2 + c3 s^3 + ...,  s = r^2,
//   c1 = k1 - k4,  c2 = k2 - k5 - k4 c1,  c3 = k3 - k6 - k4 c2 - k5 c1,
// the distorted radius rd = r R(r^2) = r + c1 r^3 + c2 r^5 + c3 r^7 + ...
// reverts to r = rd Q(rd^2) + O(rd^9), with
//   Q(w) = 1 + b1 w + b2 w^2 + b3 w^3,
//   b1 = -c1,  b2 = 3 c1^2 - c2,  b3 = 8 c1 c2 - 12 c1^3 - c3.
// Its normalize and normalizePixels answer, to the last bit, as the Lens's
// own, which prepare one per call: a holder that normalizes pixel by pixel
// (a PTZ configuration) keeps one beside its Lens, built once. A value: its
// const operations may run on several threads.
struct LensInverse {
  PreparedLens lens;                     // the lens in double precision
  double inverse_series[3] = {0, 0, 0};  // b1, b2, b3

  LensInverse() = default;  // no distortion, K = I
  explicit LensInverse(const Lens& lens) : LensInverse(lens.distortion().data(), lens.K()) {}
  // The lens of `distortion` (eight coefficients) and K. Inline, and
  // prepared in place: a call that normalizes one pixel builds one, and a
  // copy of a prepared lens would have its reads wait on its writes.
  LensInverse(const float* distortion, const dravik::Matrix3f& K) : lens(distortion, K) {
    const double* d = lens.d;
    const double k1 = d[kK1], k2 = d[kK2], k3 = d[kK3], k4 = d[kK4], k5 = d[kK5], k6 = d[kK6];
    // N / M = 1 + c1 s + c2 s^2 + ...: the coefficients of (N / M) M = N.
    const double c1 = k1 - k4;
    const double c2 = k2 - k5 - k4 * c1;
    const double c3 = k3 - k6 - k4 * c2 - k5 * c1;
    inverse_series[0] = -c1;
    inverse_series[1] = 3.0 * c1 * c1 - c2;
    inverse_series[2] = 8.0 * c1 * c2 - 12.0 * c1 * c1 * c1 - c3;
  }

  // Q(w): the undistorted radius over the distorted one rd, w = rd^2, summed
  // as (1 + b1 w) + w^2 (b2 + b3 w) (two halves side by side).
  double inverseRadialFactor(double w) const {
    return (1.0 + inverse_series[0] * w) + (w * w) * (inverse_series[1] + inverse_series[2] * w);
  }

  // As Lens::normalize and Lens::normalizePixels.
  RectifiedPoint normalize(const Eigen::Vector2d& pixel) const;
  void normalizePixels(const double* uv, std::size_t n, double* xy, std::uint8_t* ok) const;
};

}  // namespace calibration
}  // namespace dravik
