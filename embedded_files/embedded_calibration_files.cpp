// Registers the compiled-in calibration texts when the module is loaded.
#include <cstddef>

#include "dravik/file.h"

namespace dravik {
namespace embedded {
struct EmbeddedText {
  const char* name;
  const char* data;
  std::size_t size;
};
extern const EmbeddedText kEmbeddedTexts[];
extern const std::size_t kEmbeddedTextCount;
}  // namespace embedded
}  // namespace dravik

namespace {

__attribute__((constructor)) void registerEmbeddedCalibrationFiles() {
  using dravik::embedded::kEmbeddedTextCount;
  using dravik::embedded::kEmbeddedTexts;
  for (std::size_t i = 0; i < kEmbeddedTextCount; ++i) {
    dravik::EmbeddedFile::registerFile(kEmbeddedTexts[i].name, kEmbeddedTexts[i].data,
                                       kEmbeddedTexts[i].size);
  }
}

// The texts go away with the module: forget them when it is unloaded.
__attribute__((destructor)) void unregisterEmbeddedCalibrationFiles() {
  using dravik::embedded::kEmbeddedTextCount;
  using dravik::embedded::kEmbeddedTexts;
  for (std::size_t i = 0; i < kEmbeddedTextCount; ++i) {
    dravik::EmbeddedFile::unregisterFile(kEmbeddedTexts[i].name);
  }
}

}  // namespace

// Referenced by camera_parameters so that linking it always loads this module.
extern "C" {
__attribute__((visibility("default"))) int embedded_calibration_files_dummy = 0;
}
