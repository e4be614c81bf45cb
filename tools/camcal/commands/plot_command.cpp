// camcal plot [--calibration FILE] CAMERA WIDTHxHEIGHT -o OUT: a picture of
// one camera's lens at one image size, SVG or PNG by the extension of OUT.
#include <memory>

#include "cli/command_error.h"
#include "cli/commands.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "inputs/camera_lookup.h"
#include "plot/lens_plot.h"
#include "plot/plot_canvas.h"

namespace camcal {

namespace {

struct PlotOptions {
  std::string calibration;
  std::string camera;
  std::string size;
  std::string output;
  int picture_width = 0;
};

int runPlot(const PlotOptions& options) {
  const ImageSize size = parseImageSize(options.size);
  const PictureFormat format = pictureFormatOf(options.output);
  const CameraAtSize found = findCameraAtSize(options.calibration, options.camera, size);
  writeOutput(options.output, plotLens(found.intrinsics, format, options.picture_width));
  return kExitSuccess;
}

}  // namespace

void addPlotCommand(CLI::App& app, Subcommands* commands) {
  auto options = std::make_shared<PlotOptions>();
  CLI::App* command = app.add_subcommand(
      "plot",
      "Picture of one camera's lens at one image size: the distortion's displacement as colour, "
      "contours and arrows, the principal point and the edge of the sound region; SVG or PNG by "
      "the extension of OUT");
  addCalibrationOption(command, &options->calibration);
  command->add_option("CAMERA", options->camera, "Camera name, e.g. navigation")->required();
  command->add_option("SIZE", options->size, "Image size WIDTHxHEIGHT, e.g. 640x480")->required();
  addPictureOptions(command, &options->output, &options->picture_width);
  commands->push_back({command, [options] { return runPlot(*options); }});
}

}  // namespace camcal
