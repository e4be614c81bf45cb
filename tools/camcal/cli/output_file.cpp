#include "cli/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <vector>

#include "cli/command_error.h"

namespace camcal {

namespace {

// Symbolic links followed before giving up, as the kernel's own limit.
constexpr int kMaxLinks = 40;

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

// The directory part of a path: "." for a bare name, "/" for a name in the root.
std::string directoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// What a path finally names once every symbolic link is followed.
struct Target {
  std::string path;
  bool exists = false;
  struct stat status {};
};

Target resolve(const std::string& original) {
  Target target;
  target.path = original;
  for (int links = 0;; ++links) {
    if (::lstat(target.path.c_str(), &target.status) != 0) {
      if (errno != ENOENT) throw cannotWrite(original, errno);
      target.exists = false;
      return target;
    }
    target.exists = true;
    if (!S_ISLNK(target.status.st_mode)) return target;
    if (links == kMaxLinks) throw cannotWrite(original, ELOOP);
    std::vector<char> buffer(static_cast<size_t>(target.status.st_size) + 256);
    const ssize_t n = ::readlink(target.path.c_str(), buffer.data(), buffer.size());
    if (n < 0) throw cannotWrite(original, errno);
    if (static_cast<size_t>(n) == buffer.size()) throw cannotWrite(original, ENAMETOOLONG);
    const std::string link(buffer.data(), static_cast<size_t>(n));
    target.path =
        !link.empty() && link.front() == '/' ? link : directoryOf(target.path) + "/" + link;
  }
}

// Syncs a directory, so that a rename in it survives a power cut.
bool syncDirectory(const std::string& directory) {
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  // A file system that cannot sync directories says EINVAL: nothing to do.
  const bool ok = ::fsync(fd) == 0 || errno == EINVAL;
  const int error = errno;
  ::close(fd);
  errno = error;
  return ok;
}

// Replaces (or creates) the regular file target.path by a temporary file in
// its directory, renamed over it once written and synced.
void replaceFile(const std::string& original, const Target& target, const std::string& content) {
  std::string pattern = target.path + ".tmp.XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) throw cannotWrite(original, errno);
  const std::string temporary(name.data());

  const mode_t mode = target.exists ? (target.status.st_mode & 07777) : newFileMode();
  bool ok = ::fchmod(fd, mode) == 0;
  // The owner goes back to the replaced file's; only a privileged process may
  // give a file away, and an unprivileged one keeps its own ownership.
  if (ok && target.exists && ::fchown(fd, target.status.st_uid, target.status.st_gid) != 0) {
    ok = errno == EPERM;
  }
  ok = ok && writeAll(fd, content) && ::fsync(fd) == 0;
  int error = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && ::rename(temporary.c_str(), target.path.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    throw cannotWrite(original, error);
  }
  if (!syncDirectory(directoryOf(target.path))) throw cannotWrite(original, errno);
}

// Writes into what the path names (a FIFO, a device), without replacing it.
void writeInPlace(const std::string& original, const std::string& content) {
  const int fd = ::open(original.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) throw cannotWrite(original, errno);
  bool ok = writeAll(fd, content);
  int error = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) throw cannotWrite(original, error);
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
  // What the path names, every link followed by the kernel (which also
  // follows the links of /proc/self/fd to pipes and sockets).
  struct stat status;
  const bool exists = ::stat(path.c_str(), &status) == 0;
  if (!exists && errno != ENOENT) throw cannotWrite(path, errno);
  if (exists && S_ISDIR(status.st_mode)) throw cannotWrite(path, EISDIR);
  if (exists && !S_ISREG(status.st_mode)) {
    writeInPlace(path, content);
    return;
  }
  // A regular file, or nothing yet (a missing file, or a link to one): the
  // file that the last link names is replaced or created.
  replaceFile(path, resolve(path), content);
}

}  // namespace camcal
