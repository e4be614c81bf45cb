// Image sensor transforms: how a sensor mode moves full-frame pixels to other
// positions of its output image.
#pragma once

#include <Eigen/Core>

namespace dravik {
namespace calibration {

// Maps a pixel of the calibrated full frame to its position in the image of
// one sensor mode.
class ImageSensorTransform {
 public:
  ImageSensorTransform() = default;
  virtual ~ImageSensorTransform();
  virtual Eigen::Vector2f transformPoint(const Eigen::Vector2f& point) const = 0;

 protected:
  ImageSensorTransform(const ImageSensorTransform&) = default;
  ImageSensorTransform& operator=(const ImageSensorTransform&) = default;
};

}  // namespace calibration
}  // namespace dravik
