// camcal convert FILE --to text|wire [-o OUT]: a robot, base or PTZ
// calibration between protobuf text format and wire format.
#include <memory>

#include "cli/command_error.h"
#include "cli/commands.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "inputs/calibration_input.h"

namespace camcal {

namespace {

struct ConvertOptions {
  std::string file;
  std::string to;
  std::string output;
  std::string kind;
  OutputRules rules;
};

int runConvert(const ConvertOptions& options) {
  const Encoding encoding = encodingFromFlag(options.to);
  if (encoding == Encoding::kWire) refuseBinaryOnTerminal(options.output);
  const InputFile input = readInput(options.file);
  const ParsedCalibration parsed = parseCalibration(input, kindFromFlag(options.kind));
  writeOutput(options.output,
              encodeForOutput(input.path, parsed.kind, *parsed.message, encoding, options.rules));
  return kExitSuccess;
}

}  // namespace

void addConvertCommand(CLI::App& app, Subcommands* commands) {
  auto options = std::make_shared<ConvertOptions>();
  CLI::App* command = app.add_subcommand(
      "convert", "Convert a robot, base or PTZ calibration between protobuf text and wire format");
  command->add_option("FILE", options->file, "Calibration file ('-' reads standard input)")
      ->required();
  command->add_option("--to", options->to, "Output encoding")
      ->required()
      ->check(CLI::IsMember(encodingFlags()));
  addOutputOption(command, &options->output);
  addKindOption(command, &options->kind, kindFlags());
  addOutputRuleFlags(command, &options->rules.allow_empty, &options->rules.drop_unknown);
  commands->push_back({command, [options] { return runConvert(*options); }});
}

}  // namespace camcal
