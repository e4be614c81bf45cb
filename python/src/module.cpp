// The Python module camera_parameters.
#include <pybind11/pybind11.h>

#include "bindings.h"
#include "log_bridge.h"

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
- Arrays: inputs of any real dtype and memory layout are converted to
  float32, the library's precision; outputs are float64 arrays holding the
  library's float results exactly. A wrong shape raises ValueError naming the
  expected one, None or a non-numeric array raises TypeError.
- Failures are a False or None result and a record on the logger
  "camera_parameters" (see set_log_level); a failed load puts the embedded
  default back in force.)";
  camera_parameters_python::bindLogging(module);
  // Lens and PinholeView first: the other parts return them.
  camera_parameters_python::bindImages(module);
  camera_parameters_python::bindCameras(module);
  camera_parameters_python::bindPtz(module);
}
