// Option values shared by several subcommands.
#include <regex>

#include "command_error.h"
#include "commands.h"

namespace camcal {

ImageSize parseImageSize(const std::string& text) {
  // Whole pixels, positive, at most six digits each: 640x480, 1280X720.
  static const std::regex kSize("([1-9][0-9]{0,5})[xX]([1-9][0-9]{0,5})");
  std::smatch match;
  if (!std::regex_match(text, match, kSize)) {
    throw usageError("malformed image size '" + text + "': expected WIDTHxHEIGHT, e.g. 640x480");
  }
  return ImageSize{std::stoi(match[1]), std::stoi(match[2])};
}

CLI::Option* addKindOption(CLI::App* command, std::string* kind) {
  *kind = "auto";
  return command
      ->add_option("--kind", *kind,
                   "Kind of calibration in the file; 'auto' recognises it from its content")
      ->check(CLI::IsMember({"auto", "robot", "base", "ptz"}))
      ->capture_default_str();
}

}  // namespace camcal
