// The YAML formats camcal writes (`camcal intrinsics`) and reads (`camcal
// import`), named once for both: OpenCV's FileStorage YAML and the
// camera_info YAML of ROS camera drivers. A field renamed here is renamed in
// the writer and the reader alike.
#pragma once

#include <string>
#include <vector>

namespace camcal {

enum class YamlFormat { kOpenCv, kRos };

struct YamlFormatName {
  YamlFormat format;
  const char* flag;   // as --format and --from name it
  const char* title;  // as messages name it
};
constexpr YamlFormatName kYamlFormats[] = {
    {YamlFormat::kOpenCv, "opencv-yaml", "OpenCV FileStorage YAML"},
    {YamlFormat::kRos, "ros-yaml", "ROS camera_info YAML"},
};

// The flags of kYamlFormats, in its order.
std::vector<std::string> yamlFormatFlags();
const YamlFormatName& yamlFormatName(YamlFormat format);

namespace yaml_field {
// The first line cv::FileStorage writes and looks for: a directive that YAML
// 1.2 readers reject, so the reader drops it.
constexpr char kOpenCvDirective[] = "%YAML:1.0";
// The tag of cv::FileStorage's matrices (!!opencv-matrix), and its
// element-type field.
constexpr char kOpenCvMatrixTag[] = "opencv-matrix";
constexpr char kElementType[] = "dt";
constexpr char kImageWidth[] = "image_width";
constexpr char kImageHeight[] = "image_height";
constexpr char kCameraName[] = "camera_name";  // ROS only
constexpr char kCameraMatrix[] = "camera_matrix";
constexpr char kDistortionModel[] = "distortion_model";  // ROS only
constexpr char kDistortionCoefficients[] = "distortion_coefficients";
constexpr char kRectificationMatrix[] = "rectification_matrix";  // ROS only
constexpr char kProjectionMatrix[] = "projection_matrix";        // ROS only
// A matrix: rows, cols and its data row by row.
constexpr char kRows[] = "rows";
constexpr char kCols[] = "cols";
constexpr char kData[] = "data";
// The values of distortion_model: the eight-coefficient rational model, and
// the five-coefficient plumb bob.
constexpr char kRationalModel[] = "rational_polynomial";
constexpr char kPlumbBobModel[] = "plumb_bob";
}  // namespace yaml_field

}  // namespace camcal
