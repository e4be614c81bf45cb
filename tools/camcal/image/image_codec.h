// Coding images in memory: PNG (libpng) and JPEG (libjpeg-turbo), gray or
// colour, 8 bits per channel, interleaved. No file access, no exceptions.
// Hostile input (a header that lies about the size, a scan bomb, a
// decompression bomb) is refused before it costs more than the image asked
// for.
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

// The size an image must have: width x height when both are positive, else
// any size up to kMaxUndistortionPixels (calibration_utils/undistortion.h).
struct WantedSize {
  int width = 0;
  int height = 0;
};

// The most scans a progressive JPEG may have: ordinary encoders write about
// ten; a file of thousands of tiny scans costs a pass over the whole image
// each.
constexpr int kMaxJpegScans = 100;

// The image in bytes, recognised by their content. PNG keeps gray, RGB or
// RGBA (gray with alpha becomes RGBA); JPEG gives gray or RGB. The size is
// read from the header and checked against `wanted` before a single row is
// decoded. False, with a reason ("not a PNG or JPEG image", "truncated or
// corrupt PNG image (...)", "the image is 8192x8192, not the camera's
// 1280x960", "a 16-bit PNG image: ...", ...), when the bytes are not one
// whole 8-bit image of that size; a damaged image is never returned in part.
bool decodeImage(const std::string& bytes, const WantedSize& wanted, Image* image,
                 std::string* reason);

// The image as PNG, or as JPEG (quality 95; RGBA without its alpha).
bool encodeImage(const Image& image, bool jpeg, std::string* bytes, std::string* reason);

}  // namespace camcal
