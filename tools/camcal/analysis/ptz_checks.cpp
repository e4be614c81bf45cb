// The PTZ part of `camcal validate`.
#include "analysis/ptz_checks.h"

#include <cmath>

#include "analysis/calibration_checks.h"
#include "analysis/lens_check.h"
#include "calibration_common/ptz_camera_model.h"
#include "cli/command_error.h"
#include "cli/number_format.h"
#include "dravik/calibration_bytes.h"
#include "inputs/library_load.h"

namespace camcal {

using dravik::calibration::PTZCameraParameters;
using dravik::calibration::PTZIntrinsicsItem;

namespace {

std::string sampleName(int index, const PTZIntrinsicsItem& sample) {
  return "zoom sample " + std::to_string(index) + " (zoom " + formatNumber(sample.zoom()) + ")";
}

// The zoom lookups assume samples by increasing zoom and strictly increasing
// f, sample i calibrated at zoom_offset + i zoom_step.
void checkZoomTable(const dravik::calibration::PTZIntrinsics& intrinsics,
                    std::vector<std::string>* warnings) {
  const int n = intrinsics.samples_size();
  if (n >= 2 && intrinsics.zoom_step() == 0) {
    warnings->push_back("zoom_step is 0: every zoom position falls between samples 0 and 1");
  }
  for (int i = 0; i < n; ++i) {
    const PTZIntrinsicsItem& sample = intrinsics.samples(i);
    if (i > 0) {
      const PTZIntrinsicsItem& previous = intrinsics.samples(i - 1);
      if (!(sample.zoom() > previous.zoom()) || !(sample.f() > previous.f())) {
        warnings->push_back(sampleName(i, sample) +
                            ": samples must rise in zoom and strictly in f (f " +
                            formatNumber(previous.f()) + " then " + formatNumber(sample.f()) + ")");
      }
    }
    const double grid = intrinsics.zoom_offset() + double(i) * intrinsics.zoom_step();
    if (intrinsics.zoom_step() != 0 && sample.zoom() != grid) {
      warnings->push_back(sampleName(i, sample) + " is off the zoom grid zoom_offset + " +
                          std::to_string(i) + " zoom_step = " + formatNumber(grid));
    }
  }
}

void checkSampleLenses(const dravik::calibration::PTZIntrinsics& intrinsics,
                       std::vector<std::string>* warnings) {
  if (intrinsics.cal_width() <= 0 || intrinsics.cal_height() <= 0) {
    warnings->push_back("the calibration image size (cal_width x cal_height) is not positive");
    return;
  }
  for (int i = 0; i < intrinsics.samples_size(); ++i) {
    const PTZIntrinsicsItem& s = intrinsics.samples(i);
    Eigen::Matrix3f K;
    K << float(s.f()), 0.0f, float(s.cx()), 0.0f, float(s.f()), float(s.cy()), 0.0f, 0.0f, 1.0f;
    // (1 + k1 r^2) / (1 + k4 r^2) with tangential p1, p2.
    const std::vector<float> distortion = {float(s.k1()), 0.0f, float(s.p1()), float(s.p2()), 0.0f,
                                           float(s.k4()), 0.0f, 0.0f};
    const std::string finding =
        checkLensModel(K, distortion, intrinsics.cal_width(), intrinsics.cal_height());
    if (!finding.empty()) warnings->push_back(sampleName(i, s) + ": " + finding);
  }
}

// The head's values that load but leave a joint frozen or a motor range
// empty: a scale of 0 turns no motor step into an angle (and no angle into
// a step), and a min above its max leaves the max the only position aiming
// can reach.
void checkHead(const dravik::calibration::PanTiltSystemParameters& head,
               std::vector<std::string>* warnings) {
  const auto scale = [&](const std::string& axis, float value) {
    if (value == 0.0f) {
      warnings->push_back(axis + "_scale is 0: the " + axis +
                          " joint does not move with its motor, and no angle has a motor "
                          "position");
    }
  };
  scale("pan", head.pan_scale());
  scale("tilt", head.tilt_scale());
  const auto limits = [&](const char* axis, bool both, int min, int max) {
    if (both && min > max) {
      warnings->push_back(std::string(axis) + "_min " + std::to_string(min) + " is above " + axis +
                          "_max " + std::to_string(max) + ": every aimed " + axis +
                          " is limited to " + std::to_string(max));
    }
  };
  limits("pan", head.has_pan_min() && head.has_pan_max(), head.pan_min(), head.pan_max());
  limits("tilt", head.has_tilt_min() && head.has_tilt_max(), head.tilt_min(), head.tilt_max());
}

}  // namespace

std::string ptzValuesFault(const PTZCameraParameters& params) {
  const std::string not_finite = dravik::firstNonFiniteField(params);
  return not_finite.empty() ? "" : "a value is not finite: " + not_finite;
}

void requireFinitePtzValues(const InputFile& input) {
  const ParsedCalibration parsed = parseExpected(input, CalibrationKind::kPtz);
  const std::string fault =
      ptzValuesFault(static_cast<const PTZCameraParameters&>(*parsed.message));
  if (!fault.empty()) throw operationError(input.path + ": not a valid PTZ calibration: " + fault);
}

Verdict checkPtzCalibration(const InputFile& /*input*/, const ParsedCalibration& parsed) {
  const auto& params = static_cast<const PTZCameraParameters&>(*parsed.message);
  Verdict verdict;
  verdict.what = "PTZ calibration (" + encodingName(parsed.encoding) + ", " +
                 std::to_string(params.intrinsics().samples_size()) + " zoom samples)";
  verdict.reason = ptzValuesFault(params);
  if (!verdict.reason.empty()) return verdict;
  std::shared_ptr<dravik::calibration::PTZCameraModel> model;
  const LoadResult load = loadPtzModel(params, &model);
  verdict.loaded = load.loaded;
  verdict.reason = load.reason;
  if (!verdict.loaded) return verdict;
  checkZoomTable(params.intrinsics(), &verdict.warnings);
  checkSampleLenses(params.intrinsics(), &verdict.warnings);
  checkHead(params.pan_tilt(), &verdict.warnings);
  return verdict;
}

}  // namespace camcal
