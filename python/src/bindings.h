// The parts of the module, each added by its own source.
#pragma once

#include <pybind11/pybind11.h>

#include "calibration_common/base_calibration_data.h"
#include "calibration_common/camera_parameters.h"
#include "calibration_common/pan_tilt_model.h"
#include "calibration_common/ptz_camera_model.h"
#include "calibration_utils/undistortion.h"
#include "initialized.h"

namespace camera_parameters_python {

// Lens, PinholeView, choose_pinhole_view, the undistortion maps, remap_image.
void bindImages(pybind11::module_& module);
// CameraParametersSet, CameraParameters, BaseCalibrationData.
void bindCameras(pybind11::module_& module);
// PTZCameraModel, PTZCameraModelConfiguration, PanTiltModel.
void bindPtz(pybind11::module_& module);

}  // namespace camera_parameters_python

// Every class the module binds, loaded only once its __init__ has run.
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::BaseCalibrationData)
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::CameraParameters)
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::CameraParametersSet)
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::Lens)
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::PanTiltModel)
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::PinholeView)
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::PTZCameraModelConfiguration)
