// Running the installed camcal as a user would, and checking a table of runs.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace camcal_test {

constexpr int kFailed = 1;  // a failed operation
constexpr int kUsage = 2;   // a command-line mistake

struct Run {
  int status = -1;
  std::string out, err;
};
// The installed camcal, with no library path of the build tree in the
// environment and standard input from stdin_path (/dev/null when empty).
Run runCamcal(const std::vector<std::string>& args, const std::string& stdin_path = "");

// A run must give status, these parts of stdout in order (runs of spaces
// squeezed to one), and one stderr line "camcal: ...err..." (none when err is
// empty); a failure with a message prints nothing on stdout.
struct Expected {
  std::vector<std::string> args;
  int status;
  std::vector<std::string> out;
  std::string err = "";
};
void expectRuns(const std::vector<Expected>& runs);
// A run that succeeds printing `out`, and a run that fails printing only `err`.
inline Expected prints(std::vector<std::string> args, std::vector<std::string> out,
                       std::string err = "") {
  return {std::move(args), 0, std::move(out), std::move(err)};
}
inline Expected fails(int status, std::vector<std::string> args, std::string err) {
  return {std::move(args), status, {}, std::move(err)};
}

inline std::string fixture(const std::string& name) { return CAMCAL_TEST_DATA "/" + name; }
inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}
// A double as camcal's arguments take it back exactly (17 significant digits).
std::string exactText(double value);
// K row by row, the distortion coefficients, the image width and height of an
// output of camcal intrinsics in `format`.
std::vector<float> readIntrinsics(const std::string& format, const std::string& text);
// A gray PNG file of width x height pixels, row by row.
void writeGrayPng(const std::string& path, int width, int height,
                  const std::vector<unsigned char>& pixels);
// Width and height of a PNG file; 0 x 0 when it does not decode.
std::pair<int, int> pngSize(const std::string& path);

// A fresh directory, removed with its contents at the end of the scope.
struct ScratchDir {
  ScratchDir();
  ~ScratchDir() { std::filesystem::remove_all(dir); }
  ScratchDir(const ScratchDir&) = delete;
  std::string path(const std::string& name) const { return dir + "/" + name; }
  // `text` written as the file `name`; its path.
  std::string write(const std::string& name, const std::string& text) const;
  // The file `source` with its first `from` replaced by `to`, written as `name`.
  std::string variant(const std::string& name, const std::string& source, const std::string& from,
                      const std::string& to) const;
  std::string dir;
};

}  // namespace camcal_test
