// The Python module camera_parameters.
#include <pybind11/pybind11.h>

#include "bindings.h"
#include "log_bridge.h"

namespace camera_parameters_python {
// calibrate_pan_tilt_head and PanTiltHeadCalibration (ptz_head_bindings.cpp).
void bindPtzHead(pybind11::module_& module);
}  // namespace camera_parameters_python

PYBIND11_MODULE(camera_parameters, module) {
  module.doc() = R"(Camera calibration of the robot over numpy arrays.

Conventions, as in the C++ library:
- Frames: a pose maps world (robot) coordinates into the camera frame (x right,
  y down, z along the optical axis); translations in metres.
- Intrinsics: K = [[fx, skew, cx], [0, fy, cy], [0, 0, 1]] in pixels of the
  image size an operation names; distortion is the eight coefficients k1, k2,
  p1, p2, k3, k4, k5, k6 of the rational lens model.
- Pixel coordinates are scaled as they are between image sizes (no half-pixel
  shift); pixel centres sit at integer coordinates.
- Arrays: batch calls take (N, k) arrays, or one (k,) row; C-contiguous
  float64 arrays are read where they lie, any other real array is converted
  once. Outputs are float64 arrays (the library's float values exactly, its
  double results as they are). An argument of the wrong shape or type raises
  TypeError listing the signatures the call takes.
- Failures are a False or None result and a record on the logger
  "camera_parameters" (see set_log_level); a failed load puts the embedded
  default back in force. calibrate_camera, projection_uncertainty and
  remap_image raise ValueError instead, with the library's reason (the
  record's text).)";
  camera_parameters_python::bindLogging(module);
  // Lens and PinholeView first: the other parts return them.
  camera_parameters_python::bindImages(module);
  camera_parameters_python::bindCameras(module);
  camera_parameters_python::bindPtz(module);
  camera_parameters_python::bindCalibration(module);
  camera_parameters_python::bindRig(module);
  camera_parameters_python::bindPtzHead(module);
}
