// The parts of the module, each added by its own source, and what they share.
//
// Arrays go through pybind11/eigen.h: matrices and vectors in and out as
// numpy arrays, batches of points as (N, k) float64 rows that a C-contiguous
// float64 array gives in place (any other real array is converted once by
// pybind11). A wrong shape or type is pybind11's TypeError, whose message
// lists the signatures the call takes. Outputs are float64.
#pragma once

#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>

#include <Eigen/Core>
#include <filesystem>
#include <string>
#include <utility>

#include "calibration_common/base_calibration_data.h"
#include "calibration_common/camera_parameters.h"
#include "calibration_common/pan_tilt_model.h"
#include "calibration_common/ptz_camera_model.h"
#include "calibration_utils/camera_calibration.h"
#include "calibration_utils/lens_soundness.h"
#include "calibration_utils/undistortion.h"
#include "dravik/text_format.h"
#include "initialized.h"

namespace camera_parameters_python {

// N rows of `Cols` values: points (x, y, z), pixels (u, v).
template <int Cols>
using Rows = Eigen::Matrix<double, Eigen::Dynamic, Cols, Eigen::RowMajor>;
// Rows read where they lie when they are interleaved (row i at data + Cols i),
// as the library's batch calls take them.
template <int Cols>
using RowsIn = Eigen::Ref<const Rows<Cols>, 0, Eigen::OuterStride<Cols>>;
// One point or pixel as a batch of one row, so that single and batch calls
// give the same bits.
template <int Cols>
RowsIn<Cols> oneRow(const Eigen::Matrix<double, Cols, 1>& p) {
  return RowsIn<Cols>(Eigen::Map<const Rows<Cols>>(p.data(), 1, Cols));
}
// One flag per row.
using Flags = Eigen::Matrix<bool, Eigen::Dynamic, 1>;

// The library's float matrices and vectors as float64 arrays, every float
// exactly.
template <typename Derived>
auto toDouble(const Eigen::MatrixBase<Derived>& m) {
  return m.template cast<double>().eval();
}

// The lens's batch calls, shared by Lens and the cameras that hand one out,
// with their docstrings. The GIL is released while the library works.
extern const char kProjectDoc[];
extern const char kNormalizePixelsDoc[];
extern const char kPixelRaysDoc[];
Rows<2> project(const dravik::calibration::Lens& lens, const RowsIn<3>& points);
std::pair<Rows<2>, Flags> normalizePixels(const dravik::calibration::Lens& lens,
                                          const RowsIn<2>& pixels);
Rows<3> pixelRays(const dravik::calibration::Lens& lens, const RowsIn<2>& pixels);

// Parses calibration bytes into *message: wire format first, then text
// format, quietly. False when they are neither.
bool parseCalibration(const std::string& data, google::protobuf::Message* message);

// The whole content of the file at `path` into *data; false, with a level-2
// record under `tag`, when it cannot be read.
bool readFile(const std::filesystem::path& path, const char* tag, std::string* data);
// The whole content of an open file object (its read() giving bytes or str).
// TypeError for an object without read().
std::string readFileObject(const pybind11::object& file);

// Lens, PinholeView, UndistortionMap, choose_pinhole_view, the maps,
// remap_image and the lens's sound region.
void bindImages(pybind11::module_& module);
// CameraParametersSet, CameraParameters, BaseCalibrationData.
void bindCameras(pybind11::module_& module);
// PTZCameraModel, PTZCameraModelConfiguration, PanTiltModel.
void bindPtz(pybind11::module_& module);
// CameraCalibration, calibrate_camera, projection_uncertainty.
void bindCalibration(pybind11::module_& module);
// RigCalibration, calibrate_rig.
void bindRig(pybind11::module_& module);

}  // namespace camera_parameters_python

// Every class the module binds, loaded only once its __init__ has run.
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::BaseCalibrationData)
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::CameraParameters)
// The fit's result, not the calibration message of the same name.
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::views::CameraCalibration)
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::CameraParametersSet)
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::Lens)
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::PanTiltModel)
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::PinholeView)
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::PTZCameraModelConfiguration)
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::SoundRegion)
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::UndistortionMap)
