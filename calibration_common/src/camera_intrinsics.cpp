// Intrinsics and distortion by image size: the crop-and-scale mapping and the
// lookups of the per-resolution table.
#define DRAVIK_LOG_FILE "calibration_common/camera_parameters"

#include "calibration_common/camera_models.h"
#include "calibration_common/camera_parameters.h"
#include "dravik/logging.h"
#include "log_site.h"

namespace dravik {
namespace calibration {

namespace {

Eigen::Matrix3f kMatrix(const CameraParameters::Intrinsics& in) {
  Eigen::Matrix3f K;
  K << in.fx, in.skew, in.cx, 0.0f, in.fy, in.cy, 0.0f, 0.0f, 1.0f;
  return K;
}

}  // namespace

Eigen::Matrix3f CameraParameters::recomputeKMatrix(const Intrinsics& in, int crop_x, int crop_y,
                                                   int crop_width, int crop_height,
                                                   int output_width, int output_height) const {
  // A = [sx 0 tx; 0 sy ty; 0 0 1] takes source pixels to target pixels.
  const float sx = static_cast<float>(output_width) / static_cast<float>(crop_width);
  const float sy = static_cast<float>(output_height) / static_cast<float>(crop_height);
  const float tx = -(static_cast<float>(crop_x) * sx);
  const float ty = -(static_cast<float>(crop_y) * sy);
  Eigen::Matrix3f A;
  A << sx, 0.0f, tx, 0.0f, sy, ty, 0.0f, 0.0f, 1.0f;
  return A * kMatrix(in);
}

Eigen::Vector2d fullFramePixel(const CameraModelSize& size, const Eigen::Vector2d& pixel) {
  const double sx = double(size.output_width) / size.crop_width;
  const double sy = double(size.output_height) / size.crop_height;
  return {pixel.x() / sx + size.crop_x, pixel.y() / sy + size.crop_y};
}

dravik::Matrix3d fullFrameIntrinsics(const CameraModelSize& size, const dravik::Matrix3d& K) {
  const double sx = double(size.output_width) / size.crop_width;
  const double sy = double(size.output_height) / size.crop_height;
  const Eigen::Vector2d principal = fullFramePixel(size, K.col(2).head<2>());
  dravik::Matrix3d full;
  full << K(0, 0) / sx, K(0, 1) / sx, principal.x(), 0.0, K(1, 1) / sy, principal.y(), 0.0, 0.0,
      1.0;
  return full;
}

void CameraParameters::affineIntrinsics(const Intrinsics& in, int crop_x, int crop_y,
                                        int crop_width, int crop_height, int output_width,
                                        int output_height, Intrinsics* out) const {
  const Eigen::Matrix3f K =
      recomputeKMatrix(in, crop_x, crop_y, crop_width, crop_height, output_width, output_height);
  out->fx = K(0, 0);
  out->fy = K(1, 1);
  out->cx = K(0, 2);
  out->cy = K(1, 2);
  out->skew = K(0, 1);
  out->width = output_width;
  out->height = output_height;
  if (out != &in) out->distortion = in.distortion;
}

const CameraParameters::Intrinsics* CameraParameters::findEntry(int width, int height) const {
  for (const Intrinsics& entry : intrinsics_table_) {
    if (entry.width == width && entry.height == height) return &entry;
  }
  return nullptr;
}

Eigen::Matrix3f CameraParameters::getIntrinsics(int width, int height) const {
  if (const Intrinsics* entry = findEntry(width, height)) return kMatrix(*entry);
  DRAVIK_LOG(5, kCameraParametersTag)
      << full_frame_.width << " " << full_frame_.height << " " << width << " " << height;
  return recomputeKMatrix(full_frame_, 0, 0, full_frame_.width, full_frame_.height, width, height);
}

const std::vector<float>& CameraParameters::getDistortion(int width, int height) const {
  if (const Intrinsics* entry = findEntry(width, height)) return entry->distortion;
  return full_frame_.distortion;
}

Eigen::Matrix3f CameraParameters::getFullFrameIntrinsics() const { return kMatrix(full_frame_); }

}  // namespace calibration
}  // namespace dravik
