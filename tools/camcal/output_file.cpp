#include "output_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <vector>

#include "command_error.h"

namespace camcal {

namespace {

CommandError cannotWrite(const std::string& path, int error) {
  return operationError(path + ": cannot write: " + std::strerror(error));
}

bool writeAll(int fd, const std::string& content) {
  size_t written = 0;
  while (written < content.size()) {
    const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    written += static_cast<size_t>(n);
  }
  return true;
}

// The permissions a newly created file gets: 0666 less the umask.
mode_t newFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

void refuseBinaryOnTerminal(const std::string& path) {
  if (isStandardOutput(path) && ::isatty(STDOUT_FILENO)) {
    throw usageError("wire format is binary: write it with -o FILE or into a pipe");
  }
}

void writeOutput(const std::string& path, const std::string& content) {
  if (isStandardOutput(path)) {
    std::cout.write(content.data(), static_cast<std::streamsize>(content.size()));
    std::cout.flush();
    if (!std::cout) throw operationError("standard output: cannot write");
    return;
  }
  std::string pattern = path + ".tmp.XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) throw cannotWrite(path, errno);
  const std::string temporary(name.data());

  bool ok = ::fchmod(fd, newFileMode()) == 0 && writeAll(fd, content) && ::fsync(fd) == 0;
  int error = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    throw cannotWrite(path, error);
  }
}

}  // namespace camcal
