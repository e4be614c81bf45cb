// The fixed-size matrices of the public headers, stored row-major whatever
// the including program's default storage order.
//
// Eigen's storage order is part of a matrix type: Eigen::Matrix3f is
// Eigen::Matrix<float, 3, 3, Eigen::ColMajor> in a program built without
// EIGEN_DEFAULT_TO_ROW_MAJOR and Eigen::Matrix<float, 3, 3, Eigen::RowMajor>
// in one built with it. Every matrix that crosses the library's interface is
// one of these aliases, so that the library and each of its callers name the
// same type: a caller built either way passes its own Eigen::Matrix3f (Eigen
// converts the storage order on assignment) and links against the same
// symbols. Vectors have one layout in either order and stay Eigen's own.
#pragma once

#include <Eigen/Core>

namespace dravik {

using Matrix3f = Eigen::Matrix<float, 3, 3, Eigen::RowMajor>;
using Matrix4f = Eigen::Matrix<float, 4, 4, Eigen::RowMajor>;
using Matrix3d = Eigen::Matrix<double, 3, 3, Eigen::RowMajor>;
using Matrix4d = Eigen::Matrix<double, 4, 4, Eigen::RowMajor>;
// The 12 x 12 covariance of a 12-parameter estimate.
using Matrix12d = Eigen::Matrix<double, 12, 12, Eigen::RowMajor>;

}  // namespace dravik
