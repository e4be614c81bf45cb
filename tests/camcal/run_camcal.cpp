#include "run_camcal.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <regex>

namespace camcal_test {

ScratchDir::ScratchDir() : dir(std::filesystem::temp_directory_path() / "camcal_test.XXXXXX") {
  if (!::mkdtemp(dir.data())) ADD_FAILURE() << "no scratch directory " << dir;
}

Run runCamcal(const std::vector<std::string>& args, const std::string& stdin_path) {
  const auto quoted = [](const std::string& word) {
    return "'" + std::regex_replace(word, std::regex("'"), "'\\''") + "'";
  };
  ScratchDir scratch;
  std::string command = "env -u LD_LIBRARY_PATH " + quoted(CAMCAL_INSTALLED_BINARY);
  for (const auto& arg : args) command += " " + quoted(arg);
  command += " <" + quoted(stdin_path.empty() ? "/dev/null" : stdin_path) + " >" +
             quoted(scratch.path("out")) + " 2>" + quoted(scratch.path("err"));
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
    const bool one_line = run.err.find('\n') + 1 == run.err.size();
    EXPECT_TRUE(expected.err.empty() ? run.err.empty()
                                     : run.err.rfind("camcal: ", 0) == 0 && one_line &&
                                           run.err.find(expected.err) != std::string::npos &&
                                           (run.status == 0 || run.out.empty()))
        << run.err << run.out;
  }
}

}  // namespace camcal_test
