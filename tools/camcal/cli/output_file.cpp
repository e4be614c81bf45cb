#include "cli/output_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <set>
#include <vector>

#include "cli/command_error.h"

namespace camcal {

namespace {

// Symbolic links followed before giving up, as the kernel's own limit.
constexpr int kMaxLinks = 40;
// Backups path.bak, path.bak.1, ... up to this number.
constexpr int kMaxBackups = 999;
// The signals after which no temporary file may stay behind.
constexpr int kCleanedSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGXFSZ};

// The temporary files and made directories of the outputs being written, for
// the signal handler, which may only read them: slots of strings from
// strdup, changed with the signals held off.
constexpr int kRegistrySlots = 64;
using Registry = std::atomic<char*>[kRegistrySlots];
Registry g_temporary_files;
Registry g_made_directories;

// Holds off the cleaned signals in this thread while it lives.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kCleanedSignals) sigaddset(&set, signal);
    pthread_sigmask(SIG_BLOCK, &set, &previous_);
  }
  ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

// Called with the signals held off. A full registry only loses the cleanup
// after a signal; the batch still removes its files itself.
void registerPath(Registry& registry, const char* path) {
  for (auto& slot : registry) {
    char* expected = nullptr;
    if (slot.load() != nullptr) continue;
    char* copy = ::strdup(path);
    if (!slot.compare_exchange_strong(expected, copy)) std::free(copy);
    return;
  }
}

void unregisterPath(Registry& registry, const std::string& path) {
  const SignalsHeld held;
  for (auto& slot : registry) {
    char* current = slot.load();
    if (current && path == current) {
      slot.store(nullptr);
      std::free(current);
      return;
    }
  }
}

void removeTemporary(const std::string& path) {
  ::unlink(path.c_str());
  unregisterPath(g_temporary_files, path);
}

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

// The temporary file beside `near` that content is written to: mode and,
// where the process may give a file away, owner as given (an unprivileged
// process keeps its own ownership). Registered for the signal handler.
std::string writeTemporary(const std::string& original, const std::string& near,
                           const std::string& content, mode_t mode, const struct stat* owner) {
  std::string pattern = near + ".tmp.XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = -1;
  {
    const SignalsHeld held;
    fd = ::mkstemp(name.data());
    if (fd >= 0) registerPath(g_temporary_files, name.data());
  }
  if (fd < 0) throw cannotWrite(original, errno);
  const std::string temporary(name.data());
  bool ok = ::fchmod(fd, mode) == 0;
  if (ok && owner && ::fchown(fd, owner->st_uid, owner->st_gid) != 0) ok = errno == EPERM;
  ok = ok && writeAll(fd, content) && ::fsync(fd) == 0;
  int error = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    removeTemporary(temporary);
    throw cannotWrite(original, error);
  }
  return temporary;
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

void writeStandardOutput(const std::string& content) {
  std::cout.write(content.data(), static_cast<std::streamsize>(content.size()));
  std::cout.flush();
  if (!std::cout) throw operationError("standard output: cannot write");
}

void removeOutputsAndDie(int signal) {
  for (auto& slot : g_temporary_files) {
    if (const char* path = slot.load()) ::unlink(path);
  }
  for (auto& slot : g_made_directories) {
    if (const char* path = slot.load()) ::rmdir(path);
  }
  ::signal(signal, SIG_DFL);
  ::raise(signal);  // delivered once the handler returns
}

}  // namespace

void refuseBinaryOnTerminal(const std::string& path) {
  if (isStandardOutput(path) && ::isatty(STDOUT_FILENO)) {
    throw usageError("wire format is binary: write it with -o FILE or into a pipe");
  }
}

OutputBatch::~OutputBatch() {
  for (const Entry& entry : entries_) {
    if (!entry.temporary.empty()) removeTemporary(entry.temporary);
  }
  for (auto it = made_directories_.rbegin(); it != made_directories_.rend(); ++it) {
    if (!committed_) ::rmdir(it->c_str());
    unregisterPath(g_made_directories, *it);
  }
}

void OutputBatch::add(const std::string& path, const std::string& content) {
  using Kind = Entry::Kind;
  if (isStandardOutput(path)) {
    entries_.push_back({Kind::kStandardOutput, path, "", "", content});
    return;
  }
  // What the path names, every link followed by the kernel (which also
  // follows the links of /proc/self/fd to pipes and sockets).
  struct stat status;
  const bool exists = ::stat(path.c_str(), &status) == 0;
  if (!exists && errno != ENOENT) throw cannotWrite(path, errno);
  if (exists && S_ISDIR(status.st_mode)) throw cannotWrite(path, EISDIR);
  if (exists && !S_ISREG(status.st_mode)) {
    entries_.push_back({Kind::kInPlace, path, path, "", content});
    return;
  }
  // A regular file, or nothing yet (a missing file, or a link to one): the
  // file that the last link names is replaced or created, keeping the
  // replaced file's mode and owner.
  const Target target = resolve(path);
  const mode_t mode = target.exists ? (target.status.st_mode & 07777) : newFileMode();
  entries_.push_back(
      {Kind::kReplace, path, target.path,
       writeTemporary(path, target.path, content, mode, target.exists ? &target.status : nullptr),
       ""});
}

void OutputBatch::addNew(const std::string& path, const std::string& content, mode_t mode,
                         uid_t uid, gid_t gid) {
  struct stat status;
  if (::lstat(path.c_str(), &status) == 0) throw cannotWrite(path, EEXIST);
  if (errno != ENOENT) throw cannotWrite(path, errno);
  struct stat owner {};
  owner.st_uid = uid;
  owner.st_gid = gid;
  entries_.push_back(
      {Entry::Kind::kNew, path, path, writeTemporary(path, path, content, mode, &owner), ""});
}

void OutputBatch::addDirectory(const std::string& path) {
  {
    const SignalsHeld held;
    if (::mkdir(path.c_str(), 0777) == 0) {
      registerPath(g_made_directories, path.c_str());
      made_directories_.push_back(path);
      return;
    }
  }
  struct stat status;
  if (errno == EEXIST && ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return;
  throw operationError(
      path + ": cannot create the directory: " + std::strerror(errno == EEXIST ? ENOTDIR : errno));
}

void OutputBatch::commit() {
  using Kind = Entry::Kind;
  {
    // Once the first file is in place, the rest follow before any signal.
    const SignalsHeld held;
    // New files (backups) first: they replace nothing, and each is in place
    // before the file it keeps is replaced.
    for (const Kind kind : {Kind::kNew, Kind::kReplace}) {
      for (Entry& entry : entries_) {
        if (entry.kind != kind) continue;
        // A new file appears by a hard link, which fails rather than replace
        // anything (a link, a file) that appeared at its name meanwhile.
        const bool placed = kind == Kind::kReplace
                                ? ::rename(entry.temporary.c_str(), entry.target.c_str()) == 0
                                : ::link(entry.temporary.c_str(), entry.target.c_str()) == 0;
        if (!placed) throw cannotWrite(entry.path, errno);
        if (kind == Kind::kNew) ::unlink(entry.temporary.c_str());
        unregisterPath(g_temporary_files, entry.temporary);
        entry.temporary.clear();
      }
    }
    committed_ = true;
  }
  std::set<std::string> directories;
  for (const Entry& entry : entries_) {
    if (entry.kind == Kind::kReplace || entry.kind == Kind::kNew) {
      directories.insert(directoryOf(entry.target));
    }
  }
  for (const std::string& directory : directories) {
    if (!syncDirectory(directory)) throw cannotWrite(directory, errno);
  }
  for (const Entry& entry : entries_) {
    if (entry.kind == Kind::kInPlace) writeInPlace(entry.path, entry.content);
    if (entry.kind == Kind::kStandardOutput) writeStandardOutput(entry.content);
  }
}

void writeOutput(const std::string& path, const std::string& content) {
  OutputBatch batch;
  batch.add(path, content);
  batch.commit();
}

void installSignalCleanup() {
  struct sigaction action {};
  action.sa_handler = removeOutputsAndDie;
  sigemptyset(&action.sa_mask);
  for (int signal : kCleanedSignals) sigaddset(&action.sa_mask, signal);
  for (int signal : kCleanedSignals) {
    struct sigaction previous {};
    if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    ::sigaction(signal, &action, nullptr);
  }
}

bool FileIdentity::operator==(const FileIdentity& other) const {
  if (exists != other.exists) return false;
  return exists ? device == other.device && inode == other.inode : target == other.target;
}

FileIdentity fileIdentity(const std::string& path) {
  FileIdentity identity;
  struct stat status;
  if (::stat(path.c_str(), &status) == 0) {
    identity.exists = true;
    identity.device = status.st_dev;
    identity.inode = status.st_ino;
    identity.type = status.st_mode & S_IFMT;
    return identity;
  }
  // A file not there yet, perhaps behind a dangling link.
  std::string target = path;
  try {
    target = resolve(path).path;
  } catch (const CommandError&) {
  }
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(target, error);
  identity.target = std::filesystem::weakly_canonical(absolute, error).string();
  if (error) identity.target = absolute.lexically_normal().string();
  return identity;
}

std::string backupPath(const std::string& path) {
  for (int i = 0; i <= kMaxBackups; ++i) {
    const std::string name = path + ".bak" + (i == 0 ? "" : "." + std::to_string(i));
    struct stat status;
    if (::lstat(name.c_str(), &status) != 0) {
      if (errno == ENOENT) return name;
      throw cannotWrite(name, errno);
    }
    if (S_ISLNK(status.st_mode)) {
      throw operationError(name +
                           ": is a symbolic link, and a backup is never written through "
                           "one: remove it, or write the calibration elsewhere with -o");
    }
    if (!S_ISREG(status.st_mode)) {
      throw operationError(name +
                           ": is not a regular file, and a backup is never written over "
                           "one: remove it, or write the calibration elsewhere with -o");
    }
  }
  throw operationError(path + ": every backup name up to " + path + ".bak." +
                       std::to_string(kMaxBackups) + " is taken: remove old backups");
}

}  // namespace camcal
