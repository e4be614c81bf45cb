#include "rig_inputs.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <system_error>

#include "cli/command_error.h"
#include "inputs/camera_lookup.h"

namespace camcal {

namespace {

using json = nlohmann::json;
namespace fs = std::filesystem;

bool isImageName(const fs::path& path) {
  std::string extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension == ".png" || extension == ".jpg" || extension == ".jpeg";
}

// The entries of a folder, sorted by name; an operation error when it
// cannot be listed.
std::vector<fs::path> sortedEntries(const fs::path& folder) {
  std::error_code error;
  std::vector<fs::path> entries;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    entries.push_back(it->path());
  }
  if (error) throw operationError(folder.string() + ": cannot read: " + error.message());
  std::sort(entries.begin(), entries.end());
  return entries;
}

std::runtime_error layoutError(const std::string& what) { return std::runtime_error(what); }

}  // namespace

std::vector<CameraCorners> detectRigCorners(const std::string& dir, const Board& board,
                                            const std::vector<std::string>& cameras,
                                            const std::string& calibration_path, int threads,
                                            bool progress) {
  // Every folder is checked before any image is searched.
  std::vector<std::pair<std::string, std::vector<std::string>>> folders;
  for (const fs::path& entry : sortedEntries(dir)) {
    std::error_code error;
    if (!fs::is_directory(entry, error)) continue;
    const std::string camera = entry.filename().string();
    if (std::find(cameras.begin(), cameras.end(), camera) == cameras.end()) {
      throw operationError(entry.string() + ": names no camera of " + calibration_path +
                           " (cameras: " + joinNames(cameras) + ")");
    }
    std::vector<std::string> images;
    for (const fs::path& file : sortedEntries(entry)) {
      if (isImageName(file)) images.push_back(file.string());
    }
    if (images.empty()) {
      throw operationError("camera '" + camera + "': no images in " + entry.string() +
                           " (PNG or JPEG, named by moment)");
    }
    folders.emplace_back(camera, images);
  }
  if (folders.empty()) throw operationError(dir + ": holds no folder named after a camera");
  std::vector<CameraCorners> out;
  for (const auto& [camera, images] : folders) {
    CameraCorners corners;
    corners.camera = camera;
    corners.folder = (fs::path(dir) / camera).string();
    corners.corners = detectBoardCorners(images, board, threads, progress);
    for (ImageCorners& image : corners.corners.images) {
      image.name = fs::path(image.name).stem().string();
    }
    out.push_back(std::move(corners));
  }
  return out;
}

std::vector<CameraCorners> readRigCornersFile(const std::string& path, const std::string& text) {
  json root;
  try {
    root = json::parse(text);
  } catch (const json::parse_error& e) {
    throw operationError(path + ": not a rig corners file (JSON: " + e.what() + ")");
  }
  const auto cameras = root.is_object() ? root.find("cameras") : root.end();
  if (!root.is_object() || cameras == root.end() || !cameras->is_object() || cameras->empty()) {
    throw operationError(path + ": not a rig corners file: there is no \"cameras\" object");
  }
  std::vector<CameraCorners> out;
  for (auto it = cameras->begin(); it != cameras->end(); ++it) {
    CameraCorners corners;
    corners.camera = it.key();
    corners.folder = path;
    corners.corners = readCornersFile(path + ": camera '" + it.key() + "'", it.value().dump());
    out.push_back(std::move(corners));
  }
  return out;
}

std::string rigCornersAsJson(const std::vector<CameraCorners>& cameras) {
  std::string text = "{\"cameras\": {";
  for (size_t c = 0; c < cameras.size(); ++c) {
    text += std::string(c ? ",\n" : "\n") + json(cameras[c].camera).dump() + ": " +
            cornersAsJson(cameras[c].corners);
    while (!text.empty() && text.back() == '\n') text.pop_back();
  }
  return text + "\n}}\n";
}

std::vector<FixturePose> readFixtureFile(const std::string& path, const std::string& text) {
  std::vector<FixturePose> out;
  try {
    const json root = json::parse(text);
    const auto fixture = root.is_object() ? root.find("fixture") : root.end();
    if (fixture == root.end() || !fixture->is_array() || fixture->empty()) {
      throw layoutError("there is no \"fixture\" array of moments");
    }
    for (size_t f = 0; f < fixture->size(); ++f) {
      const json& entry = (*fixture)[f];
      const std::string where = "fixture entry " + std::to_string(f);
      if (!entry.is_object() || !entry.contains("moment") || !entry["moment"].is_string()) {
        throw layoutError(where + " has no \"moment\" name");
      }
      FixturePose pose;
      pose.moment = entry["moment"].get<std::string>();
      const auto rows = entry.find("robot_from_board");
      if (rows == entry.end() || !rows->is_array() || rows->size() != 4) {
        throw layoutError(where + ": \"robot_from_board\" is not 4 rows");
      }
      for (int r = 0; r < 4; ++r) {
        const json& row = (*rows)[r];
        if (!row.is_array() || row.size() != 4) {
          throw layoutError(where + ": row " + std::to_string(r) + " is not 4 numbers");
        }
        for (int c = 0; c < 4; ++c) {
          if (!row[c].is_number()) {
            throw layoutError(where + ": row " + std::to_string(r) + " is not 4 numbers");
          }
          pose.robot_from_board(r, c) = row[c].get<double>();
        }
      }
      out.push_back(pose);
    }
  } catch (const json::exception& e) {
    throw operationError(path + ": not a fixture file (JSON: " + e.what() + ")");
  } catch (const std::runtime_error& e) {
    throw operationError(path + ": not a fixture file: " + e.what());
  }
  return out;
}

}  // namespace camcal
