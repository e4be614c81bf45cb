// The parts of the module, each added by its own source.
#pragma once

#include <pybind11/pybind11.h>

namespace camera_parameters_python {

// Lens, PinholeView, choose_pinhole_view, the undistortion maps, remap_image.
void bindImages(pybind11::module_& module);
// CameraParametersSet, CameraParameters, BaseCalibrationData.
void bindCameras(pybind11::module_& module);
// PTZCameraModel, PTZCameraModelConfiguration, PanTiltModel.
void bindPtz(pybind11::module_& module);

}  // namespace camera_parameters_python
