// Writing results: to standard output, or to files that appear whole or not
// at all, one alone or several together, without replacing what a path names
// when that is not a regular file.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace camcal {

// Writes content to path:
// - empty, "-" or "/dev/stdout": standard output;
// - a regular file, or nothing yet: a temporary file in the same directory,
//   written, synced and renamed over path once complete (with the directory
//   synced too), so that a failure never leaves a partial file and readers
//   never see one; a file that is replaced keeps its mode and owner;
// - a symbolic link: followed, and its final target written by the rules
//   above in the target's own directory, so the link keeps pointing at a
//   file that is now new;
// - anything else that is not a directory (a FIFO, a character device such
//   as /dev/null): opened and written in place, never replaced.
// Throws an operation error "PATH: cannot write: <reason>".
void writeOutput(const std::string& path, const std::string& content);

// The outputs of one run, which appear together or not at all. Each file is
// written to its temporary file when it is added (as writeOutput would
// write it); commit() renames them into place in the order they were added,
// with SIGINT, SIGTERM and SIGHUP held off until the last is in place, and
// then writes what goes to standard output, a FIFO or a device. A batch
// destroyed without commit(), an exception or a signal (see
// installSignalCleanup) removes every temporary file and every directory the
// batch created: every existing file stays as it was.
class OutputBatch {
 public:
  OutputBatch() = default;
  ~OutputBatch();
  OutputBatch(const OutputBatch&) = delete;
  OutputBatch& operator=(const OutputBatch&) = delete;

  void add(const std::string& path, const std::string& content);
  // A file that must not exist yet (a backup): never written through a
  // symbolic link nor over anything that appears there meanwhile, with the
  // permission bits `mode` and, where the process may give a file away, the
  // owner uid and gid.
  void addNew(const std::string& path, const std::string& content, mode_t mode, uid_t uid,
              gid_t gid);
  // A directory for the outputs that follow, made now when missing.
  void addDirectory(const std::string& path);
  void commit();

 private:
  struct Entry {
    enum class Kind { kReplace, kNew, kInPlace, kStandardOutput };
    Kind kind;
    std::string path;       // as given, for messages
    std::string target;     // the file renamed over or created
    std::string temporary;  // written, waiting for commit
    std::string content;    // of what is written at commit (in place, standard output)
  };
  std::vector<Entry> entries_;
  std::vector<std::string> made_directories_;
  bool committed_ = false;
};

// On SIGINT, SIGTERM, SIGHUP and SIGXFSZ (a file size limit reached while
// writing): removes the temporary files and directories of every output
// being written, then ends the process by the same signal. A signal ignored
// when camcal starts (nohup) stays ignored.
void installSignalCleanup();

// True when path means standard output.
inline bool isStandardOutput(const std::string& path) {
  return path.empty() || path == "-" || path == "/dev/stdout";
}

// What a path names once every symbolic link is followed: the same file (by
// device and inode) when it exists, else the same absolute path, "." and ".."
// resolved. Two paths name one file when their identities are equal.
struct FileIdentity {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  mode_t type = 0;     // S_IFREG, S_IFCHR, ... of what exists
  std::string target;  // the absolute path a file not there yet would get
  bool operator==(const FileIdentity& other) const;
};
FileIdentity fileIdentity(const std::string& path);

// Where a backup of path goes: path.bak, or when that is taken the first of
// path.bak.1, path.bak.2, ... that is free, so that no backup ever replaces
// an older one. Throws an operation error for a name in that sequence that
// is a symbolic link or not a regular file (a backup is never written
// through one), and when every name up to path.bak.999 is taken.
std::string backupPath(const std::string& path);

// Binary data (wire format) is not written to a terminal: throws a usage
// error when path means standard output and that is a terminal.
void refuseBinaryOnTerminal(const std::string& path);

}  // namespace camcal
