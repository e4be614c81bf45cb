// Writing results: to standard output, or to a file that appears whole or
// not at all, without replacing what the path names when that is not a
// regular file.
#pragma once

#include <string>

namespace camcal {

// Writes content to path:
// - empty, "-" or "/dev/stdout": standard output;
// - a regular file, or nothing yet: a temporary file in the same directory,
//   written, synced and renamed over path once complete (with the directory
//   synced too), so that a failure never leaves a partial file and readers
//   never see one; a file that is replaced keeps its mode and owner;
// - a symbolic link: followed, and its final target written by the rules
//   above in the target's own directory, so the link keeps pointing at a
//   file that is now new;
// - anything else that is not a directory (a FIFO, a character device such
//   as /dev/null): opened and written in place, never replaced.
// Throws an operation error "PATH: cannot write: <reason>".
void writeOutput(const std::string& path, const std::string& content);

// True when path means standard output.
inline bool isStandardOutput(const std::string& path) {
  return path.empty() || path == "-" || path == "/dev/stdout";
}

// Binary data (wire format) is not written to a terminal: throws a usage
// error when path means standard output and that is a terminal.
void refuseBinaryOnTerminal(const std::string& path);

}  // namespace camcal
