// A translation unit of a program built without EIGEN_DEFAULT_TO_ROW_MAJOR:
// its Eigen::Matrix3f and Eigen::Matrix4f are column-major. It passes them to
// the package and takes the package's matrices back, and uses another Eigen
// library built the same way, in one program.
#include <cmath>

#include "all_public_headers.h"
#include "column_major_library.h"

#ifdef EIGEN_DEFAULT_TO_ROW_MAJOR
#error "this translation unit must be built without EIGEN_DEFAULT_TO_ROW_MAJOR"
#endif
static_assert(!Eigen::Matrix3f::IsRowMajor, "the program's own matrices are column-major");
static_assert(dravik::Matrix3f::IsRowMajor, "the package's matrices are row-major");

int checkColumnMajorCaller() {
  int failures = 0;
  // K in the program's own storage order, to and from the package.
  Eigen::Matrix3f K;
  K << 500, 2, 320, 0, 510, 240, 0, 0, 1;
  const std::vector<float> distortion = {-0.2f, 0.05f, 0, 0, 0, 0, 0, 0};
  dravik::calibration::Lens lens;
  failures += dravik::calibration::Lens::fromIntrinsics(K, distortion, 640, 480, &lens) ? 0 : 1;
  const Eigen::Matrix3f back = lens.K();
  failures += back == K && back(0, 1) == 2.0f && back(1, 0) == 0.0f ? 0 : 1;
  // The pixel of a point right of the axis lies right of the principal point.
  const Eigen::Vector2d pixel = lens.project(Eigen::Vector3d(0.1, 0.0, 1.0));
  failures += pixel.x() > 320.0 && std::abs(pixel.y() - 240.0) < 1e-9 ? 0 : 1;

  // A pose with a translation, set and read back in the program's order.
  Eigen::Matrix4f T = Eigen::Matrix4f::Identity();
  T(0, 3) = 1.5f;
  dravik::CameraTransform pose;
  pose.setTransform(T, dravik::CameraTransform::kParentToChild);
  const Eigen::Matrix4f inverse = pose.getInverseTransform();
  failures += inverse(0, 3) == -1.5f && inverse(3, 0) == 0.0f ? 0 : 1;

  // The package's K through the other library, and back into the package.
  const Eigen::Matrix3f Kt = other::transposed(lens.K());
  failures += Kt(2, 0) == 320.0f && Kt(0, 2) == 0.0f ? 0 : 1;
  failures += dravik::calibration::Lens::fromIntrinsics(other::transposed(Kt), distortion, 640, 480,
                                                        nullptr)
                  ? 0
                  : 1;
  return failures;
}
