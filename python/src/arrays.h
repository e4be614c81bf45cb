// numpy arrays in and out of the module.
//
// Inputs: anything numpy turns into an array of real numbers (any float or
// integer dtype, any memory layout, nested lists) is accepted and converted
// once to float32, the precision of the library. None, or an array of
// another kind (strings, objects, complex, bool), raises TypeError; a wrong
// shape raises ValueError naming the expected one.
//
// Outputs: float64 arrays, C-contiguous, holding the library's float results
// exactly (every float is a double).
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <Eigen/Core>
#include <cstddef>
#include <string>
#include <vector>

#include "dravik/text_format.h"  // google::protobuf::Message, declared

namespace camera_parameters_python {

// Rows of `columns` coordinates each, float32, C-contiguous: an (N, columns)
// array, or one row given as a (columns,) array.
class PointRows {
 public:
  // `name` is the argument's name, for the error messages.
  PointRows(const pybind11::handle& value, int columns, const char* name);

  std::size_t count() const { return count_; }
  // True when the input was a single (columns,) row.
  bool single() const { return single_; }
  const float* row(std::size_t i) const { return data_ + i * columns_; }
  // A new float64 output of `count()` rows of `columns` values, shaped like
  // the input: (N, columns) or (columns,).
  pybind11::array_t<double> newOutput(int columns) const;

 private:
  pybind11::array_t<float, pybind11::array::c_style> array_;
  const float* data_ = nullptr;
  std::size_t count_ = 0;
  std::size_t columns_ = 0;
  bool single_ = false;
};

// Fills a new float64 output of `out_columns` values per row from the rows of
// `input`, calling per_row(const float* in, double* out) for each row with the
// GIL released: one pass over the array in C++, no Python per point.
// per_row must not touch Python objects.
template <typename PerRow>
pybind11::array_t<double> mapRows(const pybind11::handle& input, int in_columns, int out_columns,
                                  const char* name, PerRow per_row) {
  const PointRows rows(input, in_columns, name);
  pybind11::array_t<double> out = rows.newOutput(out_columns);
  double* data = out.mutable_data();
  {
    pybind11::gil_scoped_release release;
    for (std::size_t i = 0; i < rows.count(); ++i) per_row(rows.row(i), data + i * out_columns);
  }
  return out;
}

// Arguments of one fixed shape: one pixel or world point (2,) or (3,), a
// 3 x 3 matrix, `count` coefficients (count,).
Eigen::Vector2f vector2Argument(const pybind11::handle& value, const char* name);
Eigen::Vector3f vector3Argument(const pybind11::handle& value, const char* name);
Eigen::Matrix3f matrix3Argument(const pybind11::handle& value, const char* name);
std::vector<float> valuesArgument(const pybind11::handle& value, int count, const char* name);

// A float64 copy of a matrix or vector (vectors come out one-dimensional).
template <typename Derived>
pybind11::array_t<double> toArray(const Eigen::MatrixBase<Derived>& m) {
  const bool vector = m.cols() == 1 || m.rows() == 1;
  pybind11::array_t<double> out =
      vector ? pybind11::array_t<double>({static_cast<pybind11::ssize_t>(m.size())})
             : pybind11::array_t<double>({static_cast<pybind11::ssize_t>(m.rows()),
                                          static_cast<pybind11::ssize_t>(m.cols())});
  double* data = out.mutable_data();
  for (Eigen::Index r = 0; r < m.rows(); ++r) {
    for (Eigen::Index c = 0; c < m.cols(); ++c) *data++ = static_cast<double>(m(r, c));
  }
  return out;
}

// A float64 copy of `count` floats.
pybind11::array_t<double> toArray(const float* values, std::size_t count);

// The bytes of a calibration given as bytes, bytearray, memoryview (wire or
// text format) or str (text format, sent as UTF-8). TypeError otherwise.
std::string calibrationData(const pybind11::handle& data);
// Parses bytes into *message, wire format first and then text format, quietly;
// false when they parse in neither.
bool parseEitherFormat(const std::string& bytes, google::protobuf::Message* message);
// A file system path from str, bytes or os.PathLike. TypeError otherwise,
// ValueError for an embedded NUL.
std::string filePath(const pybind11::handle& path);

}  // namespace camera_parameters_python
