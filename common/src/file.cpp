#define DRAVIK_LOG_FILE "common/file"

#include "dravik/file.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <utility>

#include "dravik/logging.h"

namespace dravik {
namespace {

struct EmbeddedEntry {
  const char* data;
  size_t size;
};

// The table of embedded files: filled when modules load, read afterwards.
struct EmbeddedTable {
  std::mutex mutex;
  std::map<std::string, EmbeddedEntry> files;
};

EmbeddedTable& embeddedTable() {
  static EmbeddedTable table;
  return table;
}

bool startsWith(const std::string& text, const char* prefix) {
  const size_t n = std::strlen(prefix);
  return text.size() >= n && text.compare(0, n, prefix) == 0;
}

}  // namespace

std::string operator+(EmbeddedPathPrefix prefix, const std::string& name) {
  return std::string(prefix.text) + name;
}

std::string operator+(EmbeddedPathPrefix prefix, const char* name) {
  return std::string(prefix.text) + name;
}

constexpr EmbeddedPathPrefix EmbeddedFile::kEmbeddedPrefix;
constexpr size_t File::kMaxFileBytes;

void EmbeddedFile::registerFile(const char* name, const char* data, size_t size) {
  EmbeddedTable& table = embeddedTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.files[name] = EmbeddedEntry{data, size};
}

void EmbeddedFile::unregisterFile(const char* name) {
  EmbeddedTable& table = embeddedTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.files.erase(name);
}

bool EmbeddedFile::find(const std::string& name, std::string* contents) {
  if (contents == nullptr) return false;
  EmbeddedTable& table = embeddedTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  const auto it = table.files.find(name);
  if (it == table.files.end()) return false;
  contents->assign(it->second.data, it->second.size);
  return true;
}

bool File::readFileToString(const std::string& path, std::string* contents) {
  if (contents == nullptr) return false;
  const char* prefix = EmbeddedFile::kEmbeddedPrefix.text;
  if (startsWith(path, prefix)) {
    return EmbeddedFile::find(path.substr(std::strlen(prefix)), contents);
  }
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::string data;
  bool failed = false, too_large = false;
  try {
    char buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), file)) > 0) {
      if (n > kMaxFileBytes - data.size()) {
        too_large = true;
        break;
      }
      data.append(buffer, n);
    }
    // A directory opens but cannot be read: ferror tells it from an empty file.
    failed = too_large || std::ferror(file) != 0;
  } catch (const std::bad_alloc&) {
    failed = true;
    DRAVIK_LOG(2, "file") << "Out of memory reading " << path;
  }
  std::fclose(file);
  if (too_large) {
    DRAVIK_LOG(2, "file") << "File " << path << " is larger than " << kMaxFileBytes << " bytes";
  }
  if (failed) return false;
  *contents = std::move(data);
  return true;
}

}  // namespace dravik
