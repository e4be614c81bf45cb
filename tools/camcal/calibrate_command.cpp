// camcal calibrate --board COLSxROWS --square METRES IMAGE... [options]
// camcal calibrate --corners FILE [options]
// A camera's intrinsics from views of a chessboard: the corners found (or
// read), the library's multi-view fit, the report and its pictures, and the
// camera written alone or into a robot calibration.
#include <unistd.h>

#include <memory>

#include "calibrate_corners.h"
#include "calibrate_fit.h"
#include "calibrate_into.h"
#include "calibrate_pictures.h"
#include "calibrate_report.h"
#include "cli/command_error.h"
#include "cli/commands.h"
#include "cli/diagnostics.h"
#include "cli/output_file.h"
#include "dravik/logging.h"
#include "inputs/calibration_input.h"
#include "inputs/intrinsics_formats.h"
#include "inputs/library_load.h"

namespace camcal {

namespace {

// The tag of the calibrator's own warnings.
constexpr char kCalibrateTag[] = "calibrate";

struct CalibrateOptions {
  std::string board;
  std::string square;
  std::vector<std::string> images;
  std::string corners;
  std::string save_corners;
  FitOptions fit;
  std::string camera;
  std::string into;
  std::string output;
  std::string format = "text";
  std::string report;
  int threads = 0;
};

void checkCombination(const CalibrateOptions& options) {
  const bool from_images =
      !options.board.empty() || !options.square.empty() || !options.images.empty();
  if (!options.corners.empty() && from_images) {
    throw usageError(
        "calibrate: give board images (--board, --square, IMAGE...) or --corners FILE, "
        "not both");
  }
  if (options.corners.empty() &&
      (options.board.empty() || options.square.empty() || options.images.empty())) {
    throw usageError(
        "calibrate: needs --board COLSxROWS, --square METRES and IMAGE..., or "
        "--corners FILE");
  }
  if (!options.into.empty() && options.camera.empty()) {
    throw usageError("calibrate: --into needs --camera NAME, the camera to replace");
  }
  const bool report_format = options.format == "text" || options.format == "json";
  if (!options.into.empty() && !report_format) {
    throw usageError("calibrate: with --into, --format is that of the report: text or json");
  }
  if (options.into.empty() && !report_format && isStandardOutput(options.output)) {
    throw usageError("calibrate: --format " + options.format +
                     " writes the camera to a file: give -o FILE");
  }
  if (options.into == "-" && options.output.empty()) {
    throw usageError("calibrate: --into - (standard input) needs -o OUT");
  }
}

int runCalibrate(const CalibrateOptions& options) {
  checkCombination(options);
  Board board;
  CornerSet corners;
  std::string source;
  if (options.corners.empty()) {
    parseBoardSize(options.board, &board);
    board.square_m = parseSquareSize(options.square);
    const bool progress = ::isatty(STDERR_FILENO) != 0;
    const int threads = options.threads > 0 ? options.threads : detectionThreads();
    corners = detectBoardCorners(options.images, board, threads, progress);
    source = options.images.size() == 1 ? options.images[0]
                                        : std::to_string(options.images.size()) + " images";
  } else {
    const InputFile input = readInput(options.corners);
    corners = readCornersFile(input.path, input.data);
    source = input.path;
  }

  const CalibrationRun run = fitCorners(std::move(corners), options.fit, source);
  IntrinsicsAtSize camera;
  camera.camera = options.camera.empty() ? "camera" : options.camera;
  camera.model_description = "(generic camera)";
  camera.width = run.corners.width;
  camera.height = run.corners.height;
  camera.source = IntrinsicsSource::kFitted;
  camera.K = run.fit.lens.K;
  camera.distortion = run.fit.lens.distortion;

  std::unique_ptr<IntoCalibration> into;
  if (!options.into.empty()) {
    into = std::make_unique<IntoCalibration>(calibrateInto(
        options.into, options.camera, run, options.corners.empty() ? &board : nullptr));
    camera.model = into->model;
    camera.model_description = describeModel(into->model);
  }

  // Everything is computed before anything is written.
  const bool json = options.format == "json";
  const bool camera_on_stdout = !into && isStandardOutput(options.output);
  std::string report = json ? calibrationReportAsJson(
                                  run, into.get(), camera_on_stdout ? intrinsicsAsJson(camera) : "")
                            : calibrationReportAsText(run, into.get());
  if (camera_on_stdout && !json) report += "\n" + intrinsicsAsText(camera);
  for (const std::string& warning : run.warnings) DRAVIK_LOG(3, kCalibrateTag) << warning;

  if (!options.save_corners.empty()) writeOutput(options.save_corners, cornersAsJson(run.corners));
  if (!options.report.empty()) writeCalibrationPictures(run, camera, options.report);
  if (into) {
    writeInto(*into, options.output);
  } else if (!camera_on_stdout) {
    writeOutput(options.output, formatIntrinsics(camera, options.format));
  }
  writeOutput("", report);
  return kExitSuccess;
}

}  // namespace

void addCalibrateCommand(CLI::App& app, Subcommands* commands) {
  auto options = std::make_shared<CalibrateOptions>();
  CLI::App* command = app.add_subcommand(
      "calibrate",
      "A camera's intrinsics from images of a chessboard (or a corners file), with the fit's "
      "residuals, coverage and uncertainty; alone, or into a robot calibration");
  command->add_option("--board", options->board,
                      "Inner corners of the chessboard, COLSxROWS, e.g. 9x6");
  command->add_option("--square", options->square, "Side of one square, metres");
  command->add_option("IMAGE", options->images, "Board images, PNG or JPEG, all of one size");
  command->add_option("--corners", options->corners,
                      "Corners from another detector, JSON (instead of images)");
  command->add_option("--save-corners", options->save_corners,
                      "Write the corners found to this JSON file, for --corners");
  command->add_option("--lens", options->fit.lens_terms, "Free lens terms")
      ->check(CLI::IsMember({"rational", "plumb-bob", "none"}))
      ->capture_default_str();
  command->add_flag("--fix-principal-point", options->fit.fix_principal_point,
                    "Hold the principal point at the image centre");
  command->add_flag("--same-focal-length", options->fit.same_focal_length, "Fit fx = fy");
  command
      ->add_option("--outlier-sigma", options->fit.outlier_sigma,
                   "Drop corners whose residual exceeds S x the rms, and fit again (0: keep all)")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  command->add_option("--camera", options->camera,
                      "Camera name: the camera of --into to replace, or the name written");
  command->add_option("--into", options->into,
                      "Robot calibration whose camera's intrinsics are replaced; written back "
                      "in place (the old file kept as ROBOT_CAL.bak) unless -o is given");
  command->add_option("-o,--output", options->output,
                      "Write the calibration (or the camera) here; the report goes to standard "
                      "output");
  command
      ->add_option("-f,--format", options->format,
                   "Format of the camera without --into (text, json, opencv-yaml, ros-yaml); "
                   "of the report: text or json")
      ->check(CLI::IsMember(intrinsicsFormatNames()))
      ->capture_default_str();
  command->add_option("--report", options->report,
                      "Directory for coverage.png, residuals.png, uncertainty.png and lens.png");
  command
      ->add_option("--threads", options->threads, "Threads for detection; one per core by default")
      ->check(CLI::PositiveNumber);
  commands->push_back({command, [options] { return runCalibrate(*options); }});
}

}  // namespace camcal
