// The options and option values that several subcommands share, declared
// once: image sizes as WIDTHxHEIGHT, the output file (-o), the robot
// calibration (-c), the output format (-f), the kind of calibration (--kind)
// and the options of the plotting commands.
#pragma once
#include <CLI/CLI.hpp>
#include <string>
#include <vector>

namespace camcal {

// An image size "WIDTHxHEIGHT".
struct ImageSize {
  int width;
  int height;
};
// Throws a usage error naming the text.
ImageSize parseImageSize(const std::string& text);
// "640x480": how every message and table of camcal writes a size.
std::string formatImageSize(int width, int height);
inline std::string formatImageSize(const ImageSize& size) {
  return formatImageSize(size.width, size.height);
}

// Checks of a numeric option value that name its bound ("must be at least
// 1, not 0"), never the range of the type; not a number, or infinite, is
// refused too.
CLI::Validator atLeast(double least);
CLI::Validator above(double bound);

// "-o,--output FILE"; the description says what is written there.
CLI::Option* addOutputOption(CLI::App* command, std::string* output,
                             const std::string& description =
                                 "Write to this file instead of "
                                 "standard output");
// "-c,--calibration FILE": the robot calibration, the embedded default when
// omitted.
CLI::Option* addCalibrationOption(CLI::App* command, std::string* calibration);
// "-f,--format NAME", one of names, *format the default.
CLI::Option* addFormatOption(CLI::App* command, std::string* format,
                             const std::vector<std::string>& names,
                             const std::string& description = "Output format");
// "--kind KIND", one of kinds ("auto" and the kinds of calibration), shared
// by the subcommands that read any kind.
CLI::Option* addKindOption(CLI::App* command, std::string* kind,
                           const std::vector<std::string>& kinds);

// "--allow-empty" and "--drop-unknown" of the commands that write a
// calibration: what they may write besides an ordinary one.
void addOutputRuleFlags(CLI::App* command, bool* allow_empty, bool* drop_unknown);

// The widths --picture-width accepts, pixels.
constexpr int kSmallestPictureWidth = 200;
constexpr int kLargestPictureWidth = 8000;
// "-o OUT" (required: NAME.svg or NAME.png) and "--picture-width PIXELS" of
// the plotting commands.
void addPictureOptions(CLI::App* command, std::string* output, int* picture_width);

}  // namespace camcal
