// camcal -o: a regular file is replaced whole, a symbolic link's target is
// replaced, anything else (a FIFO, a device, standard output) written in place.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "run_camcal.h"

namespace {

using namespace camcal_test;

struct stat statusOf(const std::string& path, bool follow = true) {
  struct stat status {};
  EXPECT_EQ(follow ? ::stat(path.c_str(), &status) : ::lstat(path.c_str(), &status), 0) << path;
  return status;
}

size_t entriesIn(const std::string& directory) {
  return size_t(std::distance(std::filesystem::directory_iterator(directory), {}));
}

TEST(CamcalOutput, EachKindOfPathIsWrittenAndOnlyARegularFileIsReplaced) {
  const std::string printed = runCamcal({"convert", kBaseCal, "--to", "text"}).out;
  ASSERT_FALSE(printed.empty());
  ScratchDir scratch;
  // A regular file keeps its mode (and, run as root, its owner).
  const std::string regular = scratch.write("regular.txt", "old");
  ::chmod(regular.c_str(), 0640);
  const bool root = ::geteuid() == 0;
  EXPECT_TRUE(!root || ::chown(regular.c_str(), 12345, 54321) == 0);
  // A deployed file reached through two links, and a link to nothing yet.
  std::filesystem::create_directory(scratch.path("persist"));
  const std::string deployed = scratch.write("persist/cal.txt", "old");
  ::chmod(deployed.c_str(), 0600);
  std::filesystem::create_symlink("persist/cal.txt", scratch.path("link.txt"));
  std::filesystem::create_symlink(scratch.path("link.txt"), scratch.path("link2.txt"));
  std::filesystem::create_symlink("persist/new.txt", scratch.path("dangling.txt"));
  EXPECT_EQ(::mkfifo(scratch.path("fifo").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/null", scratch.path("null"));
  std::filesystem::create_directory(scratch.path("directory"));
  const struct {
    std::string path;   // given to -o
    mode_t type;        // of the path itself afterwards
    std::string holds;  // the file that holds the text, "-" for standard output
    std::string err;    // after "camcal: PATH: "
  } rows[] = {
      {regular, S_IFREG, regular, ""},
      {scratch.path("link2.txt"), S_IFLNK, deployed, ""},
      {scratch.path("dangling.txt"), S_IFLNK, scratch.path("persist/new.txt"), ""},
      {scratch.path("fifo"), S_IFIFO, "", ""},
      {scratch.path("null"), S_IFLNK, "", ""},
      {"/dev/full", S_IFCHR, "", "cannot write: No space left on device"},
      {"-", 0, "-", ""},
      {scratch.path("directory"), S_IFDIR, "", "cannot write: Is a directory"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    // A FIFO's reader, opened before camcal so that neither side blocks; the
    // text fits in the pipe's buffer.
    const bool fifo = row.type == S_IFIFO;
    const int reader = fifo ? ::open(row.path.c_str(), O_RDONLY | O_NONBLOCK) : -1;
    const camcal_test::Run run = runCamcal({"convert", kBaseCal, "--to", "text", "-o", row.path});
    EXPECT_EQ(run.status, row.err.empty() ? 0 : kFailed) << run.err;
    EXPECT_EQ(run.err, row.err.empty() ? "" : "camcal: " + row.path + ": " + row.err + "\n");
    EXPECT_EQ(run.out, row.holds == "-" ? printed : "");
    EXPECT_TRUE(row.holds.empty() || row.holds == "-" || readFile(row.holds) == printed);
    EXPECT_EQ(row.type ? statusOf(row.path, false).st_mode & S_IFMT : 0, row.type);
    if (fifo) {
      std::string received(printed.size() + 1, '\0');
      const ssize_t n = ::read(reader, received.data(), received.size());
      ::close(reader);
      EXPECT_EQ(received.substr(0, size_t(std::max<ssize_t>(n, 0))), printed);
    }
  }
  const struct stat status = statusOf(regular);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
  EXPECT_TRUE(!root || (status.st_uid == 12345u && status.st_gid == 54321u));
  EXPECT_EQ(statusOf(deployed).st_mode & 07777, 0600u);
  EXPECT_EQ(std::filesystem::read_symlink(scratch.path("link.txt")), "persist/cal.txt");
  EXPECT_EQ(entriesIn(scratch.path("persist")), 2u);  // no temporary file left
  EXPECT_EQ(entriesIn(scratch.path("directory")), 0u);
}

// A pipe is written into through any link to it: /dev/stdout itself, and a
// link of the scratch directory to /dev/stdout (which the kernel resolves to
// the pipe, a name no file system holds).
TEST(CamcalOutput, LinksToStandardOutputWriteIntoThePipe) {
  const std::string printed = runCamcal({"convert", kBaseCal, "--to", "text"}).out;
  ScratchDir scratch, received;
  std::filesystem::create_symlink("/dev/stdout", scratch.path("stdout"));
  for (const std::string& path : {std::string("/dev/stdout"), scratch.path("stdout")}) {
    SCOPED_TRACE(path);
    const std::string command = std::string("env -u LD_LIBRARY_PATH '") + CAMCAL_INSTALLED_BINARY +
                                "' convert '" + kBaseCal + "' --to text -o '" + path +
                                "' | cat >'" + received.path("out") + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(readFile(received.path("out")), printed);
  }
  EXPECT_TRUE(std::filesystem::is_symlink(scratch.path("stdout")));
  EXPECT_EQ(entriesIn(scratch.dir), 1u);
}

}  // namespace
