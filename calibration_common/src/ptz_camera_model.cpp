#define DRAVIK_LOG_FILE "calibration_common/ptz_camera_model"

// The PTZ camera model: the zoom table and the pan/tilt head.
#include "calibration_common/ptz_camera_model.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "dravik/logging.h"
#include "ptz_camera_model_internal.h"

namespace dravik {
namespace calibration {

PTZCameraModel::PTZCameraModel(const PTZCameraParameters& params)
    : params_(params), max_zoom_x_factor_(1.0f), valid_(false) {
  const auto& samples = params_.intrinsics().samples();
  if (samples.empty()) {
    DRAVIK_LOG(2, kPtzCameraModelTag) << "Invalid intrinsics";
    return;
  }
  if (!pan_tilt_model_.readFromPB(params_.pan_tilt())) {
    DRAVIK_LOG(2, kPtzCameraModelTag) << "Invalid pan_tilt parameters";
    return;
  }
  // f_last / f_0, divided in double.
  const int n = samples.size();
  max_zoom_x_factor_ = n >= 2 ? static_cast<float>(samples[n - 1].f() / samples[0].f()) : 1.0f;
  valid_ = true;
}

PTZCameraModel::PTZCameraModel(const PTZCameraModel& other) = default;

PTZCameraModel::PTZCameraModel(PTZCameraModel&& other)
    : params_(other.params_),
      pan_tilt_model_(std::move(other.pan_tilt_model_)),
      max_zoom_x_factor_(other.max_zoom_x_factor_),
      valid_(other.valid_) {}

PTZCameraModel& PTZCameraModel::operator=(const PTZCameraModel& other) {
  params_.CopyFrom(other.params_);
  pan_tilt_model_ = other.pan_tilt_model_;
  max_zoom_x_factor_ = other.max_zoom_x_factor_;
  valid_ = other.valid_;
  return *this;
}

PTZCameraModel& PTZCameraModel::operator=(PTZCameraModel&& other) {
  params_.CopyFrom(other.params_);
  pan_tilt_model_ = std::move(other.pan_tilt_model_);
  max_zoom_x_factor_ = other.max_zoom_x_factor_;
  valid_ = other.valid_;
  return *this;
}

PTZCameraModel::~PTZCameraModel() = default;

const PTZIntrinsicsItem* PTZCameraModel::getIntrinsics(int index) const {
  DRAVIK_CHECK_GT(params_.intrinsics().samples_size(), 0);
  const int last = params_.intrinsics().samples_size() - 1;
  return &params_.intrinsics().samples(std::clamp(index, 0, last));
}

int PTZCameraModel::getIntrinsicsIndex(int zoom) const {
  const PTZIntrinsics& intrinsics = params_.intrinsics();
  if (intrinsics.zoom_step() == 0) return 0;
  // In 64 bits: zoom - zoom_offset, and INT_MIN / -1, overflow an int.
  const int64_t index =
      (int64_t{zoom} - int64_t{intrinsics.zoom_offset()}) / int64_t{intrinsics.zoom_step()};
  return saturatedInt(static_cast<double>(index));
}

PTZCameraModel::ZoomBracket PTZCameraModel::bracketZoom(int zoom) const {
  const int i = getIntrinsicsIndex(zoom);
  const PTZIntrinsicsItem* below = getIntrinsics(i);
  // i + 1 would overflow at the top of the int range, where the clamped
  // index is the last sample anyway.
  const PTZIntrinsicsItem* above =
      getIntrinsics(i < params_.intrinsics().samples_size() ? i + 1 : i);
  if (below == above) return {below, above, 1.0};
  return {below, above, (above->zoom() - zoom) / (above->zoom() - below->zoom())};
}

float PTZCameraModel::stepsToZoomXFactor(int steps) const {
  const auto& samples = params_.intrinsics().samples();
  if (samples.size() < 2) return 1.0f;
  const ZoomBracket bracket = bracketZoom(std::max(steps, 0));
  const double a = bracket.below_weight;
  // f(s) = a A.f + (1 - a) B.f, extrapolating along the same line outside
  // [A.zoom, B.zoom]; a lone sample's own f.
  const double f = bracket.below == bracket.above
                       ? bracket.below->f()
                       : (1.0 - a) * bracket.above->f() + a * bracket.below->f();
  const float factor = static_cast<float>(f / samples[0].f());
  return factor >= 1.0f ? factor : 1.0f;  // NaN gives 1 as well
}

double PTZCameraModel::zoomAtFocalLength(double target, const FocalLengthSearch& search,
                                         int* found) const {
  const auto& samples = params_.intrinsics().samples();
  const int n = samples.size();
  int i = search.first;
  while (i < n && !(search.strict ? samples[i].f() > target : samples[i].f() >= target)) ++i;
  *found = i;
  const auto whole = [&](double zoom) {
    return search.round ? std::round(zoom) : std::trunc(zoom);
  };
  if (i == n) return whole(samples[n - 1].zoom());  // beyond the table: the longest zoom
  if (i == 0) return 0.0;                           // below the table
  // The zoom at which the focal length, linear in zoom between lo and hi,
  // reaches target.
  const PTZIntrinsicsItem& lo = samples[i - 1];
  const PTZIntrinsicsItem& hi = samples[i];
  if (search.float_weight) {
    const float t = static_cast<float>((target - lo.f()) / (hi.f() - lo.f()));
    return whole(lo.zoom() + (hi.zoom() - lo.zoom()) * t);
  }
  return whole(lo.zoom() + (hi.zoom() - lo.zoom()) * (target - lo.f()) / (hi.f() - lo.f()));
}

int PTZCameraModel::zoomXFactorToSteps(float x) const {
  const auto& samples = params_.intrinsics().samples();
  // A NaN fails x >= 1.
  if (samples.size() < 2 || !(x >= 1.0f)) return 0;
  // From sample 1 on, so that x = 1 interpolates to sample 0's zoom.
  constexpr FocalLengthSearch kFactorSearch{1, false, true, false};
  int found;
  return saturatedInt(zoomAtFocalLength(double{x} * samples[0].f(), kFactorSearch, &found));
}

}  // namespace calibration
}  // namespace dravik
