// Checks that a fitted lens model behaves over the image it serves.
//
// The rational model maps the normalized radius r of a viewing direction to
// the distorted radius
//   rd(r) = r (1 + k1 r^2 + k2 r^4 + k3 r^6) / (1 + k4 r^2 + k5 r^4 + k6 r^6).
// A fit is constrained only at its sample points; between and beyond them a
// rational fit may turn back (rd stops increasing, so two directions land on
// one pixel and undistortion has no unique answer) or its denominator may
// approach zero (rd blows up). Either is harmless outside the image and a
// fault inside it. The image reaches, from the principal point, the largest
// distorted radius of its four corners; the model must be increasing, with
// its denominator clear of zero, on every r whose rd lies within that reach.
#pragma once

#include <Eigen/Core>
#include <string>
#include <vector>

namespace camcal {

// The denominator value under which the model counts as near its pole: it
// then multiplies the numerator by ten or more.
constexpr double kDenominatorFloor = 0.1;
// The largest normalized radius examined, about 87 degrees off axis.
constexpr double kLargestRadius = 20.0;

// The first problem found over the width x height image with intrinsics K
// and coefficients k1, k2, p1, p2, k3, k4, k5, k6 (missing trailing ones count
// as zero), as one sentence; empty when the model behaves. The sentence
// places the problem by its angle off the optical axis and by how far it
// lies towards the farthest image corner. Tangential terms are left out.
std::string checkLensModel(const Eigen::Matrix3f& K, const std::vector<float>& distortion,
                           int width, int height);

}  // namespace camcal
