// Reading and writing the images camcal undistorts: PNG (libpng) and JPEG
// (libjpeg-turbo), gray or colour, 8 bits per channel, interleaved.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace camcal {

struct Image {
  int width = 0;
  int height = 0;
  int channels = 0;  // 1 gray, 3 RGB, 4 RGBA; rows of width x channels bytes
  std::vector<std::uint8_t> pixels;
};

// The image in a file, recognised by its content. PNG keeps gray, RGB or
// RGBA (gray with alpha becomes RGBA; 16 bits become 8); JPEG gives gray or
// RGB. Throws an operation error "PATH: cannot read: ...", "PATH: not a PNG
// or JPEG image" or "PATH: truncated or corrupt PNG|JPEG image (...)"; a
// damaged image is never returned in part.
Image readImage(const std::string& path);

// The image encoded as PNG, or as JPEG (quality 95) when path ends in .jpg
// or .jpeg (any case), written so that the file appears whole or not at all.
// RGBA goes to JPEG without its alpha. Throws an operation error naming the
// path.
void writeImage(const std::string& path, const Image& image);

// The same coding in memory, for the tests and fuzzing of the input path:
// false (and a reason) when the bytes are not a whole PNG or JPEG image.
bool decodeImage(const std::string& bytes, Image* image, std::string* reason);

}  // namespace camcal
