// Another Eigen library, built without EIGEN_DEFAULT_TO_ROW_MAJOR as most
// are: its functions take and return column-major matrices.
#pragma once

#include <Eigen/Core>

namespace other {

// The transpose of m.
Eigen::Matrix3f transposed(const Eigen::Matrix3f& m);

}  // namespace other
