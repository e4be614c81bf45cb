// Image files for camcal: the codecs of image_codec.h, with camcal's reading
// and whole-or-nothing writing of files and its one-line errors.
#include "image/image_io.h"

#include <algorithm>
#include <cctype>

#include "cli/command_error.h"
#include "cli/output_file.h"
#include "inputs/calibration_input.h"

namespace camcal {

namespace {

bool endsWith(std::string text, const std::string& suffix) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

Image readImage(const std::string& path, const WantedSize& wanted) {
  const InputFile input = readInput(path);
  Image image;
  std::string reason;
  if (!decodeImage(input.data, wanted, &image, &reason)) {
    throw operationError(path + ": " + reason);
  }
  return image;
}

ImageFormat imageFormatOf(const std::string& path) {
  if (endsWith(path, ".png")) return ImageFormat::kPng;
  if (endsWith(path, ".jpg") || endsWith(path, ".jpeg")) return ImageFormat::kJpeg;
  throw operationError("cannot tell the image format of '" + path +
                       "': name the output NAME.png, NAME.jpg or NAME.jpeg");
}

void writeImage(const std::string& path, const Image& image) {
  const bool jpeg = imageFormatOf(path) == ImageFormat::kJpeg;
  std::string bytes, reason;
  if (!encodeImage(image, jpeg, &bytes, &reason)) throw operationError(path + ": " + reason);
  writeOutput(path, bytes);
}

}  // namespace camcal
