// camcal intrinsics in each output format: the library's own values for
// every camera and image size.
#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <nlohmann/json.hpp>

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
#include <opencv2/core.hpp>
#endif

#include "calibration_common/camera_parameters.h"
#include "run_camcal.h"

namespace {

using namespace camcal_test;
using dravik::calibration::CameraParametersSet;

// camcal prints every float so that it reads back as the same float.
void expectSameValues(const std::vector<float>& expected, const std::vector<double>& read,
                      const std::string& what) {
  ASSERT_EQ(read.size(), expected.size()) << what;
  for (size_t i = 0; i < read.size(); ++i)
    EXPECT_EQ(static_cast<float>(read[i]), expected[i]) << what << " [" << i << "]";
}

// K (row-major), the distortion coefficients and the image size of each
// output format. The OpenCV YAML is read as OpenCV reads it when present.
struct Intrinsics {
  std::vector<double> K, d;
  int width = 0, height = 0;
};

Intrinsics readOutput(const std::string& format, const std::string& text) {
  Intrinsics read;
  if (format == "json") {
    const auto json = nlohmann::json::parse(text);
    for (const auto& row : json["camera_matrix"])
      for (const auto& value : row) read.K.push_back(value.get<double>());
    read.d = json["distortion_coefficients"].get<std::vector<double>>();
    read.width = json["image_width"], read.height = json["image_height"];
    return read;
  }
#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
  if (format == "opencv-yaml") {
    cv::FileStorage storage(text, cv::FileStorage::READ | cv::FileStorage::MEMORY);
    cv::Mat camera_matrix, distortion;
    storage["camera_matrix"] >> camera_matrix;
    storage["distortion_coefficients"] >> distortion;
    storage["image_width"] >> read.width;
    storage["image_height"] >> read.height;
    read.K.assign(camera_matrix.begin<double>(), camera_matrix.end<double>());
    read.d.assign(distortion.begin<double>(), distortion.end<double>());
    return read;
  }
#endif
  const YAML::Node root = YAML::Load(text);
  EXPECT_TRUE(format != "opencv-yaml" ||
              root["camera_matrix"].Tag() == "tag:yaml.org,2002:opencv-matrix");
  read.K = root["camera_matrix"]["data"].as<std::vector<double>>();
  read.d = root["distortion_coefficients"]["data"].as<std::vector<double>>();
  read.width = root["image_width"].as<int>(), read.height = root["image_height"].as<int>();
  return read;
}

TEST(CamcalIntrinsics, EachFormatHoldsTheLibrarysValuesForEveryCameraAndSize) {
  const std::string file = fixture("robot_calibration.txt");
  CameraParametersSet set;
  ASSERT_TRUE(set.loadFromFile(file));
  for (const auto& proto : set.getRawCalData().camera()) {
    const auto camera = set.getCamera(proto.name());
    std::vector<std::pair<int, int>> sizes = {{333, 250}};  // one off every table
    for (const auto& entry : camera->getIntrinsicsTable())
      sizes.emplace_back(entry.width, entry.height);
    for (const auto& [width, height] : sizes) {
      const Eigen::Matrix3f K = camera->getIntrinsics(width, height);
      std::vector<float> K_rows, P_rows;  // P = [K | 0]
      for (int r = 0; r < 3; ++r) {
        K_rows.insert(K_rows.end(), {K(r, 0), K(r, 1), K(r, 2)});
        P_rows.insert(P_rows.end(), {K(r, 0), K(r, 1), K(r, 2), 0.0f});
      }
      const std::string size = std::to_string(width) + "x" + std::to_string(height);
      for (const std::string format : {"json", "opencv-yaml", "ros-yaml"}) {
        const std::string what = proto.name() + " " + size + " " + format;
        const auto run =
            runCamcal({"-q", "intrinsics", "-c", file, proto.name(), size, "-f", format});
        ASSERT_EQ(run.status, 0) << what << run.err;
        const Intrinsics read = readOutput(format, run.out);
        EXPECT_EQ(read.width, width) << what;
        EXPECT_EQ(read.height, height) << what;
        expectSameValues(K_rows, read.K, what);
        expectSameValues(camera->getDistortion(width, height), read.d, what);
        if (format == "json") {
          const auto json = nlohmann::json::parse(run.out);
          EXPECT_EQ(json["from_table"], camera->hasIntrinsics(width, height)) << what;
          EXPECT_EQ(json["distortion_model"], "rational_polynomial") << what;
        }
        if (format == "ros-yaml") {
          const YAML::Node info = YAML::Load(run.out);
          EXPECT_EQ(info["camera_name"].as<std::string>(), proto.name());
          EXPECT_EQ(info["distortion_model"].as<std::string>(), "rational_polynomial");
          EXPECT_EQ(info["rectification_matrix"]["data"].as<std::vector<double>>(),
                    std::vector<double>({1, 0, 0, 0, 1, 0, 0, 0, 1}));
          expectSameValues(P_rows, info["projection_matrix"]["data"].as<std::vector<double>>(),
                           what);
        }
      }
    }
  }
}

}  // namespace
