#include "arrays.h"

#include <google/protobuf/message.h>

#include <algorithm>
#include <new>
#include <vector>

#include "dravik/calibration_bytes.h"

namespace py = pybind11;

namespace camera_parameters_python {

namespace {

std::string shapeText(const py::array& array) { return py::str(array.attr("shape")); }

std::string expectedShape(int columns) {
  return "(N, " + std::to_string(columns) + ") or (" + std::to_string(columns) + ",)";
}

// The argument as a numpy array of real numbers, whatever its dtype, or a
// TypeError naming what it is instead. numpy's own errors (a ragged nested
// list) pass through as they are.
py::array realArray(const py::handle& value, const std::string& name, const std::string& shape) {
  if (value.is_none()) {
    throw py::type_error(name + " must be an array of shape " + shape + ", not None");
  }
  py::array array = py::module_::import("numpy").attr("asarray")(value);
  const char kind = array.dtype().kind();
  if (kind != 'f' && kind != 'i' && kind != 'u') {
    throw py::type_error(name + " must hold real numbers (a float or integer dtype), not " +
                         std::string(py::str(array.dtype())));
  }
  return array;
}

// One float32 C-contiguous copy (or the array itself when it is one already).
py::array_t<float, py::array::c_style> asFloat32(const py::array& array) {
  auto converted = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(array);
  if (!converted) throw std::bad_alloc();
  return converted;
}

// The argument as float32 values of exactly the given shape.
py::array_t<float, py::array::c_style> fixedShapeArgument(const py::handle& value,
                                                          const std::vector<py::ssize_t>& shape,
                                                          const char* name) {
  std::string text = "(";
  for (size_t i = 0; i < shape.size(); ++i) {
    text += std::to_string(shape[i]) + (shape.size() == 1 ? "," : i + 1 < shape.size() ? ", " : "");
  }
  text += ")";
  const py::array array = realArray(value, name, text);
  bool matches = array.ndim() == static_cast<py::ssize_t>(shape.size());
  for (size_t i = 0; matches && i < shape.size(); ++i) matches = array.shape(i) == shape[i];
  if (!matches) {
    throw py::value_error(std::string(name) + " must have shape " + text + ", not " +
                          shapeText(array));
  }
  return asFloat32(array);
}

template <int Rows, int Cols>
Eigen::Matrix<float, Rows, Cols> matrixArgument(const py::handle& value, const char* name) {
  const std::vector<py::ssize_t> shape =
      Cols == 1 ? std::vector<py::ssize_t>{Rows} : std::vector<py::ssize_t>{Rows, Cols};
  const auto values = fixedShapeArgument(value, shape, name);
  // Row-major storage on both sides (EIGEN_DEFAULT_TO_ROW_MAJOR, a C-contiguous array).
  Eigen::Matrix<float, Rows, Cols> out;
  for (int r = 0; r < Rows; ++r) {
    for (int c = 0; c < Cols; ++c) out(r, c) = values.data()[r * Cols + c];
  }
  return out;
}

}  // namespace

PointRows::PointRows(const py::handle& value, int columns, const char* name)
    : columns_(static_cast<std::size_t>(columns)) {
  const std::string shape = expectedShape(columns);
  const py::array array = realArray(value, name, shape);
  const bool rows = array.ndim() == 2 && array.shape(1) == columns;
  single_ = array.ndim() == 1 && array.shape(0) == columns;
  if (!rows && !single_) {
    throw py::value_error(std::string(name) + " must have shape " + shape + ", not " +
                          shapeText(array));
  }
  array_ = asFloat32(array);
  data_ = array_.data();
  count_ = single_ ? 1 : static_cast<std::size_t>(array.shape(0));
}

py::array_t<double> PointRows::newOutput(int columns) const {
  if (single_) return py::array_t<double>({static_cast<py::ssize_t>(columns)});
  return py::array_t<double>({static_cast<py::ssize_t>(count_), static_cast<py::ssize_t>(columns)});
}

Eigen::Vector2f vector2Argument(const py::handle& value, const char* name) {
  return matrixArgument<2, 1>(value, name);
}

Eigen::Vector3f vector3Argument(const py::handle& value, const char* name) {
  return matrixArgument<3, 1>(value, name);
}

Eigen::Matrix3f matrix3Argument(const py::handle& value, const char* name) {
  return matrixArgument<3, 3>(value, name);
}

std::vector<float> valuesArgument(const py::handle& value, int count, const char* name) {
  const auto values = fixedShapeArgument(value, {count}, name);
  return std::vector<float>(values.data(), values.data() + count);
}

py::array_t<double> toArray(const float* values, std::size_t count) {
  py::array_t<double> out({static_cast<py::ssize_t>(count)});
  std::copy_n(values, count, out.mutable_data());
  return out;
}

std::string calibrationData(const py::handle& data) {
  if (py::isinstance<py::str>(data) || py::isinstance<py::bytes>(data)) {
    return data.cast<std::string>();  // str as UTF-8
  }
  if (PyByteArray_Check(data.ptr()) || PyMemoryView_Check(data.ptr())) {
    PyObject* bytes = PyBytes_FromObject(data.ptr());
    if (!bytes) throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(bytes).cast<std::string>();
  }
  throw py::type_error(
      "a calibration must be bytes (wire or text format) or str (text format), "
      "not " +
      std::string(py::str(py::type::of(data).attr("__name__"))));
}

bool parseEitherFormat(const std::string& bytes, google::protobuf::Message* message) {
  return dravik::readCalibrationBytes(bytes, message);
}

std::string filePath(const py::handle& path) {
  const py::module_ os = py::module_::import("os");
  const std::string bytes = os.attr("fsencode")(os.attr("fspath")(path)).cast<std::string>();
  if (bytes.find('\0') != std::string::npos) {
    throw py::value_error("a file path must not contain a NUL character");
  }
  return bytes;
}

}  // namespace camera_parameters_python
