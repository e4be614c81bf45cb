// The viewing direction of a pixel: the library's rectification of one
// camera's intrinsics at one image size, skew included.
#pragma once

#include "calibration_utils/rectify.h"
#include "intrinsics_formats.h"

namespace camcal {

// The normalized camera coordinates (x, y) of the ray seen at pixel (u, v),
// with the library's report of whether the rectification converged (it does
// not beyond a fold).
dravik::calibration::RectifiedPoint rayOfPixel(const IntrinsicsAtSize& lens, double u, double v);

}  // namespace camcal
