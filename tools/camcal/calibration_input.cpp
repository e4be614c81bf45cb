#include "calibration_input.h"

#include <google/protobuf/text_format.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <vector>

#include "calibration_messages/calibration.pb.h"
#include "command_error.h"
#include "dravik/text_format.h"

namespace camcal {

namespace {

constexpr CalibrationKind kAllKinds[] = {CalibrationKind::kRobot, CalibrationKind::kBase,
                                         CalibrationKind::kPtz};

// How far a failed text parse got, to compare the attempts of different kinds.
long position(const dravik::TextFormatError& error) {
  return static_cast<long>(error.line) * 100000 + error.column;
}

bool hasUnknownFields(const google::protobuf::Message& message) {
  const google::protobuf::Reflection* reflection = message.GetReflection();
  if (!reflection->GetUnknownFields(message).empty()) return true;
  std::vector<const google::protobuf::FieldDescriptor*> fields;
  reflection->ListFields(message, &fields);
  for (const auto* field : fields) {
    if (field->cpp_type() != google::protobuf::FieldDescriptor::CPPTYPE_MESSAGE) continue;
    if (field->is_repeated()) {
      for (int i = 0; i < reflection->FieldSize(message, field); ++i) {
        if (hasUnknownFields(reflection->GetRepeatedMessage(message, field, i))) return true;
      }
    } else if (hasUnknownFields(reflection->GetMessage(message, field))) {
      return true;
    }
  }
  return false;
}

// One attempt at reading the data as one kind.
struct Attempt {
  ParsedCalibration parsed;
  bool parsed_ok = false;
  bool clean = false;  // parsed, and every field is one of the kind's own
  dravik::TextFormatError text_error;
};

Attempt attempt(CalibrationKind kind, const std::string& data) {
  Attempt result;
  result.parsed = {kind, Encoding::kWire, newMessage(kind)};
  if (result.parsed.message->ParseFromString(data)) {
    result.parsed_ok = true;
  } else {
    result.parsed.encoding = Encoding::kText;
    result.parsed_ok =
        dravik::parseTextFormat(data, result.parsed.message.get(), &result.text_error);
  }
  result.clean = result.parsed_ok && !hasUnknownFields(*result.parsed.message);
  return result;
}

CommandError notParsed(const InputFile& input, const std::string& what, const Attempt& best) {
  return operationError(input.path + ": not " + what + " (neither wire nor text format; as text, " +
                        best.text_error.text() + ")");
}

}  // namespace

std::string kindName(CalibrationKind kind) {
  switch (kind) {
    case CalibrationKind::kRobot:
      return "robot calibration";
    case CalibrationKind::kBase:
      return "base calibration";
    case CalibrationKind::kPtz:
      return "PTZ calibration";
  }
  return "calibration";
}

std::optional<CalibrationKind> kindFromFlag(const std::string& flag) {
  if (flag == "robot") return CalibrationKind::kRobot;
  if (flag == "base") return CalibrationKind::kBase;
  if (flag == "ptz") return CalibrationKind::kPtz;
  return std::nullopt;
}

std::string encodingName(Encoding encoding) {
  return encoding == Encoding::kWire ? "wire" : "text";
}

std::string encodeMessage(const google::protobuf::Message& message, Encoding encoding) {
  std::string data;
  if (encoding == Encoding::kWire) {
    message.SerializeToString(&data);
  } else {
    // Repeated numbers on one line, "k: [-0.21, 0.045, ...]", as people
    // write calibrations.
    google::protobuf::TextFormat::Printer printer;
    printer.SetUseShortRepeatedPrimitives(true);
    printer.PrintToString(message, &data);
  }
  return data;
}

Encoding encodingFromFlag(const std::string& flag) {
  return flag == "wire" ? Encoding::kWire : Encoding::kText;
}

InputFile readInput(const std::string& path) {
  InputFile input{path, ""};
  if (path == "-") {
    input.path = "(standard input)";
    input.data.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    if (std::cin.bad()) throw operationError("standard input: cannot read");
    return input;
  }
  struct stat status;
  if (::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    throw operationError(path + ": cannot read: " + std::strerror(EISDIR));
  }
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) throw operationError(path + ": cannot read: " + std::strerror(errno));
  char buffer[65536];
  size_t count;
  while ((count = std::fread(buffer, 1, sizeof(buffer), file)) > 0)
    input.data.append(buffer, count);
  const bool failed = std::ferror(file);
  const int error = errno;
  std::fclose(file);
  if (failed) throw operationError(path + ": cannot read: " + std::strerror(error));
  return input;
}

std::unique_ptr<google::protobuf::Message> newMessage(CalibrationKind kind) {
  switch (kind) {
    case CalibrationKind::kRobot:
      return std::make_unique<dravik::calibration::RobotCalibration>();
    case CalibrationKind::kBase:
      return std::make_unique<dravik::calibration::BaseCalibrationProto>();
    case CalibrationKind::kPtz:
      return std::make_unique<dravik::calibration::PTZCameraParameters>();
  }
  return nullptr;
}

ParsedCalibration parseCalibration(const InputFile& input, std::optional<CalibrationKind> kind) {
  if (kind) {
    Attempt only = attempt(*kind, input.data);
    if (!only.parsed_ok) throw notParsed(input, "a " + kindName(*kind), only);
    return std::move(only.parsed);
  }
  // The first kind (robot, base, PTZ) that reads the file cleanly; failing
  // that, the first that reads it at all. When none does, the text error of
  // the kind whose parse got furthest is the most telling one.
  std::vector<Attempt> attempts;
  for (CalibrationKind candidate : kAllKinds) attempts.push_back(attempt(candidate, input.data));
  for (Attempt& a : attempts) {
    if (a.clean) return std::move(a.parsed);
  }
  for (Attempt& a : attempts) {
    if (a.parsed_ok) return std::move(a.parsed);
  }
  const Attempt* furthest = &attempts.front();
  for (const Attempt& a : attempts) {
    if (position(a.text_error) > position(furthest->text_error)) furthest = &a;
  }
  throw notParsed(input, "a robot, base or PTZ calibration", *furthest);
}

ParsedCalibration parseExpected(const InputFile& input, CalibrationKind expected) {
  Attempt wanted = attempt(expected, input.data);
  if (wanted.clean) return std::move(wanted.parsed);
  for (CalibrationKind other : kAllKinds) {
    if (other == expected) continue;
    if (attempt(other, input.data).clean) {
      throw operationError(input.path + ": is a " + kindName(other) + ", not a " +
                           kindName(expected));
    }
  }
  if (wanted.parsed_ok) return std::move(wanted.parsed);
  throw notParsed(input, "a " + kindName(expected), wanted);
}

}  // namespace camcal
