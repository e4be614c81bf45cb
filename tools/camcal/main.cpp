// camcal: inspect, convert, validate and use the robot's calibrations.
//
//   camcal cameras [FILE]                       every camera of a robot calibration
//   camcal intrinsics CAMERA WxH [--format F]   K and distortion at one image size
//   camcal validate FILE...                     does each file load without fallback
//   camcal convert FILE --to text|wire          protobuf text <-> wire format
//   camcal base [FILE]                          a base calibration
//   camcal adjust CALIBRATION BASE              cameras corrected by the base calibration
//   camcal ptz FILE --at P,T,Z ACTION ...       PTZ projection, aiming and intrinsics
//   camcal plot CAMERA WxH -o OUT               a picture of the lens at one image size
//   camcal diff A B                             how far the cameras moved between two files
//   camcal import --from F FILE --name NAME     another tool's camera into a robot calibration
//   camcal undistort CAMERA WxH IN -o OUT       an undistorted image
//   camcal urdf [--ptz FILE] [-o OUT]           the cameras and the PTZ head as a URDF
//   camcal calibrate --board CxR --square M IMAGE...  a camera from chessboard images
//   camcal rig --board CxR --square M DIR --into ROBOT_CAL  every camera's pose from a board
//   camcal ptz-head --board CxR --square M --positions CSV --calibration PTZ_CAL  the pan/tilt head
//   from a board camcal board --board BOARD -o FILE           a printable board, PNG or PDF
//
// Exit status: 0 on success, 1 when the operation fails, 2 for a usage error.
#include <CLI/CLI.hpp>
#include <exception>
#include <iostream>
#include <string>

#include "cli/command_error.h"
#include "cli/commands.h"
#include "cli/diagnostics.h"
#include "cli/output_file.h"

namespace {

// The innermost subcommand named on the command line, for error messages.
std::string commandPath(const CLI::App& app) {
  std::string path = "camcal";
  const CLI::App* current = &app;
  while (true) {
    const auto selected = current->get_subcommands();
    if (selected.empty()) break;
    current = selected.front();
    path += " " + current->get_name();
  }
  return path;
}

int printError(int status, const std::string& message) {
  std::cerr << "camcal: " << camcal::printable(message) << "\n";
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Inspect, convert, validate and use the robot's camera calibrations.", "camcal"};
  app.fallthrough();
  app.require_subcommand(1);
  app.footer(
      "Exit status: 0 on success, 1 when an operation fails, 2 for a usage error.\n"
      "Run 'camcal COMMAND --help' for the options of a command.");
  int verbosity = 0;
  bool quiet = false;
  app.add_flag("-v,--verbose", verbosity,
               "Show more of the library's log records (repeatable: -vv information, -vvv "
               "solver trace)");
  app.add_flag("-q,--quiet", quiet, "Silence warnings and notes");
  app.set_version_flag("--version", "camcal " CAMCAL_VERSION);

  camcal::Subcommands commands;
  camcal::addCamerasCommand(app, &commands);
  camcal::addIntrinsicsCommand(app, &commands);
  camcal::addValidateCommand(app, &commands);
  camcal::addConvertCommand(app, &commands);
  camcal::addBaseCommand(app, &commands);
  camcal::addAdjustCommand(app, &commands);
  camcal::addPtzCommand(app, &commands);
  camcal::addPlotCommand(app, &commands);
  camcal::addDiffCommand(app, &commands);
  camcal::addImportCommand(app, &commands);
  camcal::addUndistortCommand(app, &commands);
  camcal::addUrdfCommand(app, &commands);
  camcal::addCalibrateCommand(app, &commands);
  camcal::addRigCommand(app, &commands);
  camcal::addPtzHeadCommand(app, &commands);
  camcal::addBoardCommand(app, &commands);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    const std::string where = commandPath(app);
    if (where == "camcal") {
      // Nothing was recognised as a command: name the word that was meant as one.
      for (int i = 1; i < argc; ++i) {
        if (argv[i][0] != '-') {
          return printError(camcal::kExitUsage,
                            std::string("unknown command '") + argv[i] + "' (see 'camcal --help')");
        }
      }
    }
    return printError(camcal::kExitUsage, (where == "camcal" ? "" : where.substr(7) + ": ") +
                                              e.what() + " (see '" + where + " --help')");
  }

  camcal::configureDiagnostics(verbosity, quiet);
  // Ctrl-C (or a kill) while outputs are written leaves no temporary file.
  camcal::installSignalCleanup();
  try {
    for (const auto& command : commands) {
      if (command.app->parsed()) return command.run();
    }
    return printError(camcal::kExitUsage, "no command given (see 'camcal --help')");
  } catch (const camcal::CommandError& e) {
    return printError(e.status(), e.what());
  } catch (const std::exception& e) {
    return printError(camcal::kExitFailed, std::string("unexpected failure: ") + e.what());
  }
}
