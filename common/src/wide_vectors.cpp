#include "dravik/wide_vectors.h"

#include <cstdlib>
#include <cstring>

namespace dravik {
namespace {

// CAMERA_PARAMETERS_BASELINE set to anything but "" or "0".
bool baselineRequested() {
  const char* value = std::getenv("CAMERA_PARAMETERS_BASELINE");
  return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

VectorPaths detect() {
  if (baselineRequested()) return {false, false, "baseline"};
#if defined(__GNUC__) && defined(__x86_64__)
  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2");
  const bool fma = avx2 && __builtin_cpu_supports("fma");
  return {avx2, fma, fma ? "avx2+fma" : avx2 ? "avx2" : "baseline"};
#elif defined(__GNUC__) && defined(__aarch64__)
  // Advanced SIMD and FMA belong to every 64-bit ARM processor.
  return {false, true, "neon+fma"};
#else
  return {false, false, "baseline"};
#endif
}

}  // namespace

const VectorPaths& vectorPaths() {
  static const VectorPaths paths = detect();
  return paths;
}

}  // namespace dravik
