// camcal calibrate --board COLSxROWS --square METRES IMAGE... [options]
// camcal calibrate --corners FILE [options]
// A camera's intrinsics from views of a chessboard: the corners found (or
// read), the library's multi-view fit, the report and its pictures, and the
// camera written alone or into a robot calibration.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "calibrate_corners.h"
#include "calibrate_fit.h"
#include "calibrate_into.h"
#include "calibrate_pictures.h"
#include "calibrate_report.h"
#include "cli/command_error.h"
#include "cli/commands.h"
#include "cli/diagnostics.h"
#include "cli/options.h"
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
  const bool square_needed = !isCharucoSpec(options.board);
  if (options.corners.empty() &&
      (options.board.empty() || (square_needed && options.square.empty()) ||
       options.images.empty())) {
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

// Fails as writeOutput would, before anything is fitted or written: a path
// that is a directory, or whose directory is missing or not writable. A
// FIFO or a device is written in place and not checked.
void checkWritable(const std::string& path, bool directory = false) {
  if (isStandardOutput(path)) return;
  struct stat info;
  if (::stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode) != directory) {
      throw operationError(path + ": cannot write: " + std::strerror(directory ? ENOTDIR : EISDIR));
    }
    if (directory) {
      if (::access(path.c_str(), W_OK) != 0) {
        throw operationError(path + ": cannot write: " + std::strerror(errno));
      }
      return;
    }
    if (!S_ISREG(info.st_mode)) return;
  }
  // The directory that will hold it ("report/" is report in the current one).
  std::string name = path;
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  const std::string parent = std::filesystem::path(name).parent_path().string();
  if (::access(parent.empty() ? "." : parent.c_str(), W_OK) != 0) {
    throw operationError(path + ": cannot write: " + std::strerror(errno));
  }
}

int calibrate(const CalibrateOptions& options) {
  Board board;
  CornerSet corners;
  std::string source;
  if (options.corners.empty()) board = parseBoard(options.board, options.square);
  for (const std::string& path : {options.output, options.save_corners}) checkWritable(path);
  if (!options.report.empty()) checkWritable(options.report, true);
  if (!options.into.empty() && options.output.empty()) checkWritable(options.into);
  if (options.corners.empty()) {
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
  std::unique_ptr<IntoCalibration> into;
  if (!options.into.empty()) {
    into = std::make_unique<IntoCalibration>(
        openInto(options.into, options.camera, corners.width, corners.height));
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
  if (into) {
    fillInto(run, options.corners.empty() && !board.charuco ? &board : nullptr, into.get());
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
  const std::string camera_text =
      into || camera_on_stdout ? "" : formatIntrinsics(camera, options.format);
  const std::vector<Picture> pictures =
      options.report.empty() ? std::vector<Picture>() : drawCalibrationPictures(run, camera);

  if (!options.save_corners.empty()) writeOutput(options.save_corners, cornersAsJson(run.corners));
  if (!options.report.empty()) writeCalibrationPictures(pictures, options.report);
  if (into) {
    writeInto(*into, options.output);
  } else if (!camera_on_stdout) {
    writeOutput(options.output, camera_text);
  }
  writeOutput("", report);
  // Held back with the library's records until the command has succeeded.
  for (const std::string& warning : run.warnings) DRAVIK_LOG(3, kCalibrateTag) << warning;
  return kExitSuccess;
}

int runCalibrate(const CalibrateOptions& options) {
  checkCombination(options);
  // The library's records and the calibrator's warnings are printed once the
  // command has succeeded; input it refuses gets its one line alone.
  RecordCapture held;
  try {
    return calibrate(options);
  } catch (...) {
    held.consume();
    throw;
  }
}

}  // namespace

void addCalibrateCommand(CLI::App& app, Subcommands* commands) {
  auto options = std::make_shared<CalibrateOptions>();
  CLI::App* command = app.add_subcommand(
      "calibrate",
      "A camera's intrinsics from images of a chessboard (or a corners file), with the fit's "
      "residuals, coverage and uncertainty; alone, or into a robot calibration");
  command->add_option("--board", options->board,
                      "Inner corners of the chessboard, COLSxROWS, e.g. 9x6; or a ChArUco board, "
                      "charuco:COLSxROWS:SQUARE:MARKER:DICTIONARY (squares, metres, OpenCV's "
                      "dictionary name), e.g. charuco:11x8:0.04:0.03:DICT_5X5_100");
  command->add_option("--square", options->square,
                      "Side of one square, metres (a ChArUco board gives its own)");
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
  addOutputOption(command, &options->output,
                  "Write the calibration (or the camera) here; the report goes to standard "
                  "output");
  std::string format_names;
  for (const std::string& name : intrinsicsFormatNames()) {
    format_names += (format_names.empty() ? "" : ", ") + name;
  }
  addFormatOption(
      command, &options->format, intrinsicsFormatNames(),
      "Format of the camera without --into (" + format_names + "); of the report: text or json");
  command->add_option("--report", options->report,
                      "Directory for coverage.png, residuals.png, uncertainty.png and lens.png");
  command
      ->add_option("--threads", options->threads, "Threads for detection; one per core by default")
      ->check(CLI::PositiveNumber);
  commands->push_back({command, [options] { return runCalibrate(*options); }});
}

}  // namespace camcal
