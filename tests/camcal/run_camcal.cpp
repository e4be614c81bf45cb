#include "run_camcal.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <stdexcept>

namespace camcal_test {

std::string fixture(const std::string& name) { return std::string(CAMCAL_TEST_DATA) + "/" + name; }

std::string ptzExample() {
  return std::string(CAMERA_PARAMETERS_SOURCE_DIR) + "/data/ptz_camera_example.txt";
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const auto at = text.find(from);
  if (at == std::string::npos) ADD_FAILURE() << "no '" << from << "' to replace";
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

ScratchDir::ScratchDir() {
  std::string pattern = std::filesystem::temp_directory_path() / "camcal_test.XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
}

ScratchDir::~ScratchDir() { std::filesystem::remove_all(dir_); }

std::vector<std::string> ScratchDir::entries() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_))
    names.push_back(entry.path().filename());
  return names;
}

std::string shellQuoted(const std::string& word) {
  return "'" + std::regex_replace(word, std::regex("'"), "'\\''") + "'";
}

Run runCamcal(const std::vector<std::string>& args, const std::string& stdin_path) {
  ScratchDir scratch;
  // The installed binary must find its libraries on its own.
  std::string command = "env -u LD_LIBRARY_PATH " + shellQuoted(CAMCAL_INSTALLED_BINARY);
  for (const auto& arg : args) command += " " + shellQuoted(arg);
  command += " <" + shellQuoted(stdin_path.empty() ? "/dev/null" : stdin_path) + " >" +
             shellQuoted(scratch.path("out")) + " 2>" + shellQuoted(scratch.path("err"));
  const int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(scratch.path("out")),
          readFile(scratch.path("err"))};
}

void expectRuns(const std::vector<Expected>& runs) {
  for (const auto& expected : runs) {
    SCOPED_TRACE("camcal " + ::testing::PrintToString(expected.args));
    const Run run = runCamcal(expected.args);
    EXPECT_EQ(run.status, expected.status) << run.err;
    const std::string out = std::regex_replace(run.out, std::regex(" +"), " ");
    for (size_t i = 0, from = 0; i < expected.out.size() && from != std::string::npos; ++i) {
      from = out.find(expected.out[i], from);
      EXPECT_NE(from, std::string::npos) << "no '" << expected.out[i] << "' in\n" << out;
    }
    EXPECT_TRUE(expected.absent.empty() || out.find(expected.absent) == std::string::npos)
        << expected.absent;
    if (expected.err.empty()) {
      EXPECT_EQ(run.err, "");
      continue;
    }
    EXPECT_TRUE(run.err.rfind("camcal: ", 0) == 0 &&
                run.err.find(expected.err) != std::string::npos &&
                run.err.find('\n') == run.err.size() - 1)
        << run.err;
    EXPECT_TRUE(run.status == 0 || run.out.empty()) << run.out;
  }
}

}  // namespace camcal_test
