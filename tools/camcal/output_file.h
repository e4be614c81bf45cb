// Writing results: to standard output, or to a file that appears whole or
// not at all.
#pragma once

#include <string>

namespace camcal {

// Writes content to path, or to standard output when path is empty or "-".
// A file is written to a temporary file in the same directory and renamed
// over path once complete, so that a failure never leaves a partial file
// and readers never see one. Throws an operation error "PATH: cannot write:
// <reason>".
void writeOutput(const std::string& path, const std::string& content);

// True when path means standard output.
inline bool isStandardOutput(const std::string& path) { return path.empty() || path == "-"; }

// Binary data (wire format) is not written to a terminal: throws a usage
// error when path means standard output and that is a terminal.
void refuseBinaryOnTerminal(const std::string& path);

}  // namespace camcal
