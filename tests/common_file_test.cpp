// Reading files, and the embedded texts readable under the embedded prefix.
#include <gtest/gtest.h>

#include <string>

#include "calibration_common/camera_parameters.h"
#include "dravik/file.h"
#include "support/log_capture.h"
#include "support/scratch_dir.h"

namespace {

using dravik::EmbeddedFile;
using dravik::File;

// Whole contents byte for byte (beyond one read buffer, every byte value) and
// empty files; unreadable paths, and a path that never ends (/dev/zero, read
// up to the limit and refused with a record), fail and leave the contents
// alone. A set loading /dev/zero falls back to its default.
TEST(File, ReadFileToStringReadsTheWholeContentOrLeavesItAlone) {
  const dravik::testing::ScratchDir scratch;
  std::string content, read, empty = "x";
  for (int i = 0; i < 300000; ++i) content.push_back(static_cast<char>(i * 7 % 256));
  const std::string blob = scratch.write("blob.bin", content),
                    nothing = scratch.write("empty.txt", "");
  EXPECT_TRUE(File::readFileToString(blob, &read) && read == content);
  EXPECT_TRUE(File::readFileToString(nothing, &empty) && empty.empty());
  read = "untouched";
  dravik::testing::LogCapture log(2);
  for (const std::string& path :
       {scratch.path("missing.txt"), scratch.dir, std::string(), std::string("/dev/zero")})
    EXPECT_FALSE(File::readFileToString(path, &read)) << path;
  EXPECT_EQ(read, "untouched");
  EXPECT_FALSE(File::readFileToString(nothing, nullptr));
  EXPECT_TRUE(log.contains(2, "file", "File /dev/zero is larger than 268435456 bytes"));
  dravik::calibration::CameraParametersSet set;
  EXPECT_FALSE(set.loadFromFile("/dev/zero"));
  EXPECT_TRUE(log.contains(2, "camera_parameters", "Can't open /dev/zero"));
}

TEST(EmbeddedFile, DefaultCalibrationsAreTheRepositoryTextsUnchanged) {
  const dravik::calibration::CameraParametersSet set;  // loads the module of embedded texts
  for (const std::string name :
       {"calibration/default_head_cal.txt", "calibration/default_base_cal.txt"}) {
    std::string embedded, original;
    ASSERT_TRUE(File::readFileToString(EmbeddedFile::kEmbeddedPrefix + name, &embedded)) << name;
    ASSERT_TRUE(File::readFileToString(
        std::string(CAMERA_PARAMETERS_SOURCE_DIR) + "/embedded_files/" + name, &original));
    EXPECT_EQ(embedded, original) << name;
  }
}

// Unknown names fail; a name reads as its latest registration (NUL bytes
// included), only under the prefix, until it is unregistered.
TEST(EmbeddedFile, ReadsTheLatestRegistrationUntilUnregistered) {
  static const char kFirst[] = "first\0with nul";
  const std::string path = EmbeddedFile::kEmbeddedPrefix + std::string("test/registered.txt");
  std::string read = "untouched";
  EXPECT_FALSE(File::readFileToString(EmbeddedFile::kEmbeddedPrefix + "none.txt", &read));
  EXPECT_FALSE(EmbeddedFile::find("calibration/default_head_cal.txt", nullptr));
  EXPECT_EQ(read, "untouched");
  EmbeddedFile::registerFile("test/registered.txt", kFirst, sizeof(kFirst) - 1);
  EXPECT_TRUE(File::readFileToString(path, &read) &&
              read == std::string(kFirst, sizeof(kFirst) - 1));
  EmbeddedFile::registerFile("test/registered.txt", "second", 6);
  EXPECT_TRUE(File::readFileToString(path, &read) && read == "second");
  EmbeddedFile::unregisterFile("test/registered.txt");
  EXPECT_FALSE(File::readFileToString(path, &read));
  EXPECT_FALSE(File::readFileToString("test/registered.txt", &read)) << "only under the prefix";
}

}  // namespace
