// The picture of a PTZ zoom table (`camcal ptz FILE plot`): the focal length
// against zoom steps, the calibrated samples marked and labelled with their
// horizontal field of view, the configuration's interpolation between them,
// and the zoom x factor on a second axis.
#pragma once

#include <string>

#include "calibration_messages/calibration.pb.h"
#include "plot/plot_canvas.h"

namespace camcal {

// params: a PTZ calibration the library finds valid; source names it in the
// title. Returns the bytes of the picture. picture_width: pixels, 0
// for the layout's own size.
std::string plotZoomTable(const dravik::calibration::PTZCameraParameters& params,
                          const std::string& source, PictureFormat format, int picture_width);

}  // namespace camcal
