// Image files for camcal: the codecs of image_codec.h, with camcal's reading
// and whole-or-nothing writing of files and its one-line errors.
#include "image_io.h"

#include <algorithm>
#include <cctype>

#include "calibration_input.h"
#include "command_error.h"
#include "output_file.h"

namespace camcal {

namespace {

bool endsWith(std::string text, const std::string& suffix) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

Image readImage(const std::string& path) {
  const InputFile input = readInput(path);
  Image image;
  std::string reason;
  if (!decodeImage(input.data, &image, &reason)) throw operationError(path + ": " + reason);
  return image;
}

void writeImage(const std::string& path, const Image& image) {
  const bool jpeg = endsWith(path, ".jpg") || endsWith(path, ".jpeg");
  std::string bytes, reason;
  if (!encodeImage(image, jpeg, &bytes, &reason)) throw operationError(path + ": " + reason);
  writeOutput(path, bytes);
}

}  // namespace camcal
