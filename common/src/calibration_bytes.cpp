#include "dravik/calibration_bytes.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include <cmath>
#include <sstream>

namespace dravik {

namespace {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;

// The value of a float or double field (element index of a repeated one).
double numberOf(const Message& message, const FieldDescriptor* field, int index) {
  const Reflection* reflection = message.GetReflection();
  const bool is_float = field->cpp_type() == FieldDescriptor::CPPTYPE_FLOAT;
  if (field->is_repeated()) {
    return is_float ? reflection->GetRepeatedFloat(message, field, index)
                    : reflection->GetRepeatedDouble(message, field, index);
  }
  return is_float ? reflection->GetFloat(message, field) : reflection->GetDouble(message, field);
}

std::string elementName(const FieldDescriptor* field, int index) {
  return field->is_repeated() ? field->name() + "[" + std::to_string(index) + "]" : field->name();
}

std::string nonFiniteIn(const Message& message) {
  const Reflection* reflection = message.GetReflection();
  std::vector<const FieldDescriptor*> fields;
  reflection->ListFields(message, &fields);
  for (const FieldDescriptor* field : fields) {
    const int count = field->is_repeated() ? reflection->FieldSize(message, field) : 1;
    const FieldDescriptor::CppType type = field->cpp_type();
    for (int i = 0; i < count; ++i) {
      if (type == FieldDescriptor::CPPTYPE_MESSAGE) {
        const Message& inner = field->is_repeated()
                                   ? reflection->GetRepeatedMessage(message, field, i)
                                   : reflection->GetMessage(message, field);
        const std::string found = nonFiniteIn(inner);
        if (!found.empty()) return elementName(field, i) + "." + found;
      } else if (type == FieldDescriptor::CPPTYPE_FLOAT ||
                 type == FieldDescriptor::CPPTYPE_DOUBLE) {
        const double value = numberOf(message, field, i);
        if (std::isfinite(value)) continue;
        std::ostringstream text;
        text << elementName(field, i) << " (" << value << ")";
        return text.str();
      }
    }
  }
  return "";
}

}  // namespace

bool readCalibrationBytes(const std::string& bytes, google::protobuf::Message* message,
                          CalibrationEncoding* encoding, TextFormatError* text_error) {
  if (message == nullptr) return false;
  // Each parser clears the message before it reads, so a half-parsed wire
  // message never leaks into the text attempt.
  if (message->ParseFromString(bytes)) {
    if (encoding != nullptr) *encoding = CalibrationEncoding::kWire;
    return true;
  }
  if (encoding != nullptr) *encoding = CalibrationEncoding::kText;
  return parseTextFormat(bytes, message, text_error);
}

std::string firstNonFiniteField(const google::protobuf::Message& message) {
  return nonFiniteIn(message);
}

}  // namespace dravik
