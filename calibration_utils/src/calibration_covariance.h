// The covariance of a multi-view calibration's intrinsics, with the poses
// marginalised (what it says of the lens's projection:
// projection_uncertainty.cpp).
#pragma once

#include <vector>

#include "calibration_utils/camera_calibration.h"
#include "levenberg_marquardt.h"
#include "reprojection_problem.h"

namespace dravik {
namespace calibration {

// Fills result->covariance, standard_deviations, undetermined and
// covered_region from the fit of
// `views` at `state`, the intrinsics that `freedom` frees counted as fitted.
void formCovariance(const std::vector<View>& views, int width, int height,
                    const IntrinsicFreedom& freedom, const CameraState& state, CameraFit* result);

}  // namespace calibration
}  // namespace dravik
