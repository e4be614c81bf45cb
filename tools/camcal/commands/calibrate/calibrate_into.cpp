#include "calibrate_into.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <set>

#include "calibration_common/camera_models.h"
#include "calibration_common/camera_parameters.h"
#include "cli/command_error.h"
#include "cli/options.h"
#include "inputs/camera_lookup.h"
#include "inputs/library_load.h"

namespace camcal {

namespace {

using dravik::calibration::CameraCalibration;
using dravik::calibration::CameraIntrinsics;
using dravik::calibration::CameraModelSize;
using dravik::calibration::CameraParametersSet;
using dravik::calibration::RobotCalibration;

// Target points go into sample points in millimetres.
constexpr float kSampleScalar = 0.001f;

// The sizes of a camera: its calibrated full frame, then its model's table.
std::vector<CameraModelSize> sizesOf(const CameraCalibration& camera) {
  const CameraIntrinsics& intrinsics = camera.intrinsics();
  std::vector<CameraModelSize> sizes = {{0, 0, intrinsics.width(), intrinsics.height(),
                                         intrinsics.width(), intrinsics.height(), false}};
  for (const CameraModelSize& size : dravik::calibration::cameraModelSizes(camera.model())) {
    const bool known = std::any_of(sizes.begin(), sizes.end(), [&](const CameraModelSize& s) {
      return s.output_width == size.output_width && s.output_height == size.output_height;
    });
    if (!known) sizes.push_back(size);
  }
  return sizes;
}

std::string sizeList(const std::vector<CameraModelSize>& sizes, bool remapped_too,
                     const char* last_separator) {
  std::vector<std::string> names;
  for (const CameraModelSize& size : sizes) {
    if (remapped_too || !size.sensor_remapped) {
      names.push_back(formatImageSize(size.output_width, size.output_height));
    }
  }
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == names.size() ? last_separator : ", ") + names[i];
  }
  return text;
}

// The image of a view's kept corners: the area of their bounding box.
double coveredArea(const CalibrationRun& run, int image) {
  const int view = run.view_of_image[size_t(image)];
  if (view < 0) return 0.0;
  const std::vector<Eigen::Vector2d>& points = run.corners.images[size_t(image)].image_points;
  const auto& kept = run.fit.kept[size_t(view)];
  Eigen::Vector2d lo = Eigen::Vector2d::Constant(INFINITY), hi = -lo;
  for (size_t p = 0; p < points.size() && p < kept.size(); ++p) {
    if (!kept[p]) continue;
    lo = lo.cwiseMin(points[p]);
    hi = hi.cwiseMax(points[p]);
  }
  return hi.x() > lo.x() && hi.y() > lo.y() ? (hi - lo).prod() : 0.0;
}

// Distinct values of one coordinate of a view's target points.
int distinctValues(const std::vector<Eigen::Vector3d>& points, int axis) {
  std::set<long long> values;
  for (const Eigen::Vector3d& p : points) values.insert(std::llround(p[axis] * 1e6));
  return static_cast<int>(values.size());
}

// The kept corners of the view covering most of the image, in full-frame
// pixels, as the camera's sample points.
std::string writeSamplePoints(const CalibrationRun& run, const CameraModelSize& size,
                              const Board* board, CameraIntrinsics* intrinsics) {
  int best = -1;
  double best_area = 0.0;
  for (size_t i = 0; i < run.corners.images.size(); ++i) {
    const double area = coveredArea(run, static_cast<int>(i));
    if (area > best_area) {
      best_area = area;
      best = static_cast<int>(i);
    }
  }
  if (best < 0) return "";
  const ImageCorners& image = run.corners.images[size_t(best)];
  const auto& kept = run.fit.kept[size_t(run.view_of_image[size_t(best)])];
  for (size_t p = 0; p < image.image_points.size(); ++p) {
    if (p >= kept.size() || !kept[p]) continue;
    auto* sample = intrinsics->add_sample_points();
    const Eigen::Vector2d pixel = dravik::calibration::fullFramePixel(size, image.image_points[p]);
    sample->set_pixel_x(static_cast<float>(pixel.x()));
    sample->set_pixel_y(static_cast<float>(pixel.y()));
    sample->set_target_x(static_cast<float>(image.target_points[p].x() / kSampleScalar));
    sample->set_target_y(static_cast<float>(image.target_points[p].y() / kSampleScalar));
  }
  intrinsics->set_sample_scalar(kSampleScalar);
  intrinsics->set_sample_width(board ? board->columns : distinctValues(image.target_points, 0));
  intrinsics->set_sample_height(board ? board->rows : distinctValues(image.target_points, 1));
  return image.name;
}

const CameraCalibration* cameraIn(const IntoCalibration& into, const std::string& name) {
  for (const auto& camera : static_cast<const RobotCalibration&>(*into.parsed.message).camera()) {
    if (camera.name() == name) return &camera;
  }
  return nullptr;
}

}  // namespace

IntoCalibration openInto(const std::string& path, const std::string& camera_name, int width,
                         int height) {
  const InputFile input = readInput(path);
  auto old_set = std::make_shared<CameraParametersSet>();
  requireRobotCalibration(input, old_set.get());
  IntoCalibration into;
  into.path = path;
  into.old_content = input.data;
  into.old_set = old_set;
  into.parsed = parseExpected(input, CalibrationKind::kRobot);
  const CameraCalibration* camera = cameraIn(into, camera_name);
  if (!camera) {
    const auto& calibration = static_cast<const RobotCalibration&>(*into.parsed.message);
    throw operationError(path + ": no camera '" + camera_name +
                         "' (cameras: " + joinNames(cameraNamesOf(calibration)) + ")");
  }
  into.camera = camera_name;
  into.model = camera->model();
  const std::vector<CameraModelSize> sizes = sizesOf(*camera);
  const auto size = std::find_if(sizes.begin(), sizes.end(), [&](const CameraModelSize& s) {
    return s.output_width == width && s.output_height == height;
  });
  const std::string images = "the images are " + formatImageSize(width, height);
  const std::string which = "camera '" + camera_name + "' (" + describeModel(into.model) + ")";
  if (size == sizes.end()) {
    throw operationError(path + ": " + images + ", not a size of " + which + ": " +
                         sizeList(sizes, true, ", "));
  }
  if (size->sensor_remapped) {
    throw operationError(path + ": " + images + ", the sensor-remapped mode of " + which +
                         ", which is recomputed from its sample points: calibrate from images of " +
                         sizeList(sizes, false, " or "));
  }
  into.size = *size;
  into.sample_points = std::any_of(sizes.begin(), sizes.end(),
                                   [](const CameraModelSize& s) { return s.sensor_remapped; });
  return into;
}

void fillInto(const CalibrationRun& run, const Board* board, IntoCalibration* into) {
  auto& calibration = static_cast<RobotCalibration&>(*into->parsed.message);
  CameraCalibration* camera = nullptr;
  for (auto& existing : *calibration.mutable_camera()) {
    if (existing.name() == into->camera) camera = &existing;
  }
  if (!camera) throw operationError(into->path + ": no camera '" + into->camera + "'");
  const CameraModelSize& size = into->size;
  const dravik::Matrix3d K =
      dravik::calibration::fullFrameIntrinsics(size, run.fit.lens.K().cast<double>());
  CameraIntrinsics* intrinsics = camera->mutable_intrinsics();
  intrinsics->set_fx(K(0, 0));
  intrinsics->set_fy(K(1, 1));
  intrinsics->set_skew(K(0, 1));
  intrinsics->set_cx(K(0, 2));
  intrinsics->set_cy(K(1, 2));
  dravik::setLensCoefficients(run.fit.lens.distortion(), intrinsics);
  // Sample points of the old calibration would contradict the new one.
  intrinsics->clear_sample_points();
  intrinsics->clear_sample_scalar();
  intrinsics->clear_sample_width();
  intrinsics->clear_sample_height();
  if (into->sample_points) {
    into->sample_view = writeSamplePoints(run, size, board, intrinsics);
    into->sample_points = !into->sample_view.empty();
  }

  // Only what the library loads as it stands is written.
  into->content = encodeMessage(calibration, into->parsed.encoding);
  CameraParametersSet new_set;
  const LoadResult loaded = loadRobotCalibration(into->content, &new_set);
  if (!loaded.loaded) {
    throw operationError(into->path + ": the calibrated camera '" + into->camera +
                         "' does not load, nothing written: " + loaded.reason);
  }
  const auto old_camera = into->old_set->getCamera(into->camera);
  const auto new_camera = new_set.getCamera(into->camera);
  bool first = true;
  for (const ImageSize& served : servedSizes(*old_camera)) {
    const auto at = [&](const dravik::calibration::CameraParameters& record) {
      return intrinsicsOf(into->camera, record, served.width, served.height);
    };
    const SizeDiff diff = diffAtSize(at(*old_camera), at(*new_camera), Eigen::Matrix3d::Identity());
    if (first || diff.displacement.max > into->largest.displacement.max) into->largest = diff;
    first = false;
  }
}

void addInto(const IntoCalibration& into, const std::string& output, const std::string& backup,
             OutputBatch* batch) {
  if (backup.empty()) {
    batch->add(output, into.content);
    return;
  }
  // The backup is a copy no wider open, and owned as the original.
  struct stat original;
  if (::stat(into.path.c_str(), &original) != 0) {
    throw operationError(into.path + ": cannot read: " + std::strerror(errno));
  }
  batch->addNew(backup, into.old_content, original.st_mode & 0777, original.st_uid,
                original.st_gid);
  batch->add(into.path, into.content);
}

bool hasComments(const IntoCalibration& into) {
  if (into.parsed.encoding != Encoding::kText) return false;
  // A line whose first character other than a blank is '#'.
  const std::string& text = into.old_content;
  for (size_t line = 0; line < text.size();) {
    const size_t first = text.find_first_not_of(" \t", line);
    if (first != std::string::npos && text[first] == '#') return true;
    const size_t end = text.find('\n', line);
    if (end == std::string::npos) break;
    line = end + 1;
  }
  return false;
}

}  // namespace camcal
