#include "cli/number_format.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace camcal {

namespace {
// Plain decimals between these magnitudes (0.0006, not 6e-04), scientific
// notation beyond them.
constexpr double kSmallestPlain = 1e-5;
constexpr double kLargestPlain = 1e15;

template <typename T>
std::string shortest(T value) {
  char buffer[512];
  const double magnitude = std::fabs(static_cast<double>(value));
  const bool plain = magnitude == 0.0 || (magnitude >= kSmallestPlain && magnitude < kLargestPlain);
  const auto result =
      std::to_chars(buffer, buffer + sizeof(buffer), value,
                    plain ? std::chars_format::fixed : std::chars_format::scientific);
  std::string text(buffer, result.ptr);
  // -0 reads as 0 to a person; the sign carries no meaning in a calibration.
  return text == "-0" ? "0" : text;
}
}  // namespace

std::string formatNumber(float value) { return shortest(value); }
std::string formatNumber(double value) { return shortest(value); }

double decimalOf(float value) {
  const std::string text = shortest(value);
  return std::strtod(text.c_str(), nullptr);
}

std::string formatPrintf(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

}  // namespace camcal
