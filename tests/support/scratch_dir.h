// A fresh directory of its own under the temporary directory (mkdtemp) for
// tests that write files, removed with its contents at the end of the scope.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace dravik::testing {

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

struct ScratchDir {
  ScratchDir() : dir(std::filesystem::temp_directory_path() / "camera_parameters_test.XXXXXX") {
    if (!::mkdtemp(dir.data())) ADD_FAILURE() << "no scratch directory " << dir;
  }
  ~ScratchDir() { std::filesystem::remove_all(dir); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string path(const std::string& name) const { return dir + "/" + name; }
  // `text` written as the file `name`; its path.
  std::string write(const std::string& name, const std::string& text) const {
    std::ofstream(path(name), std::ios::binary) << text;
    return path(name);
  }
  // The file `source` with its first `from` replaced by `to`, written as `name`.
  std::string variant(const std::string& name, const std::string& source, const std::string& from,
                      const std::string& to) const {
    std::string text = readFile(source);
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return write(name, text);
  }
  std::string dir;
};

}  // namespace dravik::testing
