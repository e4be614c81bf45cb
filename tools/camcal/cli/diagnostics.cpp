#include "cli/diagnostics.h"

#include <google/protobuf/stubs/logging.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace camcal {

namespace {

// Level of protobuf's own messages (parse errors of text files): camcal
// reports those itself, so they show only with -v.
constexpr int kProtobufRecordLevel = 4;
constexpr char kProtobufTag[] = "protobuf";

int g_display_level = 3;
int g_verbosity = 0;
RecordCapture* g_capture = nullptr;

const char* severity(int level) {
  switch (level) {
    case 1:
      return "fatal";
    case 2:
      return "error";
    case 3:
      return "warning";
    case 4:
      return "detail";
    case 5:
      return "info";
    default:
      return "trace";
  }
}

void print(const dravik::LogRecord& record) {
  std::cerr << "camcal: " << severity(record.level) << ": " << printable(record.tag) << ": "
            << printable(record.text, true) << "\n";
}

void sink(const dravik::LogRecord& record) {
  // A failed check ends the process right after this record: show it now.
  if (record.level <= 1) {
    print(record);
    return;
  }
  if (g_capture) {
    g_capture->add(record);
  } else if (record.level <= g_display_level) {
    print(record);
  }
}

void protobufHandler(google::protobuf::LogLevel level, const char* /*filename*/, int /*line*/,
                     const std::string& message) {
  const int record_level = level == google::protobuf::LOGLEVEL_FATAL ? 1 : kProtobufRecordLevel;
  sink(dravik::LogRecord{record_level, kProtobufTag, "", "", 0, message});
}

bool isGenericNotice(const dravik::LogRecord& record) {
  return record.text.rfind("Loading default", 0) == 0 ||
         record.text.rfind("Error parsing robot calibration from", 0) == 0;
}

}  // namespace

void configureDiagnostics(int verbosity, bool quiet) {
  g_verbosity = verbosity;
  g_display_level = quiet ? 2 : 3 + verbosity;
  // Records of levels 2 and 3 are always wanted: they explain failed loads.
  dravik::setLogLevel(std::max(g_display_level, 3));
  dravik::setLogSink(sink);
  google::protobuf::SetLogHandler(protobufHandler);
}

int verbosity() { return g_verbosity; }

void note(const std::string& text) {
  if (g_display_level >= 3) std::cerr << "camcal: note: " << printable(text) << "\n";
}

std::string printable(const std::string& text, bool keep_newlines) {
  std::string shown;
  shown.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 0x20 && byte != 0x7f) || (keep_newlines && c == '\n')) {
      shown += c;
    } else if (c == '\n') {
      shown += "\\n";
    } else if (c == '\t') {
      shown += "\\t";
    } else if (c == '\r') {
      shown += "\\r";
    } else {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\x%02x", byte);
      shown += escape;
    }
  }
  return shown;
}

std::string firstLine(const std::string& text) {
  const size_t end = text.find('\n');
  if (end == std::string::npos) return text;
  const bool more = text.find_first_not_of(" \n", end) != std::string::npos;
  return text.substr(0, end) + (more ? " ..." : "");
}

RecordCapture::RecordCapture() : outer_(g_capture) { g_capture = this; }

RecordCapture::~RecordCapture() {
  g_capture = outer_;
  if (discarded_ || (consumed_ && g_verbosity == 0)) return;
  for (const auto& record : records_) {
    if (outer_ && !consumed_) {
      outer_->add(record);
    } else if (record.level <= g_display_level) {
      print(record);
    }
  }
}

std::string RecordCapture::reason() const {
  for (int max_level : {2, 3}) {
    for (const auto& record : records_) {
      if (record.level <= max_level && record.tag != kProtobufTag && !isGenericNotice(record)) {
        return firstLine(record.text);
      }
    }
  }
  for (const auto& record : records_) {
    if (record.level <= 3 && record.tag != kProtobufTag) return firstLine(record.text);
  }
  return "";
}

void RecordCapture::consume() { consumed_ = true; }

void RecordCapture::discard() { discarded_ = true; }

}  // namespace camcal
