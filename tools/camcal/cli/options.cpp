// The options and option values shared by several subcommands.
#include "cli/options.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <regex>

#include "cli/command_error.h"

namespace camcal {

namespace {

// Image sizes camcal takes: whole pixels, 1 to kLargestSide on each side.
constexpr int kLargestSide = 999999;

// A run of digits as a side length; false when beyond kLargestSide (the text
// may be longer than any int).
bool sideLength(const std::string& digits, int* side) {
  const size_t first = std::min(digits.find_first_not_of('0'), digits.size());
  if (digits.size() - first > 6) return false;
  *side = first == digits.size() ? 0 : std::stoi(digits.substr(first));
  return *side >= 1 && *side <= kLargestSide;
}

// A check of a finite number against a bound, inclusive or not.
CLI::Validator boundCheck(double bound, bool inclusive) {
  const std::string number = CLI::detail::to_string(bound);
  const std::string words = (inclusive ? "must be at least " : "must be above ") + number;
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (text.empty() || end != text.c_str() + text.size()) return "must be a number";
        if (!std::isfinite(value)) return "must be a finite number";
        const bool within = inclusive ? value >= bound : value > bound;
        return within ? std::string() : words + ", not " + text;
      },
      (inclusive ? "NUMBER >= " : "NUMBER > ") + number);
}

}  // namespace

CLI::Validator atLeast(double least) { return boundCheck(least, true); }
CLI::Validator above(double bound) { return boundCheck(bound, false); }

ImageSize parseImageSize(const std::string& text) {
  static const std::regex kSize("([0-9]+)[xX]([0-9]+)");  // 640x480, 1280X720
  std::smatch match;
  if (!std::regex_match(text, match, kSize)) {
    throw usageError("malformed image size '" + text + "': expected WIDTHxHEIGHT, e.g. 640x480");
  }
  ImageSize size{0, 0};
  if (!sideLength(match[1], &size.width) || !sideLength(match[2], &size.height)) {
    throw usageError("image size '" + text + "' out of range: width and height are 1 to " +
                     std::to_string(kLargestSide) + " pixels");
  }
  return size;
}

std::string formatImageSize(int width, int height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

CLI::Option* addOutputOption(CLI::App* command, std::string* output,
                             const std::string& description) {
  return command->add_option("-o,--output", *output, description);
}

CLI::Option* addCalibrationOption(CLI::App* command, std::string* calibration) {
  return command->add_option("-c,--calibration", *calibration,
                             "Robot calibration file; the embedded default when omitted");
}

CLI::Option* addFormatOption(CLI::App* command, std::string* format,
                             const std::vector<std::string>& names,
                             const std::string& description) {
  return command->add_option("-f,--format", *format, description)
      ->check(CLI::IsMember(names))
      ->capture_default_str();
}

void addPictureOptions(CLI::App* command, std::string* output, int* picture_width) {
  addOutputOption(command, output, "The picture, NAME.svg or NAME.png")->required();
  command
      ->add_option("--picture-width", *picture_width,
                   "Width of the picture, pixels (PNG) or points (SVG); the layout is scaled to "
                   "it. The layout's own width when omitted")
      ->check(CLI::Range(kSmallestPictureWidth, kLargestPictureWidth));
}

CLI::Option* addKindOption(CLI::App* command, std::string* kind,
                           const std::vector<std::string>& kinds) {
  *kind = "auto";
  return command
      ->add_option("--kind", *kind,
                   "Kind of calibration in the file; 'auto' recognises it from its content")
      ->check(CLI::IsMember(kinds))
      ->capture_default_str();
}

void addOutputRuleFlags(CLI::App* command, bool* allow_empty, bool* drop_unknown) {
  command->add_flag("--allow-empty", *allow_empty,
                    "Write a robot calibration even when it holds no camera");
  command->add_flag("--drop-unknown", *drop_unknown,
                    "Leave out of text format the fields this version does not know");
}

}  // namespace camcal
