#include "run_camcal.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace camcal_test {

std::string fixture(const std::string& name) { return std::string(CAMCAL_TEST_DATA) + "/" + name; }

std::string repositoryFile(const std::string& name) {
  return std::string(CAMERA_PARAMETERS_SOURCE_DIR) + "/" + name;
}

bool fileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

ScratchDir::ScratchDir() {
  std::string pattern = (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp");
  pattern += "/camcal_test.XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
}

ScratchDir::~ScratchDir() {
  for (const auto& entry : entries()) ::unlink(path(entry).c_str());
  ::rmdir(dir_.c_str());
}

std::vector<std::string> ScratchDir::entries() const {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(dir_.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  return names;
}

Run runCamcal(const std::vector<std::string>& args, const std::string& stdin_path) {
  ScratchDir scratch;
  const std::string out_path = scratch.path("stdout"), err_path = scratch.path("stderr");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(
      &actions, STDIN_FILENO, stdin_path.empty() ? "/dev/null" : stdin_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);

  std::vector<std::string> argv_strings = {CAMCAL_INSTALLED_BINARY};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : argv_strings) argv.push_back(arg.data());
  argv.push_back(nullptr);
  // The installed binary must find its libraries on its own.
  std::vector<char*> env;
  for (char** e = environ; *e; ++e) {
    if (std::string(*e).rfind("LD_LIBRARY_PATH=", 0) != 0) env.push_back(*e);
  }
  env.push_back(nullptr);

  Run run;
  pid_t pid;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error(std::string("cannot run ") + argv[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = readFile(out_path);
  run.err = readFile(err_path);
  return run;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

}  // namespace camcal_test
