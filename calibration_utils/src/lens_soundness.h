// Whether a lens stays a one-to-one mapping over an image, and by how much.
//
// The radial part of the rational lens maps the undistorted normalised radius
// r to the distorted one
//   r_d(r) = r N(r) / D(r),
//   N = 1 + k1 r^2 + k2 r^4 + k3 r^6,   D = 1 + k4 r^2 + k5 r^4 + k6 r^6.
// A sound lens keeps r_d rising (dr_d/dr > 0) and D away from zero from the
// optical axis until r_d reaches the image corner farthest from the principal
// point; beyond the image it may do as it likes.
#pragma once

#include <Eigen/Core>
#include <array>
#include <vector>

namespace dravik {
namespace calibration {

// The pinhole part and the eight coefficients (k1, k2, p1, p2, k3, k4, k5, k6)
// of a lens, in pixels of an image of a given size.
struct LensOverImage {
  double fx, fy, cx, cy;
  std::array<double, 8> distortion;
  Eigen::Vector2i image_size;
};

// The smallest denominator a sound lens keeps over its image.
constexpr double kMinimumLensDenominator = 0.1;

// D, r_d and dr_d/dr at radius r, on any scalar (double or AutoDiff1 over the
// coefficients), from the eight coefficients k1, k2, p1, p2, k3, k4, k5, k6:
//   dr_d/dr = (N + r N') / D - r N D' / D^2.
template <typename S>
struct RadialProfile {
  S denominator;
  S distorted;
  S slope;
};

template <typename S>
RadialProfile<S> radialProfile(const std::array<S, 8>& d, double r) {
  const double r2 = r * r, r3 = r2 * r, r4 = r2 * r2, r5 = r4 * r, r6 = r4 * r2;
  const S N = 1.0 + d[0] * r2 + d[1] * r4 + d[4] * r6;
  const S D = 1.0 + d[5] * r2 + d[6] * r4 + d[7] * r6;
  const S dN = d[0] * (2.0 * r) + d[1] * (4.0 * r3) + d[4] * (6.0 * r5);
  const S dD = d[5] * (2.0 * r) + d[6] * (4.0 * r3) + d[7] * (6.0 * r5);
  const S inverse_D = 1.0 / D;
  return {D, r * N * inverse_D, (N + r * dN) * inverse_D - r * N * dD * inverse_D * inverse_D};
}

// The radii at which the lens must be sound: r = j h, j = 1, 2, ..., with
// h = 1/128 of the corner's normalised radius, up to the first at which r_d
// reaches the corner. Where r_d never reaches it within ten corner radii,
// every radius up to there, and *reaches is false. Empty when fx or fy is
// not positive or the corner's radius is not finite.
std::vector<double> soundnessRadii(const LensOverImage& lens, bool* reaches);

// True when, at every soundness radius, dr_d/dr > 0 and
// D >= kMinimumLensDenominator, and r_d reaches the corner. False as well
// when fx or fy is not positive.
bool lensIsSoundOverImage(const LensOverImage& lens);

}  // namespace calibration
}  // namespace dravik
