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
#include <vector>

#include "dravik/calibration_bytes.h"

namespace camcal {

enum class CalibrationKind { kRobot, kBase, kPtz };
// The library's two encodings, read in its order (dravik/calibration_bytes.h).
using Encoding = dravik::CalibrationEncoding;

// "robot calibration", "base calibration", "PTZ calibration".
std::string kindName(CalibrationKind kind);
// The values of --kind: "robot", "base", "ptz"; "auto" (or empty) is no kind.
std::optional<CalibrationKind> kindFromFlag(const std::string& flag);
// The values --kind accepts: "auto", then each kind's.
std::vector<std::string> kindFlags();
// "wire" or "text".
std::string encodingName(Encoding encoding);

// A whole input file; path "-" reads standard input.
struct InputFile {
  std::string path;
  std::string data;
};
// Throws an operation error "PATH: cannot read: <reason>", also for more
// than the library's read limit (dravik::File::kMaxFileBytes), and
// "PATH: is empty" for a file that holds nothing or only white space (zero
// bytes would read as an empty wire-format message).
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

// The fields of message (nested messages included) that its schema does not
// know, as "99", "camera[0].intrinsics.42"; wire format keeps them.
std::vector<std::string> unknownFieldsOf(const google::protobuf::Message& message);

// What a command may write besides an ordinary calibration.
struct OutputRules {
  bool allow_empty = false;   // a robot calibration with no camera
  bool drop_unknown = false;  // text format without the fields the schema does not know
};
// The calibration of `kind` read from `source`, encoded for writing. Throws an
// operation error naming source for a robot calibration with no camera
// (unless rules.allow_empty) and for text format of a message holding fields
// the schema does not know (unless rules.drop_unknown, which leaves them
// out), and when the encoded bytes would not read back into the same
// message, so that no command writes a file the library cannot load as it
// loaded the source.
std::string encodeForOutput(const std::string& source, CalibrationKind kind,
                            const google::protobuf::Message& message, Encoding encoding,
                            const OutputRules& rules);
// The values of --to: "text", "wire".
Encoding encodingFromFlag(const std::string& flag);
std::vector<std::string> encodingFlags();

// Parses the file as the given kind, or recognises its kind when none is
// given. Throws an operation error naming the file and, for text, the line
// and column of the first error.
ParsedCalibration parseCalibration(const InputFile& input, std::optional<CalibrationKind> kind);

// Parses the file as the kind a subcommand needs; a file of another kind is
// an error that says which kind it is.
ParsedCalibration parseExpected(const InputFile& input, CalibrationKind expected);

}  // namespace camcal
