// camcal undistort [--calibration FILE] CAMERA WxH INPUT -o OUTPUT [--alpha A]
// [--square-pixels]: the undistorted image of a camera at one of its image
// sizes. The view keeps the camera's K and size, or, with --alpha or
// --square-pixels, is chosen by the library (choosePinholeView) at that
// alpha (0 without it) for the same size, with fx = fy for --square-pixels.
#include "commands/undistort_command.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>

#include "calibration_common/camera_parameters.h"
#include "calibration_utils/undistortion.h"
#include "cli/command_error.h"
#include "cli/diagnostics.h"
#include "cli/number_format.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "cli/text_table.h"
#include "image/image_io.h"
#include "inputs/library_load.h"

namespace camcal {

namespace {

using dravik::calibration::Lens;
using dravik::calibration::PinholeView;
using dravik::calibration::PixelRect;
using dravik::calibration::UndistortionMap;

struct ImageOptions {
  std::string input;
  std::string output;
  std::optional<float> alpha;
  bool square_pixels = false;
};

struct UndistortOptions {
  std::string calibration;
  std::string camera;
  std::string size;
  ImageOptions image;
};

// The library's reason for a refusal, or a fallback text.
std::string libraryReason(const RecordCapture& capture) {
  const std::string reason = capture.reason();
  return reason.empty() ? "the library refused the lens" : reason;
}

// The valid rectangle of a view that keeps the camera's K: grown from the
// principal point's pixel.
PixelRect validRectOf(const UndistortionMap& map, const PinholeView& view) {
  const int u = std::clamp(int(std::lround(view.K(0, 2))), 0, view.width - 1);
  const int v = std::clamp(int(std::lround(view.K(1, 2))), 0, view.height - 1);
  return dravik::calibration::validRectAround(map, u, v);
}

// Undistorts options.input through the lens into options.output and
// returns the report.
std::string undistortImage(const Lens& lens, const ImageOptions& options) {
  imageFormatOf(options.output);
  Image input = readImage(options.input, WantedSize{lens.width(), lens.height()});
  RecordCapture capture;
  PinholeView view{lens.width(), lens.height(), lens.K()};
  PixelRect rect;
  UndistortionMap map;
  bool built = true;
  const bool choose_view = options.alpha || options.square_pixels;
  if (choose_view) {
    const float alpha = options.alpha.value_or(0.0f);
    if (!std::isfinite(alpha)) throw usageError("--alpha must be a finite number");
    built = dravik::calibration::choosePinholeView(lens, alpha, lens.width(), lens.height(),
                                                   options.square_pixels, &view, &rect);
  }
  built = built && dravik::calibration::buildUndistortionMap(lens, view, &map);
  if (!built) {
    capture.consume();
    throw operationError("cannot undistort " + options.input + ": " + libraryReason(capture));
  }
  if (!choose_view) rect = validRectOf(map, view);

  Image output = input;
  const size_t stride = size_t(input.width) * input.channels;
  dravik::calibration::remapImage(input.pixels.data(), input.width, input.height, input.channels,
                                  stride, map, output.pixels.data(), stride);
  writeImage(options.output, output);

  TextTable table;
  for (int r = 0; r < 3; ++r) {
    table.addRow({r == 0 ? "view K" : "", formatNumber(view.K(r, 0)), formatNumber(view.K(r, 1)),
                  formatNumber(view.K(r, 2))});
  }
  std::string report = table.render("");
  report += "valid rect  x " + std::to_string(rect.x) + ", y " + std::to_string(rect.y) + ", " +
            std::to_string(rect.width) + "x" + std::to_string(rect.height) + "\n";
  report += "written     " + options.output + " (" + std::to_string(output.width) + "x" +
            std::to_string(output.height) + ", " +
            (output.channels == 1   ? "gray"
             : output.channels == 3 ? "RGB"
                                    : "RGBA") +
            ")\n";
  return report;
}

void addImageOptions(CLI::App* command, ImageOptions* options) {
  command->add_option("INPUT", options->input, "PNG or JPEG image taken by the camera")->required();
  addOutputOption(command, &options->output,
                  "Undistorted image to write: PNG for .png, JPEG for .jpg or .jpeg")
      ->required();
  command->add_option("--alpha", options->alpha,
                      "Choose the view: 0 every pixel valid, 1 every sound source pixel kept; "
                      "without it the view keeps the camera's K");
  command->add_flag("--square-pixels", options->square_pixels,
                    "Choose the view with square pixels (fx = fy), at --alpha (0 without it)");
}

int runUndistort(const UndistortOptions& options) {
  const ImageSize size = parseImageSize(options.size);
  dravik::calibration::CameraParametersSet set;
  std::vector<std::string> names = set.getCameraNames();
  if (!options.calibration.empty()) {
    const InputFile input = readInput(options.calibration);
    requireRobotCalibration(input, &set);
    names = cameraNamesOf(set.getRawCalData());
  }
  if (std::find(names.begin(), names.end(), options.camera) == names.end()) {
    throw operationError("unknown camera '" + options.camera + "'");
  }
  const Lens lens = set.getCamera(options.camera)->getLens(size.width, size.height);
  writeOutput("", undistortImage(lens, options.image));
  return kExitSuccess;
}

}  // namespace

void addUndistortCommand(CLI::App& app, Subcommands* commands) {
  auto options = std::make_shared<UndistortOptions>();
  CLI::App* command = app.add_subcommand(
      "undistort", "Undistort a PNG or JPEG image of one camera at one of its image sizes");
  addCalibrationOption(command, &options->calibration);
  command->add_option("CAMERA", options->camera, "Camera name, e.g. navigation")->required();
  command->add_option("SIZE", options->size, "Image size WIDTHxHEIGHT, e.g. 1280x960")->required();
  addImageOptions(command, &options->image);
  commands->push_back({command, [options] { return runUndistort(*options); }});
}

void addPtzUndistortCommand(
    CLI::App* ptz, Subcommands* commands,
    std::function<dravik::calibration::PTZCameraModelConfiguration()> setting) {
  auto options = std::make_shared<ImageOptions>();
  CLI::App* command = ptz->add_subcommand(
      "undistort", "Undistort a PNG or JPEG image of the calibration size taken at the setting");
  addImageOptions(command, options.get());
  commands->push_back({command, [options, setting] {
                         writeOutput("", undistortImage(setting().getLens(), *options));
                         return kExitSuccess;
                       }});
}

}  // namespace camcal
