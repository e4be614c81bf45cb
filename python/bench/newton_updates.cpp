// How many Newton updates the exact undistortion (rectifyPointWithStatus)
// takes at every pixel of a camera's image: one line per update count,
//   updates N pixels M
// then "not converged M". scripts/readme-figures.py prints these for the
// README; the library's batch calls report convergence but not the count.
//   newton_updates [CAMERA [WIDTH HEIGHT]]   (navigation 1280 960 by default)
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "calibration_common/camera_parameters.h"
#include "calibration_utils/lens.h"
#include "calibration_utils/rectify.h"

int main(int argc, char** argv) {
  const std::string name = argc > 1 ? argv[1] : "navigation";
  const int width = argc > 3 ? std::atoi(argv[2]) : 1280;
  const int height = argc > 3 ? std::atoi(argv[3]) : 960;
  const dravik::calibration::CameraParametersSet set;
  const auto camera = set.getCamera(name);
  if (camera == nullptr || width <= 0 || height <= 0) {
    std::fprintf(stderr, "usage: newton_updates [CAMERA [WIDTH HEIGHT]]\n");
    return 2;
  }
  const dravik::calibration::Lens lens = camera->getLens(width, height);
  const float principal_point[2] = {lens.K()(0, 2), lens.K()(1, 2)};
  const float focal_length[2] = {lens.K()(0, 0), lens.K()(1, 1)};
  std::map<int, long> pixels_by_updates;
  long not_converged = 0;
  for (int v = 0; v < height; ++v) {
    for (int u = 0; u < width; ++u) {
      const dravik::calibration::RectifiedPoint point = dravik::calibration::rectifyPointWithStatus(
          lens.distortion().data(), principal_point, focal_length, Eigen::Vector2f(u, v));
      ++pixels_by_updates[point.iterations];
      not_converged += point.converged ? 0 : 1;
    }
  }
  for (const auto& [updates, pixels] : pixels_by_updates) {
    std::printf("updates %d pixels %ld\n", updates, pixels);
  }
  std::printf("not converged %ld\n", not_converged);
  return 0;
}
