#include "dravik/file.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

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
  char buffer[1 << 16];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), file)) > 0) data.append(buffer, n);
  // A directory opens but cannot be read: ferror tells it from an empty file.
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) return false;
  *contents = std::move(data);
  return true;
}

}  // namespace dravik
