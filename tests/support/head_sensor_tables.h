// The head camera's sensor transform of its 640 x 480 mode, as the camera
// model builds it (tests only).
#pragma once

#include <vector>

#include "calibration_utils/image_sensor_transform.h"

namespace dravik::testing {

// Table A: 0, 10, ..., 990.
inline std::vector<float> headSensorRadii() {
  std::vector<float> radii(100);
  for (int i = 0; i < 100; ++i) radii[i] = 10.0f * static_cast<float>(i);
  return radii;
}

// Table B: the radial displacement at each radius of table A.
inline std::vector<float> headSensorDisplacements() {
  return {0,    0.8,  1.6,  2.4,  3.2,  4,    4.8,  5.6,  6.4,  7.2,  7.9,  8.7,  9.5,  10.3, 11.1,
          11.9, 12.7, 13.5, 14.3, 15,   15.8, 16.6, 17.4, 18.1, 18.9, 19.7, 20.5, 21.2, 22,   22.8,
          23.5, 24.3, 25.1, 25.8, 26.6, 27.3, 28.1, 28.8, 29.6, 30.3, 31,   31.8, 32.5, 33.3, 34,
          34.7, 35.4, 36.2, 36.9, 37.6, 38.3, 39,   39.7, 40.4, 41.1, 41.8, 42.5, 43.2, 43.9, 44.6,
          45.2, 45.9, 46.6, 47.3, 47.9, 48.6, 49.2, 49.9, 50.6, 51.2, 51.8, 52.5, 53.1, 53.8, 54.4,
          55,   55.6, 56.3, 56.9, 57.5, 58.1, 58.7, 59.3, 59.9, 60.5, 61.1, 61.7, 62.3, 62.9, 63.4,
          64,   64.6, 65.1, 65.7, 66.3, 66.8, 67.4, 67.9, 68.5, 69};
}

inline calibration::AptinaSTE headSensorTransform() {
  return calibration::AptinaSTE(640, 480, 0.9f, headSensorRadii(), headSensorDisplacements());
}

}  // namespace dravik::testing
