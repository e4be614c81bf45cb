// The parts of the module, each added by its own source, and what they share.
//
// Arrays in: batches of points as (N, k) float64 rows or one (k,) row
// (Batch), and vectors and matrices of a fixed shape (Fixed), each from any
// array of real numbers or what numpy.asarray makes one of: a C-contiguous
// float64 array is read where it lies, any other real array is converted
// once. A wrong shape raises ValueError naming the shape expected, as numpy
// does; complex, object, string and other arrays that do not hold real
// numbers raise TypeError. Image sizes that are not positive raise
// ValueError (checkImageSize). Arrays out: float64 numpy arrays, through
// pybind11/eigen.h or written in place.
#pragma once

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
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

// The shape of an array as numpy prints it, e.g. "(4, 2)".
std::string shapeText(const pybind11::array& array);
// The array that `src` is, or that numpy.asarray makes of it; TypeError unless
// it holds real numbers (bool, integer or floating point), naming `expected`
// (what the call takes, e.g. "(N, 3) or (3,)").
pybind11::array realArray(pybind11::handle src, const std::string& expected);
// ValueError unless width and height are both positive.
void checkImageSize(int width, int height);

// Rows of `Cols` values given as (N, Cols) rows or one (Cols,) row, as
// float64 C-contiguous rows (the caller's own when it gave such).
template <int Cols>
struct Batch {
  pybind11::object owner;  // holds the rows
  const double* data = nullptr;
  Eigen::Index count = 0;
  bool single = false;  // one (Cols,) row: one answer of the same bits as in a batch
  RowsIn<Cols> rows() const {
    return RowsIn<Cols>(Eigen::Map<const Rows<Cols>>(data, count, Cols));
  }
};

template <int Cols>
Batch<Cols> batchOf(pybind11::handle src) {
  const std::string expected =
      "(N, " + std::to_string(Cols) + ") or (" + std::to_string(Cols) + ",)";
  const pybind11::array array = realArray(src, expected);
  const bool single = array.ndim() == 1 && array.shape(0) == Cols;
  if (!single && !(array.ndim() == 2 && array.shape(1) == Cols)) {
    throw pybind11::value_error("expected an array of shape " + expected + ", not " +
                                shapeText(array));
  }
  using Float64 = pybind11::array_t<double, pybind11::array::c_style | pybind11::array::forcecast>;
  Float64 rows = Float64::ensure(array);
  if (!rows) throw pybind11::error_already_set();
  Batch<Cols> batch;
  batch.data = rows.data();
  batch.count = single ? 1 : Eigen::Index(rows.shape(0));
  batch.single = single;
  batch.owner = std::move(rows);
  return batch;
}

// The answer of a batch call, `cols` values per row of `batch`: (N, cols)
// float64, or (cols,) for a single row; its values are written in place.
template <int Cols>
pybind11::array_t<double> resultRows(const Batch<Cols>& batch, int cols) {
  if (batch.single) return pybind11::array_t<double>(pybind11::ssize_t(cols));
  return pybind11::array_t<double>({pybind11::ssize_t(batch.count), pybind11::ssize_t(cols)});
}

// A vector (Cols 1, shape (Rows,)) or a matrix (shape (Rows, Cols)) of a
// fixed shape, held in Scalar (row-major, as the library's matrices).
template <typename Scalar, int R, int C>
struct Fixed {
  Eigen::Matrix<Scalar, R, C, C == 1 ? Eigen::ColMajor : Eigen::RowMajor> value;
};

template <typename Scalar, int R, int C>
Fixed<Scalar, R, C> fixedOf(pybind11::handle src) {
  const std::string expected = C == 1 ? "(" + std::to_string(R) + ",)"
                                      : "(" + std::to_string(R) + ", " + std::to_string(C) + ")";
  const pybind11::array array = realArray(src, expected);
  const bool fits = C == 1 ? array.ndim() == 1 && array.shape(0) == R
                           : array.ndim() == 2 && array.shape(0) == R && array.shape(1) == C;
  if (!fits) {
    throw pybind11::value_error("expected an array of shape " + expected + ", not " +
                                shapeText(array));
  }
  using Float64 = pybind11::array_t<double, pybind11::array::c_style | pybind11::array::forcecast>;
  const Float64 values = Float64::ensure(array);
  if (!values) throw pybind11::error_already_set();
  Fixed<Scalar, R, C> fixed;
  for (int i = 0; i < R * C; ++i) fixed.value.data()[i] = static_cast<Scalar>(values.data()[i]);
  return fixed;
}

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
// The pixels of camera points; NaN for a point behind the camera (Z < 0).
pybind11::array_t<double> project(const dravik::calibration::Lens& lens, const Batch<3>& points);
// (normalized, converged): (N, 2) and N flags, or (2,) and one bool.
pybind11::tuple normalizePixels(const dravik::calibration::Lens& lens, const Batch<2>& pixels);
// The normalized points alone, in the shape of normalizePixels's.
pybind11::array_t<double> normalizedPoints(const dravik::calibration::Lens& lens,
                                           const Batch<2>& pixels);
pybind11::array_t<double> pixelRays(const dravik::calibration::Lens& lens, const Batch<2>& pixels);

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

namespace pybind11 {
namespace detail {

// Batch and Fixed arguments, named numpy.ndarray in signatures. Their checks
// raise (ValueError, TypeError) rather than try another overload: a call
// that takes one has a single signature.
template <int Cols>
struct type_caster<camera_parameters_python::Batch<Cols>> {
  PYBIND11_TYPE_CASTER(camera_parameters_python::Batch<Cols>, const_name("numpy.ndarray"));
  bool load(handle src, bool) {
    value = camera_parameters_python::batchOf<Cols>(src);
    return true;
  }
};
template <typename Scalar, int R, int C>
struct type_caster<camera_parameters_python::Fixed<Scalar, R, C>> {
  using Value = camera_parameters_python::Fixed<Scalar, R, C>;
  PYBIND11_TYPE_CASTER(Value, const_name("numpy.ndarray"));
  bool load(handle src, bool) {
    value = camera_parameters_python::fixedOf<Scalar, R, C>(src);
    return true;
  }
};

}  // namespace detail
}  // namespace pybind11

// Every class the module binds, loaded only once its __init__ has run.
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::BaseCalibrationData)
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::CameraParameters)
// The fit's result, not the calibration message of the same name.
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::CameraFit)
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::CameraParametersSet)
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::Lens)
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::PanTiltModel)
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::PinholeView)
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::PTZCameraModelConfiguration)
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::SoundRegion)
CAMERA_PARAMETERS_PYTHON_INITIALIZED(dravik::calibration::UndistortionMap)
