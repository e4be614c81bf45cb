// Checks that a fitted lens model behaves over the image it serves.
//
// The library's lens (calibration_utils/lens.h) answers: its sound region
// runs from the optical axis out to the first radius where the radial
// mapping turns back or its rational denominator nears zero. Either edge is
// harmless outside the image and a fault inside it. The image reaches, from
// the principal point, the largest distorted radius of its four corners
// (Lens::farthestCornerRadius); the region must cover every direction whose
// distorted radius lies within that reach (Lens::isSoundOverImage). This
// file only puts the library's answer into words.
#pragma once

#include <Eigen/Core>
#include <string>
#include <vector>

namespace camcal {

// The first problem found over the width x height image with intrinsics K
// and the eight coefficients k1, k2, p1, p2, k3, k4, k5, k6, as one sentence; empty when the model
// behaves. The sentence places the problem by its angle off the optical axis and by how far it lies
// towards the farthest image corner. Tangential terms are left out.
std::string checkLensModel(const Eigen::Matrix3f& K, const std::vector<float>& distortion,
                           int width, int height);

// Empty when the principal point (cx, cy) of K lies on the width x height
// image (pixel centres span [0, width - 1], so up to half a pixel beyond
// them), else a sentence placing it: a camera whose optical axis leaves its
// image is no fit of a real lens, whatever its residual.
std::string checkPrincipalPoint(const Eigen::Matrix3f& K, int width, int height);

}  // namespace camcal
