// Coding images in memory: PNG (libpng) and JPEG (libjpeg-turbo), gray or
// colour, 8 bits per channel, interleaved. No file access, no exceptions.
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

// The image in bytes, recognised by their content. PNG keeps gray, RGB or
// RGBA (gray with alpha becomes RGBA; 16 bits become 8); JPEG gives gray or
// RGB. False, with a reason ("not a PNG or JPEG image", "truncated or corrupt
// PNG image (...)", ...), when the bytes are not one whole image; a damaged
// image is never returned in part.
bool decodeImage(const std::string& bytes, Image* image, std::string* reason);

// The image as PNG, or as JPEG (quality 95; RGBA without its alpha).
bool encodeImage(const Image& image, bool jpeg, std::string* bytes, std::string* reason);

}  // namespace camcal
