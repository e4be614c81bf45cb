#include "inputs/yaml_import.h"

#include <yaml-cpp/yaml.h>

#include <cmath>

#include "cli/command_error.h"

namespace camcal {

namespace {

namespace names = yaml_field;

// The tag of cv::FileStorage's matrices, as a YAML reader resolves it.
const std::string kOpenCvMatrixTag = std::string("tag:yaml.org,2002:") + names::kOpenCvMatrixTag;
// k1, k2, p1, p2, k3: the plumb-bob model, the least a lens needs here.
constexpr size_t kFewestCoefficients = 5;
constexpr size_t kRationalCoefficients = 8;

struct Reader {
  const InputFile& input;
  std::string format_name;

  CommandError error(const std::string& what) const {
    return operationError(input.path + ": " + what);
  }

  YAML::Node field(const YAML::Node& root, const char* key) const {
    const YAML::Node node = root[key];
    if (!node) throw error("no " + std::string(key) + " (not a complete " + format_name + ")");
    return node;
  }

  int positiveInt(const YAML::Node& root, const char* key) const {
    const YAML::Node node = field(root, key);
    int value = 0;
    if (!node.IsScalar() || !YAML::convert<int>::decode(node, value) || value <= 0) {
      throw error(std::string(key) + " is not a positive whole number");
    }
    return value;
  }

  // rows, cols and data (row-major); for OpenCV also the matrix tag.
  std::vector<double> matrix(const YAML::Node& root, const char* key, bool opencv, int* rows,
                             int* cols) const {
    const YAML::Node node = field(root, key);
    if (!node.IsMap()) throw error(std::string(key) + " is not a matrix (rows, cols, data)");
    if (opencv && node.Tag() != kOpenCvMatrixTag) {
      throw error(std::string(key) + " is not an !!opencv-matrix (a ROS camera_info YAML? use " +
                  "--from ros-yaml)");
    }
    *rows = positiveInt(node, names::kRows);
    *cols = positiveInt(node, names::kCols);
    const YAML::Node data = field(node, names::kData);
    if (!data.IsSequence()) throw error(std::string(key) + ": data is not a list of numbers");
    std::vector<double> values;
    for (const YAML::Node& item : data) {
      double value = 0.0;
      if (!item.IsScalar() || !YAML::convert<double>::decode(item, value) ||
          !std::isfinite(value)) {
        throw error(std::string(key) + ": '" + (item.IsScalar() ? item.Scalar() : "?") +
                    "' in data is not a number");
      }
      values.push_back(value);
    }
    if (values.size() != static_cast<size_t>(*rows) * static_cast<size_t>(*cols)) {
      throw error(std::string(key) + ": " + std::to_string(values.size()) + " values in data for " +
                  std::to_string(*rows) + "x" + std::to_string(*cols));
    }
    return values;
  }
};

std::string removeOpenCvHeader(const std::string& data) {
  // cv::FileStorage starts with its YAML 1.0 directive (yaml_field::kOpenCvDirective),
  // which YAML 1.2 readers reject; the rest is plain YAML.
  if (data.rfind("%YAML:", 0) != 0) return data;
  const size_t end = data.find('\n');
  return end == std::string::npos ? "" : data.substr(end + 1);
}

std::string coefficientCount(size_t count) {
  return std::to_string(count) +
         (count == 1 ? " distortion coefficient" : " distortion coefficients");
}

}  // namespace

std::vector<std::string> yamlFormatFlags() {
  std::vector<std::string> flags;
  for (const YamlFormatName& name : kYamlFormats) flags.push_back(name.flag);
  return flags;
}

const YamlFormatName& yamlFormatName(YamlFormat format) {
  for (const YamlFormatName& name : kYamlFormats) {
    if (name.format == format) return name;
  }
  return kYamlFormats[0];
}

YamlFormat yamlFormatFromFlag(const std::string& flag) {
  for (const YamlFormatName& name : kYamlFormats) {
    if (flag == name.flag) return name.format;
  }
  return YamlFormat::kOpenCv;
}

ImportedIntrinsics readIntrinsicsYaml(const InputFile& input, YamlFormat format) {
  const bool opencv = format == YamlFormat::kOpenCv;
  const Reader reader{input, yamlFormatName(format).title};
  if (!opencv && input.data.rfind("%YAML:", 0) == 0) {
    throw reader.error(
        "an OpenCV FileStorage YAML (it starts with %YAML:), not ROS's: use "
        "--from opencv-yaml");
  }
  YAML::Node root;
  try {
    root = YAML::Load(opencv ? removeOpenCvHeader(input.data) : input.data);
  } catch (const YAML::Exception& e) {
    throw reader.error("not YAML (line " + std::to_string(e.mark.line + 1) + ", column " +
                       std::to_string(e.mark.column + 1) + ": " + e.msg + ")");
  }
  if (!root.IsMap()) throw reader.error("not a " + reader.format_name + " (no mapping of fields)");
  if (opencv && root[names::kDistortionModel]) {
    throw reader.error(
        "a ROS camera_info YAML (it has distortion_model), not OpenCV's: use "
        "--from ros-yaml");
  }

  ImportedIntrinsics imported;
  imported.width = reader.positiveInt(root, names::kImageWidth);
  imported.height = reader.positiveInt(root, names::kImageHeight);
  int rows = 0, cols = 0;
  const std::vector<double> K = reader.matrix(root, names::kCameraMatrix, opencv, &rows, &cols);
  if (rows != 3 || cols != 3) {
    throw reader.error("camera_matrix is " + std::to_string(rows) + "x" + std::to_string(cols) +
                       ", not 3x3");
  }
  imported.K = Eigen::Map<const Eigen::Matrix<double, 3, 3, Eigen::RowMajor>>(K.data());
  if (K[3] != 0.0 || K[6] != 0.0 || K[7] != 0.0 || K[8] != 1.0 || !(K[0] > 0.0) || !(K[4] > 0.0)) {
    throw reader.error("camera_matrix is not [fx skew cx; 0 fy cy; 0 0 1] with positive fx, fy");
  }

  std::string model = names::kRationalModel;
  if (!opencv) {
    const YAML::Node node = reader.field(root, names::kDistortionModel);
    model = node.IsScalar() ? node.Scalar() : "";
    if (model != names::kRationalModel && model != names::kPlumbBobModel) {
      throw reader.error("distortion_model '" + model +
                         "' is neither rational_polynomial nor plumb_bob");
    }
    if (root[names::kCameraName] && root[names::kCameraName].IsScalar()) {
      imported.camera_name = root[names::kCameraName].Scalar();
    }
  }
  std::vector<double> d = reader.matrix(root, names::kDistortionCoefficients, opencv, &rows, &cols);
  if (rows != 1 && cols != 1) throw reader.error("distortion_coefficients is not a row or column");
  if (d.size() < kFewestCoefficients) {
    throw reader.error(coefficientCount(d.size()) + ": at least 5 needed (k1 k2 p1 p2 k3)");
  }
  const size_t usable =
      model == names::kPlumbBobModel ? kFewestCoefficients : kRationalCoefficients;
  for (size_t i = usable; i < d.size(); ++i) {
    if (d[i] != 0.0) {
      throw reader.error(coefficientCount(d.size()) +
                         (model == names::kPlumbBobModel ? " for plumb_bob" : "") +
                         ": coefficient " + std::to_string(i + 1) +
                         " is not zero, and the rational lens model has only k1 k2 p1 p2 k3 k4 k5 "
                         "k6");
    }
  }
  d.resize(kRationalCoefficients, 0.0);
  imported.distortion = d;
  return imported;
}

}  // namespace camcal
