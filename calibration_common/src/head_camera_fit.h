// The head camera's sensor-remapped mode fitted from its sample points: the
// points mapped through the sensor's spatial transform, then the single-view
// calibration. One home for the library and for the build step that fits the
// embedded default calibration once (generator/precompute_default_fits.cpp).
#pragma once

#include <cstddef>

#include "calibration_common/camera_parameters.h"
#include "calibration_utils/image_sensor_transform.h"

namespace dravik {
namespace calibration {

// What a fit gives: K without skew and k1, k2, p1, p2, k3, k4, k5, k6, with
// the error per point in pixels.
struct HeadCameraFit {
  float fx = 0.0f, fy = 0.0f, cx = 0.0f, cy = 0.0f;
  float distortion[8] = {};
  double error = 0.0;
};

// The sensor transform of the 640 x 480 mode: a radial remap about the centre
// (640, 480) of the 1280 x 960 full frame, scaled by 0.9.
AptinaSTE headSensorTransform();

// Fits intrinsics' sample points (it must hold some) mapped through transform.
HeadCameraFit fitThroughSensor(const CameraIntrinsics& intrinsics,
                               const ImageSensorTransform& transform,
                               const CameraParameters::SingleImageCalibration& calibrate);

// A fit made when the library was built: that of a camera whose intrinsics
// message serializes to the `size` bytes at `intrinsics`.
struct PrecomputedHeadFit {
  const char* intrinsics;
  std::size_t size;
  HeadCameraFit fit;
};
// The fits of the embedded default's cameras (generated at build time).
extern const PrecomputedHeadFit kPrecomputedHeadFits[];
extern const int kPrecomputedHeadFitCount;

}  // namespace calibration
}  // namespace dravik
