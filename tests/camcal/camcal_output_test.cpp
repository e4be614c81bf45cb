// camcal -o on every kind of path: a regular file is replaced whole, a
// symbolic link keeps pointing at its (replaced) target, and what is neither
// (a FIFO, a device, standard output) is written in place, never replaced.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "run_camcal.h"

namespace {

using namespace camcal_test;

const std::string base = fixture("base_calibration.txt");

struct stat statusOf(const std::string& path, bool follow = true) {
  struct stat status {};
  EXPECT_EQ(follow ? ::stat(path.c_str(), &status) : ::lstat(path.c_str(), &status), 0) << path;
  return status;
}

size_t entriesIn(const std::string& directory) {
  return size_t(std::distance(std::filesystem::directory_iterator(directory), {}));
}

Run convertTo(const std::string& path) {
  return runCamcal({"convert", base, "--to", "text", "-o", path});
}

TEST(CamcalOutput, EachKindOfPathIsWrittenAndOnlyARegularFileIsReplaced) {
  const std::string printed = runCamcal({"convert", base, "--to", "text"}).out;
  ASSERT_FALSE(printed.empty());
  ScratchDir scratch;
  std::filesystem::create_directory(scratch.path("persist"));
  const std::string deployed = scratch.path("persist/cal.txt");

  struct Row {
    std::string name;
    int status;
    std::function<std::string()> make;  // the path given to -o
    std::function<void(const std::string& path, const camcal_test::Run& run)> check;
  };
  const std::vector<Row> rows = {
      {"a regular file keeps its mode (and, run as root, its owner)", 0,
       [&] {
         const std::string path = scratch.write("regular.txt", "old");
         ::chmod(path.c_str(), 0640);
         if (::geteuid() == 0) {
           EXPECT_EQ(::chown(path.c_str(), 12345, 54321), 0);
         }
         return path;
       },
       [&](const std::string& path, const camcal_test::Run& run) {
         EXPECT_EQ(run.out, "");
         EXPECT_EQ(readFile(path), printed);
         const struct stat status = statusOf(path);
         EXPECT_TRUE(S_ISREG(status.st_mode));
         EXPECT_EQ(status.st_mode & 07777, 0640u);
         if (::geteuid() == 0) {
           EXPECT_EQ(status.st_uid, 12345u);
           EXPECT_EQ(status.st_gid, 54321u);
         }
       }},
      {"a symbolic link to a deployed file, through a second link", 0,
       [&] {
         scratch.write("persist/cal.txt", "old");
         ::chmod(deployed.c_str(), 0600);
         std::filesystem::create_symlink("persist/cal.txt", scratch.path("link.txt"));
         std::filesystem::create_symlink(scratch.path("link.txt"), scratch.path("link2.txt"));
         return scratch.path("link2.txt");
       },
       [&](const std::string&, const camcal_test::Run&) {
         EXPECT_EQ(std::filesystem::read_symlink(scratch.path("link.txt")), "persist/cal.txt");
         EXPECT_TRUE(std::filesystem::is_symlink(scratch.path("link2.txt")));
         EXPECT_EQ(readFile(deployed), printed);
         EXPECT_EQ(statusOf(deployed).st_mode & 07777, 0600u);
         EXPECT_EQ(entriesIn(scratch.path("persist")), 1u);  // no temporary file left
       }},
      {"a symbolic link to nothing yet creates its target", 0,
       [&] {
         std::filesystem::create_symlink("persist/new.txt", scratch.path("dangling.txt"));
         return scratch.path("dangling.txt");
       },
       [&](const std::string& path, const camcal_test::Run&) {
         EXPECT_TRUE(std::filesystem::is_symlink(path));
         EXPECT_EQ(readFile(scratch.path("persist/new.txt")), printed);
       }},
      {"a FIFO is written into, and stays a FIFO", 0,
       [&] {
         EXPECT_EQ(::mkfifo(scratch.path("fifo").c_str(), 0600), 0);
         return scratch.path("fifo");
       },
       [&](const std::string& path, const camcal_test::Run&) {
         EXPECT_TRUE(S_ISFIFO(statusOf(path, false).st_mode));
       }},
      {"a symbolic link to /dev/null", 0,
       [&] {
         std::filesystem::create_symlink("/dev/null", scratch.path("null"));
         return scratch.path("null");
       },
       [&](const std::string& path, const camcal_test::Run&) {
         EXPECT_TRUE(std::filesystem::is_symlink(path));
         EXPECT_TRUE(S_ISCHR(statusOf("/dev/null").st_mode));
       }},
      {"/dev/null itself, written to only", 0, [] { return std::string("/dev/null"); },
       [](const std::string&, const camcal_test::Run&) {
         EXPECT_TRUE(S_ISCHR(statusOf("/dev/null", false).st_mode));
       }},
      {"a full device reports the failure", kFailed, [] { return std::string("/dev/full"); },
       [](const std::string& path, const camcal_test::Run& run) {
         EXPECT_EQ(run.err, "camcal: " + path + ": cannot write: No space left on device\n");
         EXPECT_TRUE(S_ISCHR(statusOf(path, false).st_mode));
       }},
      {"/dev/stdout is standard output", 0, [] { return std::string("/dev/stdout"); },
       [&](const std::string& path, const camcal_test::Run& run) {
         EXPECT_EQ(run.out, printed);
         EXPECT_TRUE(std::filesystem::is_symlink(path));
       }},
      {"- is standard output", 0, [] { return std::string("-"); },
       [&](const std::string&, const camcal_test::Run& run) { EXPECT_EQ(run.out, printed); }},
      {"a directory is refused", kFailed,
       [&] {
         std::filesystem::create_directory(scratch.path("directory"));
         return scratch.path("directory");
       },
       [](const std::string& path, const camcal_test::Run& run) {
         EXPECT_EQ(run.err, "camcal: " + path + ": cannot write: Is a directory\n");
         EXPECT_TRUE(std::filesystem::is_directory(path));
         EXPECT_EQ(entriesIn(path), 0u);
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string path = row.make();
    // A FIFO's reader, opened before camcal so that neither side blocks; the
    // text fits in the pipe's buffer.
    const bool fifo = path == scratch.path("fifo");
    const int reader = fifo ? ::open(path.c_str(), O_RDONLY | O_NONBLOCK) : -1;
    const camcal_test::Run run = convertTo(path);
    EXPECT_EQ(run.status, row.status) << run.err;
    row.check(path, run);
    if (fifo) {
      std::string received(printed.size() + 1, '\0');
      const ssize_t n = ::read(reader, received.data(), received.size());
      ::close(reader);
      EXPECT_EQ(received.substr(0, size_t(std::max<ssize_t>(n, 0))), printed);
    }
  }
}

// A pipe is written into through any link to it: /dev/stdout itself, and a
// link of the scratch directory to /dev/stdout (which the kernel resolves to
// the pipe, a name no file system holds).
TEST(CamcalOutput, LinksToStandardOutputWriteIntoThePipe) {
  const std::string printed = runCamcal({"convert", base, "--to", "text"}).out;
  ScratchDir scratch;
  std::filesystem::create_symlink("/dev/stdout", scratch.path("stdout"));
  for (const std::string& path : {std::string("/dev/stdout"), scratch.path("stdout")}) {
    SCOPED_TRACE(path);
    const std::string command = std::string("env -u LD_LIBRARY_PATH '") + CAMCAL_INSTALLED_BINARY +
                                "' convert '" + base + "' --to text -o '" + path + "' | cat";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string received;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;)
      received.append(buffer, n);
    EXPECT_EQ(::pclose(pipe), 0);
    EXPECT_EQ(received, printed);
  }
  EXPECT_TRUE(std::filesystem::is_symlink(scratch.path("stdout")));
  EXPECT_EQ(entriesIn(scratch.dir), 1u);
}

}  // namespace
