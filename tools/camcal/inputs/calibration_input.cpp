#include "inputs/calibration_input.h"

#include <google/protobuf/text_format.h>
#include <google/protobuf/util/field_comparator.h>
#include <google/protobuf/util/message_differencer.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "calibration_messages/calibration.pb.h"
#include "cli/command_error.h"
#include "dravik/file.h"

namespace camcal {

namespace {

constexpr CalibrationKind kAllKinds[] = {CalibrationKind::kRobot, CalibrationKind::kBase,
                                         CalibrationKind::kPtz};

// How far a failed text parse got, to compare the attempts of different kinds.
long position(const dravik::TextFormatError& error) {
  return static_cast<long>(error.line) * 100000 + error.column;
}

void collectUnknownFields(const google::protobuf::Message& message, const std::string& prefix,
                          std::vector<std::string>* found) {
  const google::protobuf::Reflection* reflection = message.GetReflection();
  const google::protobuf::UnknownFieldSet& unknown = reflection->GetUnknownFields(message);
  for (int i = 0; i < unknown.field_count(); ++i) {
    found->push_back(prefix + std::to_string(unknown.field(i).number()));
  }
  std::vector<const google::protobuf::FieldDescriptor*> fields;
  reflection->ListFields(message, &fields);
  for (const auto* field : fields) {
    if (field->cpp_type() != google::protobuf::FieldDescriptor::CPPTYPE_MESSAGE) continue;
    if (field->is_repeated()) {
      for (int i = 0; i < reflection->FieldSize(message, field); ++i) {
        collectUnknownFields(reflection->GetRepeatedMessage(message, field, i),
                             prefix + field->name() + "[" + std::to_string(i) + "].", found);
      }
    } else {
      collectUnknownFields(reflection->GetMessage(message, field), prefix + field->name() + ".",
                           found);
    }
  }
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
  result.parsed_ok = dravik::readCalibrationBytes(data, result.parsed.message.get(),
                                                  &result.parsed.encoding, &result.text_error);
  result.clean = result.parsed_ok && unknownFieldsOf(*result.parsed.message).empty();
  return result;
}

CommandError notParsed(const InputFile& input, const std::string& what, const Attempt& best) {
  return operationError(input.path + ": not " + what + " (neither wire nor text format; as text, " +
                        best.text_error.text() + ")");
}

}  // namespace

namespace {

// The kinds by their --kind flag and by name.
struct KindName {
  CalibrationKind kind;
  const char* flag;
  const char* name;
};
constexpr KindName kKinds[] = {
    {CalibrationKind::kRobot, "robot", "robot calibration"},
    {CalibrationKind::kBase, "base", "base calibration"},
    {CalibrationKind::kPtz, "ptz", "PTZ calibration"},
};

// The encodings in the library's reading order, by their --to flag.
struct EncodingName {
  Encoding encoding;
  const char* flag;
};
constexpr EncodingName kEncodings[] = {{Encoding::kText, "text"}, {Encoding::kWire, "wire"}};

}  // namespace

std::string kindName(CalibrationKind kind) {
  for (const KindName& k : kKinds) {
    if (k.kind == kind) return k.name;
  }
  return "calibration";
}

std::optional<CalibrationKind> kindFromFlag(const std::string& flag) {
  for (const KindName& k : kKinds) {
    if (flag == k.flag) return k.kind;
  }
  return std::nullopt;
}

std::vector<std::string> kindFlags() {
  std::vector<std::string> flags = {"auto"};
  for (const KindName& k : kKinds) flags.push_back(k.flag);
  return flags;
}

std::string encodingName(Encoding encoding) {
  for (const EncodingName& e : kEncodings) {
    if (e.encoding == encoding) return e.flag;
  }
  return "";
}

std::vector<std::string> encodingFlags() {
  std::vector<std::string> flags;
  for (const EncodingName& e : kEncodings) flags.push_back(e.flag);
  return flags;
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

std::vector<std::string> unknownFieldsOf(const google::protobuf::Message& message) {
  std::vector<std::string> found;
  collectUnknownFields(message, "", &found);
  return found;
}

std::string encodeForOutput(const std::string& source, CalibrationKind kind,
                            const google::protobuf::Message& message, Encoding encoding,
                            const OutputRules& rules) {
  if (kind == CalibrationKind::kRobot && !rules.allow_empty &&
      static_cast<const dravik::calibration::RobotCalibration&>(message).camera_size() == 0) {
    throw operationError(source +
                         ": holds no camera; a robot calibration without cameras is written "
                         "only with --allow-empty");
  }
  std::unique_ptr<google::protobuf::Message> written(message.New());
  written->CopyFrom(message);
  const std::vector<std::string> unknown = unknownFieldsOf(message);
  if (encoding == Encoding::kText && !unknown.empty()) {
    if (!rules.drop_unknown) {
      std::string names;
      for (const std::string& name : unknown) names += (names.empty() ? "" : ", ") + name;
      throw operationError(source + ": holds fields this version does not know (" + names +
                           "), which text format cannot keep: convert to wire, or leave them "
                           "out with --drop-unknown");
    }
    written->DiscardUnknownFields();
  }
  const std::string bytes = encodeMessage(*written, encoding);
  // The library's own reading of the bytes must give the message back.
  std::unique_ptr<google::protobuf::Message> reread = newMessage(kind);
  google::protobuf::util::DefaultFieldComparator comparator;
  comparator.set_treat_nan_as_equal(true);
  google::protobuf::util::MessageDifferencer differencer;
  differencer.set_field_comparator(&comparator);
  if (!dravik::readCalibrationBytes(bytes, reread.get()) ||
      !differencer.Compare(*written, *reread)) {
    throw operationError(source + ": its " + encodingName(encoding) +
                         " encoding does not read back as the same " + kindName(kind));
  }
  return bytes;
}

Encoding encodingFromFlag(const std::string& flag) {
  return flag == encodingName(Encoding::kWire) ? Encoding::kWire : Encoding::kText;
}

InputFile readInput(const std::string& path) {
  InputFile input{path, ""};
  const bool standard_input = path == "-";
  if (standard_input) input.path = "(standard input)";
  struct stat status;
  if (!standard_input && ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    throw operationError(path + ": cannot read: " + std::strerror(EISDIR));
  }
  std::FILE* file = standard_input ? stdin : std::fopen(path.c_str(), "rb");
  if (!file) throw operationError(path + ": cannot read: " + std::strerror(errno));
  char buffer[65536];
  size_t count;
  bool too_large = false;
  while (!too_large && (count = std::fread(buffer, 1, sizeof(buffer), file)) > 0) {
    too_large = count > dravik::File::kMaxFileBytes - input.data.size();
    if (!too_large) input.data.append(buffer, count);
  }
  const bool failed = std::ferror(file);
  const int error = errno;
  if (!standard_input) std::fclose(file);
  const std::string name = standard_input ? "standard input" : path;
  if (too_large) {
    throw operationError(name + ": cannot read: larger than " +
                         std::to_string(dravik::File::kMaxFileBytes >> 20) + " MiB");
  }
  if (failed) throw operationError(name + ": cannot read: " + std::strerror(error));
  if (input.data.empty()) throw operationError(input.path + ": is empty");
  if (input.data.find_first_not_of(" \t\n\r\f\v") == std::string::npos) {
    throw operationError(input.path + ": is empty (nothing but white space)");
  }
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
