// The subcommands of camcal. Each adds itself to the command line and
// returns the action that runs it once the command line is parsed.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <string>
#include <vector>

namespace camcal {

struct Subcommand {
  CLI::App* app;
  // Returns the exit status; failures may also throw CommandError.
  std::function<int()> run;
};
using Subcommands = std::vector<Subcommand>;

void addCamerasCommand(CLI::App& app, Subcommands* commands);
void addIntrinsicsCommand(CLI::App& app, Subcommands* commands);
void addValidateCommand(CLI::App& app, Subcommands* commands);
void addConvertCommand(CLI::App& app, Subcommands* commands);
void addBaseCommand(CLI::App& app, Subcommands* commands);
void addAdjustCommand(CLI::App& app, Subcommands* commands);
void addPtzCommand(CLI::App& app, Subcommands* commands);
void addPlotCommand(CLI::App& app, Subcommands* commands);
void addDiffCommand(CLI::App& app, Subcommands* commands);
void addImportCommand(CLI::App& app, Subcommands* commands);
void addUndistortCommand(CLI::App& app, Subcommands* commands);
void addUrdfCommand(CLI::App& app, Subcommands* commands);
void addCalibrateCommand(CLI::App& app, Subcommands* commands);
void addRigCommand(CLI::App& app, Subcommands* commands);
void addPtzHeadCommand(CLI::App& app, Subcommands* commands);
void addBoardCommand(CLI::App& app, Subcommands* commands);

}  // namespace camcal
