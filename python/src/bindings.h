// The parts of the module, each added by its own source.
#pragma once

#include <pybind11/pybind11.h>

namespace camera_parameters_python {

// CameraParametersSet, CameraParameters, BaseCalibrationData.
void bindCameras(pybind11::module_& module);
// PTZCameraModel, PTZCameraModelConfiguration, PanTiltModel.
void bindPtz(pybind11::module_& module);

}  // namespace camera_parameters_python
