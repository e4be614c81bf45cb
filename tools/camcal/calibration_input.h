// Reading calibration files: the three kinds of calibration, their two
// encodings, and recognising which is which.
//
// Like the library, camcal reads protobuf wire format first and text format
// second. A file is recognised as the kind whose message it parses into
// without unknown fields (wire format tolerates unknown fields, so a base
// calibration in wire format would otherwise also "parse" as a robot
// calibration with no cameras).
#pragma once

#include <google/protobuf/message.h>

#include <memory>
#include <optional>
#include <string>

namespace camcal {

enum class CalibrationKind { kRobot, kBase, kPtz };
enum class Encoding { kWire, kText };

// "robot calibration", "base calibration", "PTZ calibration".
std::string kindName(CalibrationKind kind);
// The values of --kind: "robot", "base", "ptz"; "auto" (or empty) is no kind.
std::optional<CalibrationKind> kindFromFlag(const std::string& flag);
// "wire" or "text".
std::string encodingName(Encoding encoding);

// A whole input file; path "-" reads standard input.
struct InputFile {
  std::string path;
  std::string data;
};
// Throws an operation error "PATH: cannot read: <reason>".
InputFile readInput(const std::string& path);

struct ParsedCalibration {
  CalibrationKind kind;
  Encoding encoding;
  std::unique_ptr<google::protobuf::Message> message;
};

// A new, empty message of the kind.
std::unique_ptr<google::protobuf::Message> newMessage(CalibrationKind kind);

// The message in an encoding: protobuf wire format, or protobuf text format.
std::string encodeMessage(const google::protobuf::Message& message, Encoding encoding);
// The values of --to: "text", "wire".
Encoding encodingFromFlag(const std::string& flag);

// Parses the file as the given kind, or recognises its kind when none is
// given. Throws an operation error naming the file and, for text, the line
// and column of the first error.
ParsedCalibration parseCalibration(const InputFile& input, std::optional<CalibrationKind> kind);

// Parses the file as the kind a subcommand needs; a file of another kind is
// an error that says which kind it is.
ParsedCalibration parseExpected(const InputFile& input, CalibrationKind expected);

}  // namespace camcal
