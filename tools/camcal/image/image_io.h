// Reading and writing the images camcal undistorts: PNG (libpng) and JPEG
// (libjpeg-turbo), gray or colour, 8 bits per channel, interleaved.
#pragma once

#include <string>

#include "image/image_codec.h"

namespace camcal {

// The image in a file (decodeImage), of the wanted size. Throws an operation
// error "PATH: cannot read: ...", "PATH: not a PNG or JPEG image", "PATH: the
// image is 64x48, not the camera's 640x480" or "PATH: truncated or corrupt
// PNG|JPEG image (...)".
Image readImage(const std::string& path, const WantedSize& wanted = {});

enum class ImageFormat { kPng, kJpeg };

// The one rule of camcal's image outputs: the extension picks the codec,
// .png for PNG, .jpg or .jpeg for JPEG (any case). Throws an operation error
// naming the path for any other, before anything is read or written.
ImageFormat imageFormatOf(const std::string& path);

// The image encoded as imageFormatOf(path) says (JPEG at quality 95, RGBA
// without its alpha), written so that the file appears whole or not at all.
// Throws an operation error naming the path.
void writeImage(const std::string& path, const Image& image);

}  // namespace camcal
