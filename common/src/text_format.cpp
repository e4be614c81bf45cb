#include "dravik/text_format.h"

#include <google/protobuf/io/tokenizer.h>
#include <google/protobuf/message.h>
#include <google/protobuf/text_format.h>

namespace dravik {

namespace {

// Keeps the first error and drops the rest (and every warning): once the
// parser has met one error, the later ones are consequences of it.
class FirstErrorCollector : public google::protobuf::io::ErrorCollector {
 public:
  explicit FirstErrorCollector(TextFormatError* error) : error_(error) {}

  void AddError(int line, int column, const std::string& message) override {
    if (seen_) return;
    seen_ = true;
    // The parser counts lines and columns from 0.
    *error_ = TextFormatError{line + 1, column + 1, message};
  }
  void AddWarning(int, int, const std::string&) override {}

 private:
  TextFormatError* error_;
  bool seen_ = false;
};

}  // namespace

std::string TextFormatError::text() const {
  return "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + message;
}

bool parseTextFormat(const std::string& text, google::protobuf::Message* message,
                     TextFormatError* error) {
  if (message == nullptr) return false;
  TextFormatError first;
  FirstErrorCollector collector(&first);
  google::protobuf::TextFormat::Parser parser;
  parser.RecordErrorsTo(&collector);
  const bool parsed = parser.ParseFromString(text, message);
  if (!parsed && error != nullptr) *error = first;
  return parsed;
}

}  // namespace dravik
