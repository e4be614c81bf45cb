// Whole-file reads, from the file system or from files compiled into a
// loaded module.
//
// A path that starts with EmbeddedFile::kEmbeddedPrefix names an embedded
// file: `EmbeddedFile::kEmbeddedPrefix + "calibration/default_head_cal.txt"`.
// Modules that carry embedded files register them when they are loaded.
#pragma once

#include <cstddef>
#include <string>

namespace dravik {

class File {
 public:
  // The most a read takes: 256 MiB, far above any calibration, so that a
  // path such as /dev/zero cannot exhaust memory.
  static constexpr size_t kMaxFileBytes = size_t{256} << 20;

  // Reads the whole content of path into *contents. Returns false, leaving
  // *contents unchanged, when the file cannot be read (or contents is null),
  // and when it holds more than kMaxFileBytes (logged at level 2, tag
  // "file"). Throws nothing: a failed allocation is a failed read.
  static bool readFileToString(const std::string& path, std::string* contents);
};

// The prefix that marks a path as embedded. A literal type, so that it is a
// compile-time constant and still composes with a name by operator+.
struct EmbeddedPathPrefix {
  const char* text;
};
std::string operator+(EmbeddedPathPrefix prefix, const std::string& name);
std::string operator+(EmbeddedPathPrefix prefix, const char* name);

class EmbeddedFile {
 public:
  static constexpr EmbeddedPathPrefix kEmbeddedPrefix{"embedded://"};

  // Registers data (not copied; it must outlive the process, as static data
  // of a loaded module does) under name, the path without the prefix. A
  // later registration of the same name replaces the earlier one.
  static void registerFile(const char* name, const char* data, size_t size);
  // Forgets the file registered under name (a module that is unloaded must
  // unregister its files, whose data goes away with it).
  static void unregisterFile(const char* name);

  // Looks an embedded file up by name (without the prefix) and copies its
  // content into *contents. False, leaving *contents unchanged, when there is
  // no such file (or contents is null).
  static bool find(const std::string& name, std::string* contents);
};

}  // namespace dravik
