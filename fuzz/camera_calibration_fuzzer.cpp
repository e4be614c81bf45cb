// Calibrates a camera from fuzzed views: sizes, point counts, NaN, duplicate
// and collinear points, views seen edge-on. Bad input must be refused, never
// crash; an accepted calibration has one pose, rms and mask per view and a
// lens sound over its image.
//
// Input layout: width, height (int16 each), the lens terms and the options
// (one byte each: terms, flags bit 0 fixed principal point, bit 1 same focal
// length), the outlier sigma (float), the view count (byte, at most 5), then
// per view its point count (byte, at most 15) and per point the image pixel
// (two floats) and the target point (three floats); zeros once the input is
// used up.
#include <cstdint>
#include <iterator>
#include <vector>

#include "calibration_utils/camera_calibration.h"
#include "fuzzed_numbers.h"
#include "quiet_logs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dravik::calibration;
  quietLogs();
  FuzzedNumbers in(data, size);
  const int width = in.next<int16_t>(), height = in.next<int16_t>();
  CameraFitOptions options;
  options.lens_terms = kLensTermsNames[in.next<uint8_t>() % std::size(kLensTermsNames)].terms;
  const uint8_t flags = in.next<uint8_t>();
  options.fix_principal_point = flags & 1;
  options.same_focal_length = flags & 2;
  options.outlier_sigma = in.f();
  std::vector<TargetView> views(in.next<uint8_t>() % 6);
  for (TargetView& view : views) {
    const int points = in.next<uint8_t>() % 16;
    for (int i = 0; i < points; ++i) {
      view.image_points.push_back(in.v2().cast<double>());
      view.target_points.push_back(in.v3().cast<double>());
    }
  }
  CameraFit result;
  if (!calibrateCamera(views, width, height, options, &result)) return 0;
  if (result.camera_from_target.size() != views.size() ||
      result.view_rms_px.size() != views.size() || result.kept.size() != views.size() ||
      !(result.rms_px >= 0.0) || !result.lens.isSoundOverImage()) {
    __builtin_trap();
  }
  for (size_t v = 0; v < views.size(); ++v) {
    if (result.kept[v].size() != views[v].image_points.size()) __builtin_trap();
  }
  std::vector<float> sigma;
  projectionUncertainty(result, 64, &sigma);
  return 0;
}
