#include "run_camcal.h"

#include <cairo.h>
#include <gtest/gtest.h>
#include <png.h>
#include <sys/wait.h>
#include <yaml-cpp/yaml.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <regex>

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
#include <opencv2/core.hpp>
#endif

namespace camcal_test {

std::string exactText(double value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.17g", value);
  return text;
}

template <typename Pixel>
void writeGrayPng(const std::string& path, int width, int height,
                  const std::vector<Pixel>& pixels) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = png_uint_32(width);
  image.height = png_uint_32(height);
  image.format = sizeof(Pixel) == 2 ? PNG_FORMAT_LINEAR_Y : PNG_FORMAT_GRAY;
  ASSERT_TRUE(png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), 0, nullptr));
}
template void writeGrayPng(const std::string&, int, int, const std::vector<std::uint8_t>&);
template void writeGrayPng(const std::string&, int, int, const std::vector<std::uint16_t>&);

std::pair<int, int> pngSize(const std::string& path) {
  cairo_surface_t* image = cairo_image_surface_create_from_png(path.c_str());
  std::pair<int, int> size{0, 0};
  if (cairo_surface_status(image) == CAIRO_STATUS_SUCCESS)
    size = {cairo_image_surface_get_width(image), cairo_image_surface_get_height(image)};
  cairo_surface_destroy(image);
  return size;
}

// JSON is read as JSON, OpenCV YAML as OpenCV reads it when present.
std::vector<float> readIntrinsics(const std::string& format, const std::string& text) {
  std::vector<double> read;
  const char* matrices[] = {"camera_matrix", "distortion_coefficients"};
  const char* sizes[] = {"image_width", "image_height"};
  if (format == "json") {
    const auto json = nlohmann::json::parse(text);
    for (const auto& row : json[matrices[0]]) read.insert(read.end(), row.begin(), row.end());
    for (const double c : json[matrices[1]]) read.push_back(c);
    for (const auto* key : sizes) read.push_back(json[key]);
#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
  } else if (format == "opencv-yaml") {
    cv::FileStorage storage(text, cv::FileStorage::READ | cv::FileStorage::MEMORY);
    for (const auto* key : matrices)
      for (const double value : cv::Mat_<double>(storage[key].mat())) read.push_back(value);
    for (const auto* key : sizes) read.push_back(storage[key].real());
#endif
  } else {
    const YAML::Node root = YAML::Load(text);
    for (const auto* key : matrices)
      for (const double value : root[key]["data"].as<std::vector<double>>()) read.push_back(value);
    for (const auto* key : sizes) read.push_back(root[key].as<double>());
  }
  return std::vector<float>(read.begin(), read.end());
}

Run runCamcal(const Args& args, const std::string& stdin_path) {
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

std::string outputOf(const Args& args) {
  const Run run = runCamcal(args);
  EXPECT_EQ(run.status, 0) << ::testing::PrintToString(args) << ": " << run.err;
  return run.out;
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
