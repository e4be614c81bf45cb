// The picture of a lens at one image size (`camcal plot`): how far the
// distortion moves each pixel from where a pinhole camera with the same K
// would see its ray, as a colour map with labelled contour lines and a
// sparse field of arrows, with the image border, the principal point and the
// edge of the lens's sound region (calibration_utils/lens.h)
// where it falls inside the image.
#pragma once

#include <string>

#include "inputs/intrinsics_formats.h"
#include "plot/plot_canvas.h"

namespace camcal {

// Returns the bytes of the picture. picture_width: pixels, 0 for the
// layout's own size.
std::string plotLens(const IntrinsicsAtSize& lens, PictureFormat format, int picture_width);

}  // namespace camcal
