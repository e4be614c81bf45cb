// Protobuf text format, parsed quietly.
//
// The text parser of libprotobuf reports syntax errors through its process-wide
// log handler, which by default writes them to stderr. A library that reports
// through its own log sink parses with this helper instead: the parser's
// messages are collected here and handed to the caller, and nothing reaches
// stderr or the host's protobuf log handler.
#pragma once

#include <cstddef>
#include <string>

namespace google {
namespace protobuf {
class Message;
}  // namespace protobuf
}  // namespace google

namespace dravik {

// The first error of a failed parse; line and column count from 1.
struct TextFormatError {
  int line = 0;
  int column = 0;
  std::string message;  // the parser's own words, e.g. "Expected \":\", found \"2474.9\"."

  // "line 7, column 8: Expected ":", found "2474.9"."
  std::string text() const;
};

// Parses text, in protobuf text format, into *message, which is cleared first
// (as TextFormat::ParseFromString does). Returns false when the text does not
// parse, with the first error in *error when error is not null; writes nothing
// to any stream or log.
bool parseTextFormat(const std::string& text, google::protobuf::Message* message,
                     TextFormatError* error = nullptr);

// The most of a message a log record quotes.
constexpr std::size_t kMaxQuotedMessageBytes = 64 * 1024;

// The message as its DebugString() prints it, when that is at most
// kMaxQuotedMessageBytes long; else its first kMaxQuotedMessageBytes bytes
// followed by "...". Printing stops at the limit, so quoting a huge message
// costs no more than quoting a short one.
std::string quoteMessage(const google::protobuf::Message& message);

}  // namespace dravik
