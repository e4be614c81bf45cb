// Running the installed camcal as a user would, and the fixtures it reads.
#pragma once

#include <string>
#include <vector>

namespace camcal_test {

struct Run {
  int status = -1;  // exit status; -1 when camcal did not exit normally
  std::string out;
  std::string err;
};

// Runs the installed camcal with args, standard input from stdin_path
// (/dev/null when empty), with no library path of the build tree in the
// environment.
Run runCamcal(const std::vector<std::string>& args, const std::string& stdin_path = "");

// A file of tests/camcal/data.
std::string fixture(const std::string& name);
// A file of the repository (e.g. "data/ptz_camera_example.txt").
std::string repositoryFile(const std::string& name);
bool fileExists(const std::string& path);
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

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

// The lines of text, without their newlines.
std::vector<std::string> lines(const std::string& text);

}  // namespace camcal_test
