#include "ptz_actions.h"

#include "calibration_input.h"
#include "camera_lookup.h"
#include "command_error.h"
#include "intrinsics_formats.h"
#include "library_load.h"
#include "output_file.h"
#include "zoom_plot.h"

namespace camcal {

dravik::calibration::PTZCameraParameters requirePtzParameters(const InputFile& input) {
  requirePtzModel(input);
  const ParsedCalibration parsed = parseExpected(input, CalibrationKind::kPtz);
  return static_cast<const dravik::calibration::PTZCameraParameters&>(*parsed.message);
}

namespace {

struct IntrinsicsOptions {
  std::string format = "text";
  std::string output;
};

struct PlotOptions {
  std::string output;
  int picture_width = 0;
};

int runPtzIntrinsics(const PtzCommandLine& line, const IntrinsicsOptions& options) {
  if (line.at.empty()) throw usageError("ptz intrinsics needs --at PAN,TILT,ZOOM");
  const PtzMotorSetting at = parsePtzSetting(line.at);
  const auto model = std::make_shared<dravik::calibration::PTZCameraModel>(
      requirePtzParameters(readInput(line.file)));
  const dravik::calibration::PTZCameraModelConfiguration setting(model, at.pan, at.tilt, at.zoom);
  writeOutput(options.output, formatIntrinsics(intrinsicsOf(setting), options.format));
  return kExitSuccess;
}

int runPtzPlot(const PtzCommandLine& line, const PlotOptions& options) {
  const PictureFormat format = pictureFormatOf(options.output);
  const InputFile input = readInput(line.file);
  writeOutput(options.output, plotZoomTable(requirePtzParameters(input), input.path, format,
                                            options.picture_width));
  return kExitSuccess;
}

}  // namespace

void addPtzIntrinsicsAction(CLI::App* ptz, std::shared_ptr<const PtzCommandLine> line,
                            Subcommands* commands) {
  auto options = std::make_shared<IntrinsicsOptions>();
  CLI::App* command = ptz->add_subcommand(
      "intrinsics",
      "K and distortion (k1 k2 p1 p2 k3 k4 k5 k6) at the setting, for the calibration image, in "
      "the formats of 'camcal intrinsics'");
  command->add_option("-f,--format", options->format, "Output format")
      ->check(CLI::IsMember(intrinsicsFormatNames()))
      ->capture_default_str();
  command->add_option("-o,--output", options->output,
                      "Write to this file instead of standard output");
  commands->push_back({command, [line, options] { return runPtzIntrinsics(*line, *options); }});
}

void addPtzPlotAction(CLI::App* ptz, std::shared_ptr<const PtzCommandLine> line,
                      Subcommands* commands) {
  auto options = std::make_shared<PlotOptions>();
  CLI::App* command = ptz->add_subcommand(
      "plot",
      "Picture of the zoom table: focal length and zoom x factor against zoom steps, the "
      "samples with their horizontal field of view; SVG or PNG by the extension of OUT");
  addPictureOptions(command, &options->output, &options->picture_width);
  commands->push_back({command, [line, options] { return runPtzPlot(*line, *options); }});
}

}  // namespace camcal
