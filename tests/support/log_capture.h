// Captures log records for the lifetime of the object (tests only).
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "dravik/logging.h"

namespace dravik::testing {

class LogCapture {
 public:
  explicit LogCapture(int level = 6) : previous_level_(logLevel()) {
    setLogLevel(level);
    setLogSink([this](const LogRecord& record) {
      std::lock_guard<std::mutex> lock(mutex_);
      records_.push_back(record);
    });
  }
  ~LogCapture() {
    setLogSink(nullptr);
    setLogLevel(previous_level_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogRecord> records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }
  // Records at or below max_level (the levels that report problems by default).
  std::vector<LogRecord> recordsUpTo(int max_level) const {
    std::vector<LogRecord> out;
    for (const auto& r : records()) {
      if (r.level <= max_level) out.push_back(r);
    }
    return out;
  }
  bool contains(int level, const std::string& tag, const std::string& text) const {
    for (const auto& r : records()) {
      if (r.level == level && r.tag == tag && r.text == text) return true;
    }
    return false;
  }

 private:
  int previous_level_;
  mutable std::mutex mutex_;
  std::vector<LogRecord> records_;
};

}  // namespace dravik::testing
