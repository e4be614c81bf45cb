// Running the installed camcal as a user would, the fixtures it reads, and
// the check of a table of runs.
#pragma once

#include <string>
#include <vector>

namespace camcal_test {

constexpr int kFailed = 1;  // a failed operation
constexpr int kUsage = 2;   // a command-line mistake

struct Run {
  int status = -1;  // exit status, 128 + the signal when camcal was killed
  std::string out;
  std::string err;
};

// Runs the installed camcal with args, standard input from stdin_path
// (/dev/null when empty), with no library path of the build tree in the
// environment.
Run runCamcal(const std::vector<std::string>& args, const std::string& stdin_path = "");

// One run of camcal and what it must answer.
struct Expected {
  std::vector<std::string> args;
  int status;
  // Parts of stdout in this order, compared with runs of spaces squeezed to
  // one, so that column widths do not matter.
  std::vector<std::string> out;
  // The one stderr line after "camcal: " holds this; empty: stderr is empty.
  // A failure with a message prints nothing on stdout.
  std::string err = "";
  std::string absent = "";  // a text stdout must not hold
};
void expectRuns(const std::vector<Expected>& runs);

// A file of tests/camcal/data.
std::string fixture(const std::string& name);
// The example PTZ calibration of the repository.
std::string ptzExample();
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
// text with its first `from` replaced by `to` (which must be there).
std::string replaced(std::string text, const std::string& from, const std::string& to);

// A fresh directory, removed with its contents at the end of the scope.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  std::vector<std::string> entries() const;

 private:
  std::string dir_;
};

}  // namespace camcal_test
