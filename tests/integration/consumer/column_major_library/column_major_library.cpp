#include "column_major_library.h"

namespace other {

Eigen::Matrix3f transposed(const Eigen::Matrix3f& m) { return m.transpose(); }

}  // namespace other
