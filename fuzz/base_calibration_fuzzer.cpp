// Loads arbitrary bytes as a base calibration, then reads every getter and
// round-trips the calibration in force through its wire format.
#include <cstdint>
#include <cstring>
#include <string>

#include "calibration_common/base_calibration_data.h"
#include "quiet_logs.h"

namespace {

// Bitwise equality, so that NaN values read from the input compare equal.
template <typename Matrix>
bool sameBits(const Matrix& a, const Matrix& b) {
  return std::memcmp(a.data(), b.data(), sizeof(typename Matrix::Scalar) * a.size()) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quietLogs();
  using dravik::calibration::BaseCalibrationData;
  const std::string input(reinterpret_cast<const char*>(data), size);

  BaseCalibrationData base;
  base.loadFromString(input);
  volatile float sink = base.getBaseLength() + base.getBaseWidth() + base.getWheelBase() +
                        base.getGyroscopeGain() + base.getWorldRotation().sum() +
                        base.getWorldTranslation().sum();
  sink = sink + static_cast<float>(base.isGlobalTransformCalibrationValid("") +
                                   base.isGyroscopeGainCalibrationValid(""));

  // What is in force always reloads as itself.
  const std::string wire = base.cal().SerializeAsString();
  BaseCalibrationData reloaded(base);
  if (!reloaded.loadFromString(wire) || reloaded.cal().SerializeAsString() != wire ||
      !sameBits(reloaded.getWorldRotation(), base.getWorldRotation()) ||
      !sameBits(reloaded.getWorldTranslation(), base.getWorldTranslation())) {
    __builtin_trap();
  }
  return 0;
}
