// Lenses, views and images shared by the whole-image tests and benchmarks.
#pragma once

#include <cstdint>
#include <vector>

#include "calibration_common/camera_parameters.h"
#include "calibration_utils/undistortion.h"

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/core/eigen.hpp>
#endif

namespace dravik::testing {

// The lens of K and distortion at width x height (the order the members
// were once listed in), or the default lens, the lens of no image, with
// fromIntrinsics' record where they make none.
inline calibration::Lens makeLens(int width, int height, const Eigen::Matrix3f& K,
                                  const LensCoefficients& distortion) {
  calibration::Lens lens;
  calibration::Lens::fromIntrinsics(K, distortion, width, height, &lens);
  return lens;
}

// The navigation camera of the embedded default calibration at 1280 x 960.
inline calibration::Lens navigationLens() {
  return calibration::CameraParametersSet().getCamera("navigation")->getLens(1280, 960);
}

// A barrel lens whose radial mapping turns back at 46.5 degrees off axis,
// well inside its 1280 x 960 image: k1 = -0.3, f = 500 px.
inline calibration::Lens foldedLens() {
  return makeLens(1280, 960, (Eigen::Matrix3f() << 500, 0, 640, 0, 500, 480, 0, 0, 1).finished(),
                  {-0.3f, 0, 0, 0, 0, 0, 0, 0});
}

// The view with the lens's own K and size.
inline calibration::PinholeView sameView(const calibration::Lens& lens) {
  return {lens.width(), lens.height(), lens.K()};
}

// A deterministic texture: gradients, stripes and a checkerboard, distinct
// per channel, so that resampling errors show as grey-level differences.
inline std::vector<std::uint8_t> texturedImage(int width, int height, int channels) {
  std::vector<std::uint8_t> image(size_t(width) * height * channels);
  for (size_t i = 0; i < image.size(); ++i) {
    const int c = int(i % channels), u = int(i / channels % width), v = int(i / channels / width);
    const int checker = ((u / (7 + c)) + (v / (5 + c))) % 2 ? 90 : 0;
    image[i] = std::uint8_t((u * (c + 1) + v * 3 + checker + (u * v) % 37) % 256);
  }
  return image;
}

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
inline cv::Mat cvCameraMatrix(const Eigen::Matrix3f& K) {
  cv::Mat m;
  cv::eigen2cv(Eigen::Matrix3d(K.cast<double>()), m);
  return m;
}
inline cv::Mat cvDistortion(const std::vector<float>& d) {
  return cv::Mat(std::vector<double>(d.begin(), d.begin() + 8), true).reshape(1, 1);
}
// One plane of a map (x, y or valid) as a matrix of its size, sharing the data.
template <typename T>
cv::Mat cvPlane(const calibration::UndistortionMap& map, const std::vector<T>& plane) {
  return cv::Mat(map.height, map.width, cv::traits::Type<T>::value, const_cast<T*>(plane.data()));
}
// OpenCV's forward map (CV_32FC1) of the lens for the view.
inline void cvUndistortionMap(const calibration::Lens& lens, const calibration::PinholeView& view,
                              cv::Mat* map_x, cv::Mat* map_y) {
  cv::initUndistortRectifyMap(cvCameraMatrix(lens.K()), cvDistortion(lens.distortionList()),
                              cv::Mat(), cvCameraMatrix(view.K), cv::Size(view.width, view.height),
                              CV_32FC1, *map_x, *map_y);
}
#endif

}  // namespace dravik::testing
