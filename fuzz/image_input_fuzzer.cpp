// Decodes arbitrary bytes as camcal reads an image (PNG or JPEG), and
// encodes what decodes back in both formats: a damaged or hostile file must
// be refused with a reason, never crash or be returned in part.
#include <cstdint>
#include <string>

#include "image_codec.h"
#include "quiet_logs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quietLogs();
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  camcal::Image image;
  std::string reason;
  if (!camcal::decodeImage(bytes, &image, &reason)) {
    if (reason.empty()) __builtin_trap();
    return 0;
  }
  if (image.pixels.size() != size_t(image.width) * image.height * image.channels) {
    __builtin_trap();
  }
  // Small images only: the round trip is about the coding, not the size.
  if (size_t(image.width) * image.height <= 4096) {
    std::string encoded;
    for (const bool jpeg : {false, true}) {
      if (!camcal::encodeImage(image, jpeg, &encoded, &reason)) __builtin_trap();
      camcal::Image again;
      if (!camcal::decodeImage(encoded, &again, &reason) || again.width != image.width) {
        __builtin_trap();
      }
    }
  }
  return 0;
}
