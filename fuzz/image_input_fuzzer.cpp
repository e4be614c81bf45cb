// Decodes arbitrary bytes as camcal reads an image (PNG or JPEG), at any
// size and at a camera's size, and encodes what decodes back in both
// formats: a damaged or hostile file must be refused with a reason, never
// crash, be returned in part or cost more than the image asked for.
#include <cstdint>
#include <string>

#include "image/image_codec.h"
#include "quiet_logs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quietLogs();
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  // The size of a camera's image, which the header must give before any
  // pixel is decoded.
  const camcal::WantedSize camera{1280, 960};
  camcal::Image image, at_camera_size;
  std::string reason;
  const bool any = camcal::decodeImage(bytes, {}, &image, &reason);
  if (!any && reason.empty()) __builtin_trap();
  const bool sized = camcal::decodeImage(bytes, camera, &at_camera_size, &reason);
  if (!sized && reason.empty()) __builtin_trap();
  if (sized && (!any || at_camera_size.width != camera.width ||
                at_camera_size.height != camera.height || at_camera_size.pixels != image.pixels)) {
    __builtin_trap();
  }
  if (!any) return 0;
  if (image.pixels.size() != size_t(image.width) * image.height * image.channels) {
    __builtin_trap();
  }
  // Small images only: the round trip is about the coding, not the size.
  if (size_t(image.width) * image.height <= 4096) {
    std::string encoded;
    for (const bool jpeg : {false, true}) {
      if (!camcal::encodeImage(image, jpeg, &encoded, &reason)) __builtin_trap();
      camcal::Image again;
      if (!camcal::decodeImage(encoded, {}, &again, &reason) || again.width != image.width) {
        __builtin_trap();
      }
    }
  }
  return 0;
}
