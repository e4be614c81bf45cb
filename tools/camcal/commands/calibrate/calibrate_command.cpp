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
#include <map>
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
  int max_views = kDefaultMaxViews;
};

// The pictures --report DIR may hold, each an output of the run.
const char* const kReportPictures[] = {"coverage.png", "residuals.png", "uncertainty.png",
                                       "lens.png"};

// The spellings of the library's lens terms, as --lens takes them.
std::vector<std::string> lensTermsNames() {
  std::vector<std::string> names;
  for (const auto& entry : dravik::calibration::kLensTermsNames) names.push_back(entry.name);
  return names;
}

void checkCombination(const CalibrateOptions& options) {
  const bool from_images =
      !options.board.empty() || !options.square.empty() || !options.images.empty();
  if (!options.corners.empty() && from_images) {
    throw usageError(
        "calibrate: give board images (--board, --square, IMAGE...) or --corners FILE, "
        "not both");
  }
  const bool square_needed = !isCharucoBoard(options.board);
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

// A file the run reads or writes, with the option that names it.
struct NamedFile {
  std::string option;  // "--corners", "-o", "image", ...
  std::string path;
  FileIdentity identity;
};

std::string describe(const NamedFile& file) {
  return file.option == "image" ? "the image " + file.path : file.option + " " + file.path;
}

// Refuses, before anything is read or fitted, an output that names an input
// or another output, once every link is followed (standard output, FIFOs
// and devices aside). -o may name the --into file: that is the in-place
// write, with its backup.
void refuseOutputsOverInputs(const std::vector<NamedFile>& inputs,
                             const std::vector<NamedFile>& outputs) {
  const auto counts = [](const NamedFile& file) {
    return !isStandardOutput(file.path) && file.path != "-" &&
           (!file.identity.exists || file.identity.type == S_IFREG);
  };
  for (size_t i = 0; i < outputs.size(); ++i) {
    const NamedFile& output = outputs[i];
    if (!counts(output)) continue;
    for (const NamedFile& input : inputs) {
      if (!counts(input) || !(input.identity == output.identity)) continue;
      throw usageError("calibrate: " + describe(output) + " is " + describe(input) +
                       ": an output never replaces an input");
    }
    for (size_t j = 0; j < i; ++j) {
      if (!counts(outputs[j]) || !(outputs[j].identity == output.identity)) continue;
      throw usageError("calibrate: " + describe(output) + " and " + describe(outputs[j]) +
                       " name the same file");
    }
  }
}

// The images once each: the same file named twice (by another path, or a
// link) is read once, with a warning.
std::vector<std::string> distinctImages(const std::vector<std::string>& images,
                                        std::vector<NamedFile>* inputs,
                                        std::vector<std::string>* warnings) {
  std::vector<std::string> distinct;
  std::map<std::pair<dev_t, ino_t>, std::string> seen;
  for (const std::string& path : images) {
    const FileIdentity identity = fileIdentity(path);
    if (identity.exists && identity.type == S_IFREG) {
      const auto [it, fresh] = seen.emplace(std::make_pair(identity.device, identity.inode), path);
      if (!fresh) {
        warnings->push_back("image " + path + " is " + it->second +
                            " again: read once, so that no view counts twice");
        continue;
      }
    }
    distinct.push_back(path);
    inputs->push_back({"image", path, identity});
  }
  return distinct;
}

int calibrate(const CalibrateOptions& options) {
  Board board;
  CornerSet corners;
  std::string source;
  if (options.corners.empty()) {
    try {
      board = parseBoard(options.board, options.square);
    } catch (const CommandError& error) {
      // A malformed --board or --square is a mistake on the command line.
      throw usageError(std::string("calibrate: ") + error.what());
    }
  }

  // Every file the run reads and writes, checked before any work.
  std::vector<std::string> warnings;
  std::vector<NamedFile> inputs;
  const std::vector<std::string> images = distinctImages(options.images, &inputs, &warnings);
  if (images.size() > size_t(options.max_views)) {
    throw operationError("calibrate: " + std::to_string(images.size()) +
                         " images, more than --max-views " + std::to_string(options.max_views));
  }
  if (!options.corners.empty()) {
    inputs.push_back({"--corners", options.corners, fileIdentity(options.corners)});
  }
  const bool into_given = !options.into.empty();
  if (into_given) inputs.push_back({"--into", options.into, fileIdentity(options.into)});
  // -o naming the --into file writes it in place, as --into alone does.
  const bool in_place =
      into_given && options.into != "-" &&
      (options.output.empty() || fileIdentity(options.output) == fileIdentity(options.into));
  const std::string backup = in_place ? backupPath(options.into) : "";
  std::vector<NamedFile> outputs;
  const auto output = [&](const std::string& option, const std::string& path) {
    if (!path.empty()) outputs.push_back({option, path, fileIdentity(path)});
  };
  output("--save-corners", options.save_corners);
  if (!options.report.empty()) {
    for (const char* picture : kReportPictures) output("--report", options.report + "/" + picture);
  }
  if (!in_place) output("-o", options.output);
  output("the backup", backup);
  refuseOutputsOverInputs(inputs, outputs);
  for (const std::string& path : {in_place ? "" : options.output, options.save_corners}) {
    checkWritable(path);
  }
  if (!options.report.empty()) checkWritable(options.report, true);
  if (in_place) checkWritable(options.into);

  if (options.corners.empty()) {
    const bool progress = ::isatty(STDERR_FILENO) != 0;
    const int threads = options.threads > 0 ? options.threads : detectionThreads();
    corners = detectBoardCorners(images, board, threads, progress);
    source = images.size() == 1 ? images[0] : std::to_string(images.size()) + " images";
  } else {
    const InputFile input = readInput(options.corners);
    corners = readCornersFile(input.path, input.data, size_t(options.max_views));
    source = input.path;
  }
  std::unique_ptr<IntoCalibration> into;
  if (into_given) {
    into = std::make_unique<IntoCalibration>(
        openInto(options.into, options.camera, corners.width, corners.height));
  }

  FitOptions fit = options.fit;
  fit.progress = ::isatty(STDERR_FILENO) != 0;
  CalibrationRun run = fitCorners(std::move(corners), fit, source);
  run.warnings.insert(run.warnings.begin(), warnings.begin(), warnings.end());
  IntrinsicsAtSize camera;
  camera.camera = options.camera.empty() ? "camera" : options.camera;
  camera.model_description = "(generic camera)";
  camera.width = run.corners.width;
  camera.height = run.corners.height;
  camera.source = IntrinsicsSource::kFitted;
  camera.K = run.fit.lens.K();
  camera.distortion = run.fit.lens.distortionList();
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

  // Written to temporary files, then renamed into place together, the
  // robot calibration last; the report follows on standard output.
  OutputBatch batch;
  if (!options.save_corners.empty()) batch.add(options.save_corners, cornersAsJson(run.corners));
  if (!options.report.empty()) {
    batch.addDirectory(options.report);
    for (const Picture& picture : pictures)
      batch.add(options.report + "/" + picture.name, picture.png);
  }
  if (into) {
    addInto(*into, options.output, backup, &batch);
  } else if (!camera_on_stdout) {
    batch.add(options.output, camera_text);
  }
  batch.add("", report);
  batch.commit();
  // Held back with the library's records until the command has succeeded.
  for (const std::string& warning : run.warnings) DRAVIK_LOG(3, kCalibrateTag) << warning;
  if (into && in_place && hasComments(*into)) {
    note(options.into +
         ": its comments are not carried over (protobuf's text format drops "
         "them); the old file, comments and all, is " +
         backup);
  }
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
      ->check(CLI::IsMember(lensTermsNames()))
      ->capture_default_str();
  command->add_flag("--fix-principal-point", options->fit.fix_principal_point,
                    "Hold the principal point at the image centre");
  command->add_flag("--same-focal-length", options->fit.same_focal_length, "Fit fx = fy");
  command
      ->add_option("--outlier-sigma", options->fit.outlier_sigma,
                   "Drop corners whose residual exceeds S x the rms, and fit again (0: keep all)")
      ->check(atLeast(0))
      ->capture_default_str();
  command->add_option("--camera", options->camera,
                      "Camera name: the camera of --into to replace, or the name written");
  command->add_option("--into", options->into,
                      "Robot calibration whose camera's intrinsics are replaced; written back "
                      "in place (the old file kept as ROBOT_CAL.bak, or the next free "
                      "ROBOT_CAL.bak.N) unless -o names another file");
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
      ->check(atLeast(1));
  addFitGateOptions(command, &options->fit.gate,
                    "rms, a fit not converged, principal point, points off the image, a target "
                    "not planar, most corners dropped");
  command
      ->add_option("--max-views", options->max_views,
                   "Most views (images, or views of --corners) a run takes")
      ->check(atLeast(1))
      ->capture_default_str();
  commands->push_back({command, [options] { return runCalibrate(*options); }});
}

}  // namespace camcal
