// render_boards: pictures of a calibration board seen by a camera of a
// robot calibration, through its lens, as a real camera takes them (uneven
// lighting, vignetting, defocus, sensor noise, JPEG), for trying
// `camcal calibrate` without a camera:
//
//   render_boards --calibration tests/camcal/data/robot_calibration.txt
//       --camera navigation --board charuco:11x8:0.04:0.03:DICT_5X5_100 --corner-views 4
//       -o boards/
//
// writes boards/board00.png ... and boards/truth.json, the true corners of
// every view in the layout of `camcal calibrate --corners`. The board is
// given as `camcal calibrate --board` takes it (with --square for a
// chessboard).
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include "calibrate_corners.h"
#include "calibration_common/camera_parameters.h"
#include "cli/command_error.h"
#include "support/board_imaging.h"

namespace {

using dravik::testing::BoardRenderer;
using dravik::testing::Chessboard;

struct Options {
  std::string calibration;
  std::string camera = "navigation";
  std::string board = "charuco:11x8:0.04:0.03:DICT_5X5_100";
  std::string square;
  int views = 20;
  int corner_views = 0;
  double distance = 0.0;
  dravik::testing::Imaging imaging = dravik::testing::ordinaryImaging();
  int supersampling = 3;
  std::string extension = "png";
  std::string output;
  unsigned seed = 1;
};

int run(const Options& options) {
  dravik::calibration::CameraParametersSet cameras;
  if (!options.calibration.empty() && !cameras.loadFromFile(options.calibration)) {
    throw camcal::operationError(options.calibration + ": not a robot calibration");
  }
  const auto camera = cameras.getCamera(options.camera);
  if (!camera) throw camcal::operationError("unknown camera '" + options.camera + "'");
  const auto& frame = camera->getFullFrame();
  const dravik::calibration::Lens lens = camera->getLens(frame.width, frame.height);
  const camcal::Board board = camcal::parseBoard(options.board, options.square);
  const Chessboard corners{board.columns, board.rows, board.square_m};
  const double distance = options.distance > 0.0
                              ? options.distance
                              : dravik::testing::viewingDistance(
                                    lens, (board.columns + 1) * board.square_m, board.charuco);
  // The last views lie over the image's corners, cut by its edges (only a
  // ChArUco board gives corners there).
  const int corner_views = std::min(options.views, options.corner_views);
  std::vector<Eigen::Matrix4d> poses = dravik::testing::calibrationPoses(
      lens, corners, distance, options.views - corner_views, board.charuco);
  const std::vector<Eigen::Matrix4d> over_corners =
      dravik::testing::imageCornerPoses(lens, corners, distance, (corner_views + 3) / 4);
  poses.insert(poses.end(), over_corners.begin(), over_corners.begin() + corner_views);

  std::filesystem::create_directories(options.output);
  const BoardRenderer renderer(lens, options.supersampling);
  std::unique_ptr<dravik::testing::CharucoPattern> charuco;
  if (board.charuco) {
    charuco = std::make_unique<dravik::testing::CharucoPattern>(
        board.squares_x, board.squares_y, board.square_m, board.marker_m, board.dictionary_id);
  }
  nlohmann::ordered_json truth;
  truth["image_width"] = lens.width();
  truth["image_height"] = lens.height();
  truth["views"] = nlohmann::ordered_json::array();
  for (size_t v = 0; v < poses.size(); ++v) {
    const std::vector<double> shading =
        charuco ? renderer.renderPattern(*charuco, poses[v])
                : renderer.renderPattern(dravik::testing::ChessboardPattern{corners}, poses[v]);
    const cv::Mat picture = dravik::testing::takePicture(shading, lens.width(), lens.height(),
                                                         options.imaging, options.seed + v);
    char name[32];
    std::snprintf(name, sizeof name, "board%02zu.%s", v, options.extension.c_str());
    const std::string path = (std::filesystem::path(options.output) / name).string();
    if (!cv::imwrite(path, picture)) throw camcal::operationError(path + ": cannot write");

    std::vector<Eigen::Vector3d> target;
    const std::vector<Eigen::Vector2d> pixels =
        dravik::testing::boardCorners(lens, corners, poses[v], &target);
    nlohmann::ordered_json view, ids = nlohmann::ordered_json::array(),
                                 image_points = nlohmann::ordered_json::array(),
                                 target_points = nlohmann::ordered_json::array();
    view["name"] = path;
    for (size_t k = 0; k < pixels.size(); ++k) {
      const bool inside = pixels[k].x() >= 0 && pixels[k].y() >= 0 &&
                          pixels[k].x() <= lens.width() - 1 && pixels[k].y() <= lens.height() - 1;
      if (!inside) continue;
      ids.push_back(k);
      image_points.push_back({pixels[k].x(), pixels[k].y()});
      target_points.push_back({target[k].x(), target[k].y(), 0.0});
    }
    if (board.charuco) view["corner_ids"] = ids;
    view["image_points"] = image_points;
    view["target_points"] = target_points;
    truth["views"].push_back(view);
    std::printf("%s\n", path.c_str());
  }
  std::ofstream((std::filesystem::path(options.output) / "truth.json").string())
      << truth.dump(1) << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Pictures of a calibration board through a camera's lens, as a real camera takes "
      "them, with the true corners",
      "render_boards"};
  Options options;
  app.add_option("--calibration", options.calibration,
                 "Robot calibration (protobuf text or wire); the embedded default if not given");
  app.add_option("--camera", options.camera, "Camera of the calibration")->capture_default_str();
  app.add_option("--board", options.board, "Board, as camcal calibrate --board takes it")
      ->capture_default_str();
  app.add_option("--square", options.square, "Side of a chessboard's square, metres");
  app.add_option("--views", options.views, "Number of pictures")
      ->check(CLI::Range(1, 200))
      ->capture_default_str();
  app.add_option("--corner-views", options.corner_views,
                 "Of the pictures, boards over the image's corners, cut by its edges")
      ->check(CLI::Range(0, 200))
      ->capture_default_str();
  app.add_option(
      "--distance", options.distance,
      "Distance of the board, metres (default: it fills about two thirds of the image's width)");
  app.add_option("--lighting", options.imaging.lighting, "Rise of brightness across the image")
      ->capture_default_str();
  app.add_option("--vignetting", options.imaging.vignetting, "Brightness lost at the corners")
      ->capture_default_str();
  app.add_option("--blur", options.imaging.blur_px, "Defocus disc radius, pixels")
      ->capture_default_str();
  app.add_option("--noise", options.imaging.noise, "Sensor noise at mid-grey, gray levels")
      ->capture_default_str();
  app.add_option("--jpeg-quality", options.imaging.jpeg_quality,
                 "JPEG compression of the picture (0: none)")
      ->check(CLI::Range(0, 100))
      ->capture_default_str();
  app.add_option("--format", options.extension, "Image files written")
      ->check(CLI::IsMember({"png", "jpg"}))
      ->capture_default_str();
  app.add_option("--seed", options.seed, "Seed of the noise")->capture_default_str();
  app.add_option("-o,--output", options.output, "Directory for the pictures")->required();
  CLI11_PARSE(app, argc, argv);
  try {
    return run(options);
  } catch (const camcal::CommandError& e) {
    std::cerr << "render_boards: " << e.what() << "\n";
    return e.status();
  }
}
