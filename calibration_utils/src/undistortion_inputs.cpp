#define DRAVIK_LOG_FILE "calibration_utils/undistortion"
#include "undistortion_inputs.h"

#include <algorithm>
#include <cmath>

#include "dravik/logging.h"

namespace dravik {
namespace calibration {

namespace {

bool checkMatrix(const Eigen::Matrix3f& K, const char* what) {
  if (!K.allFinite() || !(K(0, 0) > 0.0f) || !(K(1, 1) > 0.0f)) {
    DRAVIK_LOG(2, kUndistortionTag) << "The " << what << "'s K is not finite or its fx " << K(0, 0)
                                    << " or fy " << K(1, 1) << " is not positive";
    return false;
  }
  return true;
}

}  // namespace

bool checkImageSize(int width, int height, const char* what) {
  if (width <= 0 || height <= 0 || (long long)width * height > kMaxUndistortionPixels) {
    DRAVIK_LOG(2, kUndistortionTag)
        << "The " << what << " size " << width << " x " << height << " is not positive or exceeds "
        << kMaxUndistortionPixels << " pixels";
    return false;
  }
  return true;
}

bool checkLens(const Lens& lens) {
  return checkImageSize(lens.width(), lens.height(), "lens image") &&
         Lens::fromIntrinsics(lens.K(), lens.distortionList(), lens.width(), lens.height(),
                              nullptr);
}

bool checkView(const PinholeView& view) {
  return checkImageSize(view.width, view.height, "view") && checkMatrix(view.K, "view");
}

bool checkMap(const UndistortionMap& map) {
  if (!checkImageSize(map.width, map.height, "map")) return false;
  const size_t n = size_t(map.width) * size_t(map.height);
  if (map.x.size() != n || map.y.size() != n || map.valid.size() != n) {
    DRAVIK_LOG(2, kUndistortionTag)
        << "The map's arrays do not hold " << map.width << " x " << map.height << " entries";
    return false;
  }
  return true;
}

bool prepareMap(int width, int height, int source_width, int source_height, UndistortionMap* map) {
  if (map == nullptr) {
    DRAVIK_LOG(2, kUndistortionTag) << "No map to fill";
    return false;
  }
  const size_t n = size_t(width) * size_t(height);
  map->width = width;
  map->height = height;
  map->source_width = source_width;
  map->source_height = source_height;
  map->x.resize(n);
  map->y.resize(n);
  map->valid.resize(n);
  return true;
}

}  // namespace calibration
}  // namespace dravik
