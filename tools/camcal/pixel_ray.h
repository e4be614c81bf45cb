// The library's lens of one camera's intrinsics at one image size: its
// normalize gives the viewing direction of a pixel (skew included, with the
// report of whether the inverse converged; it does not beyond a fold), its
// project the pixel of a direction.
#pragma once

#include "calibration_utils/lens.h"
#include "intrinsics_formats.h"

namespace camcal {

// The lens of the intrinsics, as they are: a distortion that is not eight
// coefficients makes a lens whose operations give no numbers.
dravik::calibration::Lens lensOf(const IntrinsicsAtSize& intrinsics);

// The lens with the same K and size and no distortion: the pinhole camera.
dravik::calibration::Lens pinholeOf(const IntrinsicsAtSize& intrinsics);

}  // namespace camcal
