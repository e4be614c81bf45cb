// The table of camera models: one row per model, walked when a camera record
// fills its per-resolution table (camera_models.cpp).
#pragma once

#include <string>

namespace dravik {
namespace calibration {

// crop_x, crop_y, crop_width, crop_height, output_width, output_height, in
// pixels of the calibrated full frame.
using CropAndScale = int[6];

struct CameraModel {
  const char* identifier;
  // For people: what the model is ("head camera").
  const char* description;
  // The level-5 record written when a camera of this model is read.
  const char* announcement;
  // The streaming resolutions, in the order of the record's table.
  const CropAndScale* rows;
  int row_count;
  // Whether row 0 maps the record recalibrated from the sample points
  // through the sensor transform (camera_parameters.h,
  // recomputeSensorRemappedIntrinsics) rather than the full frame. Its
  // distortion is then that record's too.
  bool first_row_recalibrated;
};

// The most rows a model has.
constexpr int kMaxCameraModelRows = 4;

// The row of a model identifier, matched whole and case-sensitively; nullptr
// for a generic camera.
const CameraModel* findCameraModel(const std::string& identifier);

}  // namespace calibration
}  // namespace dravik
