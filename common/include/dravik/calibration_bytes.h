// Reading calibration bytes: protobuf wire format first, then text format,
// the one order in which the library and its tools read every calibration,
// and the checks every calibration message gets before it is used.
#pragma once

#include <string>

#include "dravik/text_format.h"

namespace dravik {

// The two encodings of a calibration message.
enum class CalibrationEncoding { kWire, kText };

// Reads bytes into *message (cleared first): protobuf wire format when they
// parse as it, else protobuf text format. Returns false when they parse as
// neither. *encoding (when not null) says which encoding was read; *text_error
// (when not null) holds the text parser's first error after a failed text
// attempt. Writes nothing to any stream or log. (Zero bytes are an empty
// wire-format message.)
bool readCalibrationBytes(const std::string& bytes, google::protobuf::Message* message,
                          CalibrationEncoding* encoding = nullptr,
                          TextFormatError* text_error = nullptr);

// The path of the first float or double field of message (nested messages
// included) whose value is NaN or infinite, with its value, as
// "intrinsics.k[2] (nan)"; empty when every value is finite.
std::string firstNonFiniteField(const google::protobuf::Message& message);

}  // namespace dravik
