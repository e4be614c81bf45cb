// Turns a text into a regular expression that matches it literally, for the
// death tests that look for an exact log text on stderr.
#pragma once

#include <cstring>
#include <string>

namespace dravik::testing {

inline std::string regexLiteral(const std::string& text) {
  std::string pattern;
  for (char c : text) {
    if (std::strchr("\\^$.|?*+()[]{}", c) != nullptr) pattern += '\\';
    pattern += c;
  }
  return pattern;
}

}  // namespace dravik::testing
