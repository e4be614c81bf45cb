#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "calibration_common/camera_parameters.h"
#include "dravik/file.h"

namespace {

using dravik::EmbeddedFile;
using dravik::File;
namespace fs = std::filesystem;

class FileRead : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        fs::temp_directory_path() /
        ("common_file_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& content) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  fs::path dir_;
};

TEST_F(FileRead, ReadsTheWholeContentByteForByte) {
  // Larger than one read buffer, with NUL bytes and every byte value.
  std::string content;
  for (int i = 0; i < 300000; ++i) content.push_back(static_cast<char>(i * 7 % 256));
  std::string read;
  ASSERT_TRUE(File::readFileToString(write("blob.bin", content), &read));
  EXPECT_EQ(read, content);
}

TEST_F(FileRead, EmptyFileReadsAsEmpty) {
  std::string read = "stale";
  ASSERT_TRUE(File::readFileToString(write("empty.txt", ""), &read));
  EXPECT_TRUE(read.empty());
}

TEST_F(FileRead, UnreadablePathsFailAndLeaveTheContentsAlone) {
  std::string read = "untouched";
  EXPECT_FALSE(File::readFileToString((dir_ / "missing.txt").string(), &read));
  EXPECT_FALSE(File::readFileToString(dir_.string(), &read)) << "a directory";
  EXPECT_FALSE(File::readFileToString("", &read));
  EXPECT_EQ(read, "untouched");
  EXPECT_FALSE(File::readFileToString(write("present.txt", "x"), nullptr));
}

TEST(EmbeddedFiles, DefaultCalibrationsAreTheRepositoryTextsUnchanged) {
  // Using the camera library is what loads the module of embedded texts.
  const dravik::calibration::CameraParametersSet set;
  for (const std::string name :
       {"calibration/default_head_cal.txt", "calibration/default_base_cal.txt"}) {
    std::string embedded, original;
    ASSERT_TRUE(File::readFileToString(EmbeddedFile::kEmbeddedPrefix + name, &embedded)) << name;
    ASSERT_TRUE(File::readFileToString(
        std::string(CAMERA_PARAMETERS_SOURCE_DIR) + "/embedded_files/" + name, &original));
    EXPECT_EQ(embedded, original) << name;
  }
}

TEST(EmbeddedFiles, PrefixComposesWithBothStringKinds) {
  const std::string from_literal = EmbeddedFile::kEmbeddedPrefix + "a/b.txt";
  const std::string from_string = EmbeddedFile::kEmbeddedPrefix + std::string("a/b.txt");
  EXPECT_EQ(from_literal, from_string);
  EXPECT_EQ(from_literal, std::string(EmbeddedFile::kEmbeddedPrefix.text) + "a/b.txt");
}

TEST(EmbeddedFiles, UnknownNamesFailAndLeaveTheContentsAlone) {
  std::string read = "untouched";
  EXPECT_FALSE(
      File::readFileToString(EmbeddedFile::kEmbeddedPrefix + "calibration/none.txt", &read));
  EXPECT_FALSE(File::readFileToString(EmbeddedFile::kEmbeddedPrefix + "", &read));
  EXPECT_FALSE(EmbeddedFile::find("calibration/default_head_cal.txt", nullptr));
  EXPECT_EQ(read, "untouched");
}

TEST(EmbeddedFiles, RegistrationReplacesAndUnregistrationForgets) {
  static const char kFirst[] = "first\0with nul";
  static const char kSecond[] = "second";
  const std::string path = EmbeddedFile::kEmbeddedPrefix + "test/registered.txt";
  std::string read;

  EmbeddedFile::registerFile("test/registered.txt", kFirst, sizeof(kFirst) - 1);
  ASSERT_TRUE(File::readFileToString(path, &read));
  EXPECT_EQ(read, std::string(kFirst, sizeof(kFirst) - 1));

  EmbeddedFile::registerFile("test/registered.txt", kSecond, sizeof(kSecond) - 1);
  ASSERT_TRUE(File::readFileToString(path, &read));
  EXPECT_EQ(read, "second");

  EmbeddedFile::unregisterFile("test/registered.txt");
  EXPECT_FALSE(File::readFileToString(path, &read));
  EXPECT_FALSE(File::readFileToString("test/registered.txt", &read)) << "only under the prefix";
}

}  // namespace
