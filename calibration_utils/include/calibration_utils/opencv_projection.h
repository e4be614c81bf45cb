// The rational camera model of a camera looking at a planar target.
//
// Conventions
// - Target frame: the target is the plane z = 0; a target point (x, y) is in
//   metres.
// - Camera frame: x right, y down, z along the optical axis. The pose maps
//   target into camera coordinates: X_c = R (x, y, 0) + t, t in metres.
// - Lens and pixels: dravik/rational_lens.h, without skew.
//
// Written on a template scalar: double for evaluation, AutoDiff1 for the
// Jacobians of a calibration. For example
//   OpenCVProjection<double> camera;        // every parameter zero
//   camera.fx = camera.fy = 800; camera.cx = 640; camera.cy = 480;
//   camera.rotation[0][0] = camera.rotation[1][1] = camera.rotation[2][2] = 1;
//   camera.translation[2] = 2.0;            // target 2 m ahead
//   double u, v;
//   camera.projectTargetPoint(0.5, 0.0, &u, &v);   // u = 640 + 800 * 0.25 = 840
#pragma once

#include <array>

#include "dravik/rational_lens.h"

namespace dravik {
namespace calibration {

template <typename T>
struct OpenCVProjection {
  T fx{};
  T fy{};
  T cx{};
  T cy{};
  // R, row r column c at rotation[r][c]; target to camera.
  T rotation[3][3]{};
  // t, metres.
  T translation[3]{};
  T k1{};
  T k2{};
  T k3{};
  T k4{};
  T k5{};
  T k6{};
  T p1{};
  T p2{};

  // The eight coefficients in storage order.
  std::array<T, 8> distortionCoefficients() const { return {k1, k2, p1, p2, k3, k4, k5, k6}; }

  // The pixel of a point in camera coordinates. A point on the camera plane
  // (Z = 0) gives a non-finite pixel.
  template <typename P>
  void projectCameraPoint(const P& X, const P& Y, const P& Z, T* u, T* v) const {
    const std::array<T, 8> d = distortionCoefficients();
    const T x = X / Z;
    const T y = Y / Z;
    T xd, yd;
    distortNormalized(d.data(), x, y, &xd, &yd);
    pixelOfDistorted(fx, cx, fy, cy, xd, yd, u, v);
  }

  // The pixel of the target point (x, y, 0), in metres.
  template <typename P>
  void projectTargetPoint(const P& x, const P& y, T* u, T* v) const {
    const T X = rotation[0][0] * x + rotation[0][1] * y + translation[0];
    const T Y = rotation[1][0] * x + rotation[1][1] * y + translation[1];
    const T Z = rotation[2][0] * x + rotation[2][1] * y + translation[2];
    projectCameraPoint(X, Y, Z, u, v);
  }
};

}  // namespace calibration
}  // namespace dravik
