// The outputs of the loops compiled in several variants (dravik/wide_vectors.h)
// in hexadecimal floating point: the multi-view and the rig fit, the lens's
// batch projection and inverse, the PTZ projection and rays, the maps and the
// remap of a frame. ctest runs it on the variants the processor picks and with
// CAMERA_PARAMETERS_BASELINE=1, and compares the two files byte for byte but
// for the lines that begin with '#', the first naming the variants taken
// (vector_paths_compare.cmake). A large output is written as its count, a 64-bit FNV-1a hash of its
// bytes and a few samples, so that a difference names its output.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>
#include <vector>

#include "calibration_common/ptz_camera_model.h"
#include "dravik/wide_vectors.h"
#include "support/calibration_views.h"
#include "support/ptz_models.h"
#include "support/rig_scene.h"
#include "support/undistortion_lenses.h"

namespace dravik::calibration {
namespace {

std::FILE* out = nullptr;

template <typename T>
void write(const char* name, const T* values, std::size_t n) {
  std::uint64_t hash = 1469598103934665603ull;
  const auto* bytes = reinterpret_cast<const unsigned char*>(values);
  for (std::size_t i = 0; i < n * sizeof(T); ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
  std::fprintf(out, "%s n=%zu fnv=%016llx\n ", name, n, static_cast<unsigned long long>(hash));
  const std::size_t step = n <= 48 ? 1 : n / 16 + 1;
  for (std::size_t i = 0; i < n; i += step) {
    if constexpr (std::is_floating_point_v<T>)
      std::fprintf(out, " %a", double(values[i]));
    else
      std::fprintf(out, " %d", int(values[i]));
  }
  std::fprintf(out, "\n");
}
template <typename T>
void write(const char* name, const std::vector<T>& values) {
  write(name, values.data(), values.size());
}

void writeLens(const char* name, const Lens& lens) {
  std::vector<double> terms(lens.K().data(), lens.K().data() + 9);
  terms.insert(terms.end(), lens.distortion().begin(), lens.distortion().end());
  write(name, terms);
}

void fits() {
  const Lens truth = dravik::testing::navigationLens();
  CameraFit fit;
  if (calibrateCamera(dravik::testing::boardViews(truth, {}), truth.width(), truth.height(), {},
                      &fit)) {
    writeLens("fit lens", fit.lens);
    std::vector<double> poses, errors{fit.rms_px};
    for (const Matrix4d& pose : fit.camera_from_target)
      poses.insert(poses.end(), pose.data(), pose.data() + 16);
    errors.insert(errors.end(), fit.view_rms_px.begin(), fit.view_rms_px.end());
    write("fit poses", poses);
    write("fit errors", errors);
    write("fit deviations", fit.standard_deviations.data(), 12);
  }

  const std::vector<dravik::testing::RigCamera> cameras =
      dravik::testing::robotRigCameras({"navigation", "head"});
  const dravik::testing::RigSceneOptions scene;
  RigCalibrationOptions options;
  options.refine_intrinsics = true;
  RigCalibration rig;
  if (calibrateRig(
          dravik::testing::lensesOf(cameras),
          dravik::testing::rigMoments(cameras, dravik::testing::rigBoardPoses(scene), scene, 3),
          options, &rig)) {
    std::vector<double> poses{rig.rms_px};
    for (const RigCameraPose& camera : rig.cameras) {
      poses.insert(poses.end(), camera.camera_from_reference.data(),
                   camera.camera_from_reference.data() + 16);
      poses.insert(poses.end(), camera.covariance.data(), camera.covariance.data() + 36);
      writeLens("rig lens", camera.lens);
    }
    write("rig poses", poses);
  }
}

void lensPoints() {
  const Lens lens = dravik::testing::navigationLens();
  std::vector<double> xyz, uv;
  for (double y = -1.2; y <= 1.2; y += 0.05)
    for (double x = -1.6; x <= 1.6; x += 0.05) xyz.insert(xyz.end(), {x, y, 1.0});
  std::vector<double> projected(xyz.size() / 3 * 2);
  lens.projectPoints(xyz.data(), xyz.size() / 3, projected.data());
  write("projectPoints", projected);
  for (double v = -30; v <= lens.height() + 30; v += 7.25)
    for (double u = -30; u <= lens.width() + 30; u += 9.5) uv.insert(uv.end(), {u, v});
  const std::size_t n = uv.size() / 2;
  std::vector<double> xy(uv.size());
  std::vector<std::uint8_t> ok(n);
  lens.normalizePixels(uv.data(), n, xy.data(), ok.data());
  write("normalizePixels", xy);
  write("normalizePixels ok", ok);
}

void ptz() {
  const auto model = dravik::testing::sharedModel(dravik::testing::ptzExampleParameters());
  const PTZCameraModelConfiguration config(model, 3100, 900, 5000);
  std::vector<float> x, y, z;
  std::vector<double> xyz;
  for (const Eigen::Vector2f& p : dravik::testing::normalizedGrid(1.3f, 0.05f, 0.9f, 0.05f)) {
    const Eigen::Vector3f w = dravik::testing::worldPointAt(config, p.x(), p.y(), 3.0f);
    x.push_back(w.x()), y.push_back(w.y()), z.push_back(w.z());
    xyz.insert(xyz.end(), {w.x(), w.y(), w.z()});
  }
  std::vector<float> u(x.size()), v(x.size());
  config.project3dToCamera(x.data(), y.data(), z.data(), int(x.size()), u.data(), v.data());
  write("ptz project3dToCamera u", u);
  write("ptz project3dToCamera v", v);
  std::vector<double> pixels(x.size() * 2);
  config.projectPoints(xyz.data(), x.size(), pixels.data());
  write("ptz projectPoints", pixels);
  std::vector<double> rays(xyz.size());
  config.projectPixelsToRays(pixels.data(), x.size(), rays.data());
  write("ptz projectPixelsToRays", rays);
}

void maps() {
  const Lens lens = dravik::testing::navigationLens();
  PinholeView view;
  PixelRect crop;
  if (!choosePinholeView(lens, 0.5f, 960, 720, &view, &crop)) return;
  std::vector<double> chosen(view.K.data(), view.K.data() + 9);
  chosen.insert(chosen.end(),
                {double(crop.x), double(crop.y), double(crop.width), double(crop.height)});
  write("choosePinholeView", chosen);
  UndistortionMap forward, inverse;
  if (!buildUndistortionMap(lens, view, &forward) ||
      !buildInverseUndistortionMap(lens, view, &inverse))
    return;
  write("inverse map x", inverse.x);
  write("inverse map y", inverse.y);
  write("inverse map valid", inverse.valid);

  // The forward map's loop fuses its multiply-adds where the processor has
  // them (not the same bits by design): the frame goes through a forward map
  // of the exact batch projection instead, the same bits on every path, so
  // that the resampling alone is compared.
  std::vector<double> rays;
  const Eigen::Matrix3d inverse_view = view.K.cast<double>().inverse();
  for (int v = 0; v < view.height; ++v)
    for (int u = 0; u < view.width; ++u) {
      const Eigen::Vector3d ray = inverse_view * Eigen::Vector3d(u, v, 1.0);
      rays.insert(rays.end(), {ray.x(), ray.y(), ray.z()});
    }
  std::vector<double> sources(rays.size() / 3 * 2);
  lens.projectPoints(rays.data(), rays.size() / 3, sources.data());
  for (std::size_t i = 0; i < forward.x.size(); ++i) {
    forward.x[i] = float(sources[2 * i]);
    forward.y[i] = float(sources[2 * i + 1]);
    forward.valid[i] = forward.x[i] >= 0.0f && forward.y[i] >= 0.0f &&
                       forward.x[i] <= lens.width() - 1 && forward.y[i] <= lens.height() - 1;
  }
  const std::vector<std::uint8_t> frame =
      dravik::testing::texturedImage(lens.width(), lens.height(), 3);
  std::vector<std::uint8_t> remapped(std::size_t(view.width) * view.height * 3);
  if (remapImage(frame.data(), lens.width(), lens.height(), 3, std::size_t(lens.width()) * 3,
                 forward, remapped.data(), std::size_t(view.width) * 3, 0, 1))
    write("remapImage 8-bit", remapped);
  std::vector<std::uint16_t> deep(std::size_t(lens.width()) * lens.height()),
      deep_remapped(std::size_t(view.width) * view.height);
  for (std::size_t i = 0; i < deep.size(); ++i)
    deep[i] = std::uint16_t(frame[3 * i] * 257 + frame[3 * i + 1]);
  if (remapImage(deep.data(), lens.width(), lens.height(), 1, std::size_t(lens.width()) * 2,
                 forward, deep_remapped.data(), std::size_t(view.width) * 2, 0, 1))
    write("remapImage 16-bit", deep_remapped);
}

}  // namespace
}  // namespace dravik::calibration

// fingerprint OUTPUT: writes the outputs to OUTPUT.
int main(int argc, char** argv) {
  if (argc != 2 || (dravik::calibration::out = std::fopen(argv[1], "w")) == nullptr) {
    std::fprintf(stderr, "usage: vector_paths_fingerprint OUTPUT\n");
    return 2;
  }
  std::fprintf(dravik::calibration::out, "# vector paths: %s\n", dravik::vectorPaths().name);
  dravik::calibration::fits();
  dravik::calibration::lensPoints();
  dravik::calibration::ptz();
  dravik::calibration::maps();
  return std::fclose(dravik::calibration::out) == 0 ? 0 : 1;
}
