// The head camera's sensor transform and the fit of its sample points
// through it.
#include "head_camera_fit.h"

#include <vector>

#include "calibration_utils/single_image_calibration.h"

namespace dravik {
namespace calibration {

namespace {

constexpr int kSensorCentreX = 640;
constexpr int kSensorCentreY = 480;
constexpr float kSensorScale = 0.9f;
constexpr int kSensorTableSize = 100;
// Table A: the radii of the displacement samples, 10 i pixels.
constexpr float kSensorRadiusStep = 10.0f;
// Table B: the radial displacement, in pixels, at each radius of table A.
constexpr float kSensorDisplacements[kSensorTableSize] = {
    0.0f,  0.8f,  1.6f,  2.4f,  3.2f,  4.0f,  4.8f,  5.6f,  6.4f,  7.2f,  7.9f,  8.7f,  9.5f,
    10.3f, 11.1f, 11.9f, 12.7f, 13.5f, 14.3f, 15.0f, 15.8f, 16.6f, 17.4f, 18.1f, 18.9f, 19.7f,
    20.5f, 21.2f, 22.0f, 22.8f, 23.5f, 24.3f, 25.1f, 25.8f, 26.6f, 27.3f, 28.1f, 28.8f, 29.6f,
    30.3f, 31.0f, 31.8f, 32.5f, 33.3f, 34.0f, 34.7f, 35.4f, 36.2f, 36.9f, 37.6f, 38.3f, 39.0f,
    39.7f, 40.4f, 41.1f, 41.8f, 42.5f, 43.2f, 43.9f, 44.6f, 45.2f, 45.9f, 46.6f, 47.3f, 47.9f,
    48.6f, 49.2f, 49.9f, 50.6f, 51.2f, 51.8f, 52.5f, 53.1f, 53.8f, 54.4f, 55.0f, 55.6f, 56.3f,
    56.9f, 57.5f, 58.1f, 58.7f, 59.3f, 59.9f, 60.5f, 61.1f, 61.7f, 62.3f, 62.9f, 63.4f, 64.0f,
    64.6f, 65.1f, 65.7f, 66.3f, 66.8f, 67.4f, 67.9f, 68.5f, 69.0f,
};

}  // namespace

AptinaSTE headSensorTransform() {
  std::vector<float> radii(kSensorTableSize);
  for (int i = 0; i < kSensorTableSize; ++i) radii[i] = kSensorRadiusStep * static_cast<float>(i);
  const std::vector<float> displacements(kSensorDisplacements,
                                         kSensorDisplacements + kSensorTableSize);
  return AptinaSTE(kSensorCentreX, kSensorCentreY, kSensorScale, radii, displacements);
}

HeadCameraFit fitThroughSensor(const CameraIntrinsics& intrinsics,
                               const ImageSensorTransform& transform,
                               const CameraParameters::SingleImageCalibration& calibrate) {
  // The i-th image point pairs with the i-th target point, in stored order.
  std::vector<Eigen::Vector2f> image_points;
  std::vector<Eigen::Vector2f> target_points;
  image_points.reserve(static_cast<size_t>(intrinsics.sample_points_size()));
  target_points.reserve(static_cast<size_t>(intrinsics.sample_points_size()));
  for (const CameraIntrinsicsSamplePoints& sample : intrinsics.sample_points()) {
    image_points.push_back(
        transform.transformPoint(Eigen::Vector2f(sample.pixel_x(), sample.pixel_y())));
    target_points.emplace_back(sample.target_x(), sample.target_y());
  }

  OpenCVProjection<double> projection;
  const Eigen::Vector2i image_size(intrinsics.width(), intrinsics.height());
  const Eigen::Vector2i sample_size(intrinsics.sample_width(), intrinsics.sample_height());
  HeadCameraFit fit;
  fit.error =
      calibrate(image_points, target_points, image_size,
                static_cast<double>(intrinsics.sample_scalar()), sample_size, &projection, nullptr);
  fit.fx = static_cast<float>(projection.fx);
  fit.fy = static_cast<float>(projection.fy);
  fit.cx = static_cast<float>(projection.cx);
  fit.cy = static_cast<float>(projection.cy);
  const double* lens[] = {&projection.k1, &projection.k2, &projection.p1, &projection.p2,
                          &projection.k3, &projection.k4, &projection.k5, &projection.k6};
  for (int i = 0; i < 8; ++i) fit.distortion[i] = static_cast<float>(*lens[i]);
  return fit;
}

}  // namespace calibration
}  // namespace dravik
