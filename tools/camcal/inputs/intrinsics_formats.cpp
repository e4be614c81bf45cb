#include "inputs/intrinsics_formats.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <iterator>
#include <nlohmann/json.hpp>

#include "cli/command_error.h"
#include "cli/number_format.h"
#include "cli/options.h"
#include "cli/text_table.h"
#include "inputs/camera_report.h"
#include "inputs/yaml_fields.h"

namespace camcal {

namespace {

namespace field = yaml_field;

// Nine significant digits print every float so that it reads back exactly;
// values pass through decimalOf, so they print as their shortest decimal.
constexpr int kYamlPrecision = 9;

std::vector<double> rowMajor(const Eigen::MatrixXf& matrix) {
  std::vector<double> values;
  for (int r = 0; r < matrix.rows(); ++r) {
    for (int c = 0; c < matrix.cols(); ++c) values.push_back(decimalOf(matrix(r, c)));
  }
  return values;
}

std::vector<double> decimals(const std::vector<float>& values) {
  std::vector<double> out;
  for (float v : values) out.push_back(decimalOf(v));
  return out;
}

// rows, cols, [dt,] data: the matrix layout shared by both YAML formats.
void emitMatrix(YAML::Emitter& out, const char* key, int rows, int cols,
                const std::vector<double>& data, bool opencv) {
  out << YAML::Key << key << YAML::Value;
  if (opencv) out << YAML::SecondaryTag(field::kOpenCvMatrixTag);
  out << YAML::BeginMap;
  out << YAML::Key << field::kRows << YAML::Value << rows;
  out << YAML::Key << field::kCols << YAML::Value << cols;
  if (opencv) out << YAML::Key << field::kElementType << YAML::Value << "d";
  out << YAML::Key << field::kData << YAML::Value << YAML::Flow << data;
  out << YAML::EndMap;
}

constexpr char kGenericNoTable[] = "a generic camera: no table of sizes";

std::string sourceText(const IntrinsicsAtSize& in) {
  switch (in.source) {
    case IntrinsicsSource::kTable:
      return "from the model's table";
    case IntrinsicsSource::kFullFrame:
      return "the full frame (" + std::string(kGenericNoTable) + ")";
    case IntrinsicsSource::kScaledFullFrame:
      return in.generic ? "the full frame scaled to it (" + std::string(kGenericNoTable) + ")"
                        : "not in the model's table: the full frame scaled to it";
    case IntrinsicsSource::kPtzSetting:
      return "the calibration image at pan " + std::to_string(in.pan) + ", tilt " +
             std::to_string(in.tilt) + ", zoom " + std::to_string(in.zoom) + " (steps)";
    case IntrinsicsSource::kFitted:
      return "fitted to the views of a board";
  }
  return "";
}

}  // namespace

namespace {

// The lens of K and distortion at the intrinsics' size, checked without a
// second record: the values were a lens's as the library loaded them. A
// refusal (a file's lens that is none) ends the command with its reason.
dravik::calibration::Lens checkedLens(const IntrinsicsAtSize& intrinsics,
                                      const std::vector<float>& distortion) {
  dravik::calibration::Lens lens;
  const dravik::calibration::LensCheck check = dravik::calibration::Lens::fromIntrinsicsQuietly(
      intrinsics.K, distortion, intrinsics.width, intrinsics.height, &lens);
  if (!check) {
    throw operationError(intrinsics.camera + " at " + std::to_string(intrinsics.width) + "x" +
                         std::to_string(intrinsics.height) + ": " +
                         dravik::calibration::describeLensProblem(check));
  }
  return lens;
}

}  // namespace

dravik::calibration::Lens lensOf(const IntrinsicsAtSize& intrinsics) {
  return checkedLens(intrinsics, intrinsics.distortion);
}

dravik::calibration::Lens pinholeOf(const IntrinsicsAtSize& intrinsics) {
  return checkedLens(intrinsics, std::vector<float>(dravik::kLensCoefficientCount, 0.0f));
}

const std::vector<std::string>& intrinsicsFormatNames() {
  static const std::vector<std::string> kNames = [] {
    std::vector<std::string> names = {"text", "json"};
    for (const std::string& flag : yamlFormatFlags()) names.push_back(flag);
    return names;
  }();
  return kNames;
}

std::string formatIntrinsics(const IntrinsicsAtSize& intrinsics, const std::string& format) {
  if (format == "json") return intrinsicsAsJson(intrinsics);
  if (format == yamlFormatName(YamlFormat::kOpenCv).flag) {
    return intrinsicsAsOpenCvYaml(intrinsics);
  }
  if (format == yamlFormatName(YamlFormat::kRos).flag) return intrinsicsAsRosYaml(intrinsics);
  return intrinsicsAsText(intrinsics);
}

std::string intrinsicsAsText(const IntrinsicsAtSize& in) {
  std::string out = "camera      " + in.camera + ", " + in.model_description + "\n";
  out += "image size  " + formatImageSize(in.width, in.height) + ", " + sourceText(in) + "\n";
  TextTable K;
  for (int r = 0; r < 3; ++r) {
    K.addRow({r == 0 ? "K         " : "", formatNumber(in.K(r, 0)), formatNumber(in.K(r, 1)),
              formatNumber(in.K(r, 2))});
  }
  out += K.render("");
  out += "distortion  " + formatDistortion(in.distortion) + "\n";
  return out;
}

std::string intrinsicsAsJson(const IntrinsicsAtSize& in) {
  nlohmann::ordered_json json;
  json["camera"] = in.camera;
  json["model"] = in.model;
  json[field::kImageWidth] = in.width;
  json[field::kImageHeight] = in.height;
  if (in.source == IntrinsicsSource::kPtzSetting) {
    json["pan"] = in.pan;
    json["tilt"] = in.tilt;
    json["zoom"] = in.zoom;
  } else {
    json["from_table"] = in.source == IntrinsicsSource::kTable;
  }
  nlohmann::ordered_json K = nlohmann::ordered_json::array();
  for (int r = 0; r < 3; ++r) {
    K.push_back({decimalOf(in.K(r, 0)), decimalOf(in.K(r, 1)), decimalOf(in.K(r, 2))});
  }
  json[field::kCameraMatrix] = K;
  json[field::kDistortionModel] = field::kRationalModel;
  json[field::kDistortionCoefficients] = decimals(in.distortion);
  // One member per line, each value compact: K's rows stay on one line each.
  std::string text = "{\n";
  for (auto it = json.begin(); it != json.end(); ++it) {
    text += "  " + nlohmann::ordered_json(it.key()).dump() + ": " + it.value().dump() +
            (std::next(it) == json.end() ? "\n" : ",\n");
  }
  return text + "}\n";
}

std::string intrinsicsAsOpenCvYaml(const IntrinsicsAtSize& in) {
  YAML::Emitter out;
  out.SetDoublePrecision(kYamlPrecision);
  out << YAML::BeginMap;
  out << YAML::Key << field::kImageWidth << YAML::Value << in.width;
  out << YAML::Key << field::kImageHeight << YAML::Value << in.height;
  emitMatrix(out, field::kCameraMatrix, 3, 3, rowMajor(in.K), true);
  emitMatrix(out, field::kDistortionCoefficients, 1, static_cast<int>(in.distortion.size()),
             decimals(in.distortion), true);
  out << YAML::EndMap;
  return std::string(field::kOpenCvDirective) + "\n---\n" + out.c_str() + "\n";
}

std::string intrinsicsAsRosYaml(const IntrinsicsAtSize& in) {
  Eigen::Matrix<float, 3, 4> projection = Eigen::Matrix<float, 3, 4>::Zero();
  projection.leftCols<3>() = in.K;
  YAML::Emitter out;
  out.SetDoublePrecision(kYamlPrecision);
  out << YAML::BeginMap;
  out << YAML::Key << field::kImageWidth << YAML::Value << in.width;
  out << YAML::Key << field::kImageHeight << YAML::Value << in.height;
  out << YAML::Key << field::kCameraName << YAML::Value << in.camera;
  emitMatrix(out, field::kCameraMatrix, 3, 3, rowMajor(in.K), false);
  out << YAML::Key << field::kDistortionModel << YAML::Value << field::kRationalModel;
  emitMatrix(out, field::kDistortionCoefficients, 1, static_cast<int>(in.distortion.size()),
             decimals(in.distortion), false);
  emitMatrix(out, field::kRectificationMatrix, 3, 3, rowMajor(Eigen::Matrix3f::Identity()), false);
  emitMatrix(out, field::kProjectionMatrix, 3, 4, rowMajor(projection), false);
  out << YAML::EndMap;
  return std::string(out.c_str()) + "\n";
}

}  // namespace camcal
