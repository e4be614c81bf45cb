// Numbers as people read and write them: the shortest decimal that reads back
// as the same value, so that 0.045f prints as 0.045 rather than 0.0450000018.
#pragma once

#include <string>

namespace camcal {

// The shortest decimal text that parses back to exactly `value`.
std::string formatNumber(float value);
std::string formatNumber(double value);

// The double nearest to the shortest decimal of `value`. Emitters that print
// doubles (JSON, YAML) then write the decimal a person would have written,
// and a reader that rounds it to float gets `value` back exactly.
double decimalOf(float value);

// The value through a printf format of one double ("%.3f", "%g").
std::string formatPrintf(const char* format, double value);

}  // namespace camcal
