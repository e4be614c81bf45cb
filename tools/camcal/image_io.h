// Reading and writing the images camcal undistorts: PNG (libpng) and JPEG
// (libjpeg-turbo), gray or colour, 8 bits per channel, interleaved.
#pragma once

#include <string>

#include "image_codec.h"

namespace camcal {

// The image in a file (decodeImage). Throws an operation error "PATH: cannot
// read: ...", "PATH: not a PNG or JPEG image" or "PATH: truncated or corrupt
// PNG|JPEG image (...)".
Image readImage(const std::string& path);

// The image encoded as PNG, or as JPEG (quality 95) when path ends in .jpg
// or .jpeg (any case), written so that the file appears whole or not at all.
// RGBA goes to JPEG without its alpha. Throws an operation error naming the
// path.
void writeImage(const std::string& path, const Image& image);

}  // namespace camcal
