// The streaming resolutions of each camera model, as crops and scales of the
// calibrated full frame.
#define DRAVIK_LOG_FILE "calibration_common/camera_parameters"

#include "calibration_common/camera_parameters.h"
#include "dravik/logging.h"
#include "log_site.h"

namespace dravik {
namespace calibration {

namespace {

// crop_x, crop_y, crop_width, crop_height, output_width, output_height, in
// pixels of the calibrated full frame.
constexpr int kB910Crops[4][6] = {
    {176, 136, 2232, 1672, 640, 480},
    {176, 136, 2232, 1672, 800, 600},
    {176, 136, 2232, 1672, 1024, 768},
    {176, 136, 2232, 1672, 1280, 960},
};

constexpr int kKestovanNavCrops[3][6] = {
    {0, 0, 1280, 960, 640, 480},
    {0, 0, 1280, 960, 1280, 960},
    {0, 120, 1280, 720, 1280, 720},
};

}  // namespace

void CameraParameters::fillTable(const Intrinsics* const* sources, const int (*crops)[6],
                                 int count) {
  intrinsics_table_.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    const int* c = crops[i];
    affineIntrinsics(*sources[i], c[0], c[1], c[2], c[3], c[4], c[5], &intrinsics_table_[i]);
  }
}

bool CameraParameters::precomputeIntrinsics() {
  if (model_ == "kv006h") {
    DRAVIK_LOG(5, kCameraParametersTag) << "Using Kestovan head camera model.";
    return precomputeKestovanHeadIntrinsics();
  }
  if (model_ == "kv007n") {
    DRAVIK_LOG(5, kCameraParametersTag) << "Using Kestovan nav camera model.";
    return precomputeKestovanNavIntrinsics();
  }
  if (model_ == "b910") {
    DRAVIK_LOG(5, kCameraParametersTag) << "Using B910 camera model.";
    return precomputeB910Intrinsics();
  }

  // A generic camera serves its calibrated size only. A size that is absent,
  // zero or negative cannot be served: every K derived from it would hold
  // infinities or NaNs.
  const CameraIntrinsics& intrinsics = calibration_->intrinsics();
  if (!intrinsics.has_width() || !intrinsics.has_height() || intrinsics.width() <= 0 ||
      intrinsics.height() <= 0) {
    return false;
  }
  const int crop[1][6] = {
      {0, 0, intrinsics.width(), intrinsics.height(), intrinsics.width(), intrinsics.height()}};
  const Intrinsics* sources[1] = {&full_frame_};
  fillTable(sources, crop, 1);
  return true;
}

bool CameraParameters::precomputeB910Intrinsics() {
  const Intrinsics* sources[4] = {&full_frame_, &full_frame_, &full_frame_, &full_frame_};
  fillTable(sources, kB910Crops, 4);
  return true;
}

bool CameraParameters::precomputeKestovanNavIntrinsics() {
  const Intrinsics* sources[3] = {&full_frame_, &full_frame_, &full_frame_};
  fillTable(sources, kKestovanNavCrops, 3);
  return true;
}

}  // namespace calibration
}  // namespace dravik
