#include "ptz_head_inputs.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sstream>

#include "cli/command_error.h"

namespace camcal {

namespace {

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool wholeNumber(const std::string& text, int* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || errno != 0 || parsed < INT_MIN || parsed > INT_MAX) return false;
  *value = static_cast<int>(parsed);
  return true;
}

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

}  // namespace

std::vector<PicturePosition> readPositionsFile(const std::string& path, const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  bool header = false;
  std::vector<PicturePosition> positions;
  while (std::getline(lines, line)) {
    ++number;
    line = trimmed(line);
    if (line.empty()) continue;
    const std::string where = path + ":" + std::to_string(number) + ": ";
    if (!header) {
      if (line != "image,pan,tilt,zoom") {
        throw operationError(where + "expected the header image,pan,tilt,zoom, not '" + line + "'");
      }
      header = true;
      continue;
    }
    std::vector<std::string> fields;
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, ',');) fields.push_back(trimmed(cell));
    if (fields.size() != 4 || fields[0].empty()) {
      throw operationError(where + "expected image,pan,tilt,zoom, not '" + line + "'");
    }
    PicturePosition position;
    position.path = fields[0].front() == '/' ? fields[0] : folderOf(path) + fields[0];
    if (!wholeNumber(fields[1], &position.pan) || !wholeNumber(fields[2], &position.tilt) ||
        !wholeNumber(fields[3], &position.zoom)) {
      throw operationError(where + "the motor positions must be whole steps, not '" + line + "'");
    }
    positions.push_back(position);
  }
  if (positions.empty()) throw operationError(path + ": no picture listed");
  return positions;
}

dravik::Matrix4d readFixturePose(const std::string& path, const std::string& text) {
  std::string spaced = text;
  for (char& c : spaced) {
    if (c == ',') c = ' ';
  }
  std::istringstream numbers(spaced);
  std::vector<double> values;
  for (std::string word; numbers >> word;) {
    char* end = nullptr;
    const double value = std::strtod(word.c_str(), &end);
    if (*end != '\0') throw operationError(path + ": '" + word + "' is not a number");
    values.push_back(value);
  }
  if (values.size() != 12 && values.size() != 16) {
    throw operationError(path + ": expected the board's pose as 3 or 4 rows of 4 numbers, found " +
                         std::to_string(values.size()) + " numbers");
  }
  dravik::Matrix4d pose = dravik::Matrix4d::Identity();
  for (size_t i = 0; i < values.size(); ++i) pose(int(i / 4), int(i % 4)) = values[i];
  if (values.size() == 16 && pose.row(3) != Eigen::RowVector4d(0, 0, 0, 1)) {
    throw operationError(path + ": the last row of the board's pose must be 0 0 0 1");
  }
  return pose;
}

}  // namespace camcal
