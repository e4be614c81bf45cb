// Image sensor transforms: how a sensor mode moves full-frame pixels to other
// positions of its output image.
//
// Pixels are those of the calibrated full frame, before and after the
// transform (a mode that also scales its output, such as the head camera's
// 640 x 480, scales the transformed frame afterwards).
#pragma once

#include <Eigen/Core>
#include <vector>

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

// The spatial transform of the head camera's sensor: a radial remap about a
// centre, followed by a uniform scale about the same centre.
//
// A pixel p at radius r = |p - c| from the centre c = (centre_x, centre_y)
// moves along its ray from c to the radius
//   r' = scale (r + B(r)),
// where B is the radial displacement: displacements[i] pixels at the radius
// radii[i], interpolated between the samples by a monotone cubic (C1, and
// monotone wherever the samples are) and extended beyond the last sample,
// and before the first, along the end slopes. The transformed point is
//   p' = c + (p - c) r' / r,
// and the centre stays put. With the head camera's tables (radii 0, 10, ...,
// 990 and displacements rising from 0 to 69 pixels) and scale 0.9 about the
// centre (640, 480) of its 1280 x 960 full frame, the corners move in from
// r = 800 to r' = 770: the full frame stays inside the output frame.
//
// The mapping is smooth and, as long as the displacement never falls faster
// than the radius rises (dB/dr > -1), strictly increasing in the radius.
//
// Tables that cannot describe a displacement (of unequal length, with fewer
// than two samples, with radii that do not strictly increase, or with values
// that are not finite) leave B = 0: the transform is then the plain scale, and
// valid() is false.
class AptinaSTE : public ImageSensorTransform {
 public:
  AptinaSTE(int centre_x, int centre_y, float scale, const std::vector<float>& radii,
            const std::vector<float>& displacements);

  Eigen::Vector2f transformPoint(const Eigen::Vector2f& point) const override;

  // r' for a radius r >= 0.
  double mapRadius(double r) const;
  // B(r).
  double displacement(double r) const;
  bool valid() const { return !radii_.empty(); }

 private:
  Eigen::Vector2d centre_;
  double scale_;
  std::vector<double> radii_;
  std::vector<double> displacements_;
  // dB/dr at each sample radius.
  std::vector<double> slopes_;
};

}  // namespace calibration
}  // namespace dravik
