#include "dravik/text_format.h"

#include <google/protobuf/io/tokenizer.h>
#include <google/protobuf/io/zero_copy_stream.h>
#include <google/protobuf/message.h>
#include <google/protobuf/text_format.h>

#include <algorithm>
#include <cstdint>

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

// An output stream that takes at most `limit` bytes and then refuses more,
// which ends the printer's work.
class BoundedStringStream : public google::protobuf::io::ZeroCopyOutputStream {
 public:
  BoundedStringStream(std::string* out, size_t limit) : out_(out), limit_(limit) {}

  bool Next(void** data, int* size) override {
    if (out_->size() >= limit_) {
      full_ = true;
      return false;
    }
    const size_t old_size = out_->size();
    out_->resize(std::min(limit_, old_size + kChunk));
    *data = &(*out_)[old_size];
    *size = static_cast<int>(out_->size() - old_size);
    return true;
  }
  void BackUp(int count) override { out_->resize(out_->size() - static_cast<size_t>(count)); }
  int64_t ByteCount() const override { return static_cast<int64_t>(out_->size()); }
  // True when the printer wanted to write beyond the limit.
  bool full() const { return full_; }

 private:
  static constexpr size_t kChunk = 4096;
  std::string* out_;
  size_t limit_;
  bool full_ = false;
};

}  // namespace

std::string quoteMessage(const google::protobuf::Message& message) {
  std::string text;
  bool full = false;
  {
    BoundedStringStream stream(&text, kMaxQuotedMessageBytes);
    // The printer of DebugString(), which expands Any fields.
    google::protobuf::TextFormat::Printer printer;
    printer.SetExpandAny(true);
    printer.Print(message, &stream);
    full = stream.full();
  }
  if (full) text += "...";
  return text;
}

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
