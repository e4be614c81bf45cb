// Logging and fatal checks of the dravik platform.
//
// Every record carries a level, a tag naming the subsystem, and the source
// location. Levels:
//   1  failed check (tag "check"); the process ends after the record
//   2  an operation fails
//   3  a warning; the operation goes on
//   5  information
//   6  solver trace
// A record is enabled when its level is at most the level set with
// setLogLevel (3 by default), whatever its tag. Records go to one process-wide
// sink: by default a readable line on stderr; tests and tools install their
// own with setLogSink. The sink may be called from any thread; it is called
// with no lock held by this library, so it must synchronise itself if needed.
//
// Typical use inside a library:
//   DRAVIK_LOG(2, "camera_parameters") << "Can't open " << path;
//   DRAVIK_CHECK(readProto());               // "Check failed readProto() "
//   DRAVIK_CHECK_GE(src.a_size(), 12);       // "Check failed: src.a_size() >= 12 (7 vs. 12) "
#pragma once

#include <atomic>
#include <functional>
#include <sstream>
#include <string>

namespace dravik {

struct LogRecord {
  int level;
  std::string tag;
  std::string file;  // e.g. "calibration_common/camera_parameters"
  std::string
      function;  // qualified name, e.g. "dravik::calibration::CameraParametersSet::loadFromFile"
  int line;
  std::string text;  // exactly what the statement streamed or formatted
};

using LogSink = std::function<void(const LogRecord&)>;

// Sends every record to sink; an empty sink restores the stderr sink.
void setLogSink(LogSink sink);
// Enables the records whose level is at most level, for every tag.
void setLogLevel(int level);
int logLevel();

bool isLoggerEnabled(int level, const char* tag);
// True for the terminating level (1): a printf-style statement at that level
// must hand over to handleAssertion.
bool loggerMustBreak(int level, const char* tag);
// Reports a terminating log statement on stderr. Returns true when the caller
// should break into a debugger (never, in this implementation).
bool handleAssertion(const char* file, int line, const char* function, const char* message);

// Collects one streamed record; the record is emitted when the stream is
// destroyed. `logger` is reserved for a non-default logger and may be null.
// `counter` counts the records written by one statement.
class LoggingStream {
 public:
  LoggingStream(void* logger, int level, const char* tag, const char* file, const char* function,
                int line, std::atomic<int>* counter);
  ~LoggingStream();
  LoggingStream(const LoggingStream&) = delete;
  LoggingStream& operator=(const LoggingStream&) = delete;

  std::ostream& stream() { return stream_; }
  template <typename T>
  LoggingStream& operator<<(const T& value) {
    stream_ << value;
    return *this;
  }

 private:
  int level_;
  const char* tag_;
  const char* file_;
  const char* function_;
  int line_;
  std::ostringstream stream_;
};

// printf-style record.
void logToLogger(void* logger, int level, const char* tag, const char* file, const char* function,
                 int line, std::atomic<int>* counter, const char* format, ...)
    __attribute__((format(printf, 8, 9)));

namespace internal {
// Writes the level-1 "check" record and ends the process.
[[noreturn]] void checkFailed(const char* file, const char* function, int line,
                              const std::string& text);

template <typename A, typename B>
[[noreturn]] void checkOpFailed(const char* file, const char* function, int line,
                                const char* expression, const A& a, const B& b) {
  std::ostringstream text;
  text << "Check failed: " << expression << " (" << a << " vs. " << b << ") ";
  checkFailed(file, function, line, text.str());
}

// Qualified function name from a compiler signature such as
// "bool dravik::calibration::Foo::bar(int) const".
std::string qualifiedFunctionName(const char* pretty_function);
}  // namespace internal

}  // namespace dravik

// Each source that logs defines DRAVIK_LOG_FILE before including this header,
// e.g. #define DRAVIK_LOG_FILE "calibration_common/camera_parameters".
#ifndef DRAVIK_LOG_FILE
#define DRAVIK_LOG_FILE __FILE__
#endif

#define DRAVIK_LOG(level, tag)                                                             \
  if (!::dravik::isLoggerEnabled((level), (tag))) {                                        \
  } else                                                                                   \
    ::dravik::LoggingStream(nullptr, (level), (tag), DRAVIK_LOG_FILE, __PRETTY_FUNCTION__, \
                            __LINE__,                                                      \
                            [] {                                                           \
                              static std::atomic<int> counter{0};                          \
                              return &counter;                                             \
                            }())                                                           \
        .stream()

#define DRAVIK_LOGF(level, tag, ...)                                                       \
  do {                                                                                     \
    if (::dravik::isLoggerEnabled((level), (tag))) {                                       \
      static std::atomic<int> dravik_log_counter{0};                                       \
      ::dravik::logToLogger(nullptr, (level), (tag), DRAVIK_LOG_FILE, __PRETTY_FUNCTION__, \
                            __LINE__, &dravik_log_counter, __VA_ARGS__);                   \
      if (::dravik::loggerMustBreak((level), (tag)) &&                                     \
          ::dravik::handleAssertion(                                                       \
              DRAVIK_LOG_FILE, __LINE__, __PRETTY_FUNCTION__,                              \
              "Assertion failed: Reached terminating log level. Terminating\n")) {         \
        __builtin_trap();                                                                  \
      }                                                                                    \
    }                                                                                      \
  } while (false)

#define DRAVIK_CHECK(condition)                                                       \
  do {                                                                                \
    if (!(condition)) {                                                               \
      ::dravik::internal::checkFailed(DRAVIK_LOG_FILE, __PRETTY_FUNCTION__, __LINE__, \
                                      "Check failed " #condition " ");                \
    }                                                                                 \
  } while (false)

#define DRAVIK_CHECK_OP(op, a, b)                                                           \
  do {                                                                                      \
    const auto& dravik_check_a = (a);                                                       \
    const auto& dravik_check_b = (b);                                                       \
    if (!(dravik_check_a op dravik_check_b)) {                                              \
      ::dravik::internal::checkOpFailed(DRAVIK_LOG_FILE, __PRETTY_FUNCTION__, __LINE__,     \
                                        #a " " #op " " #b, dravik_check_a, dravik_check_b); \
    }                                                                                       \
  } while (false)

#define DRAVIK_CHECK_GE(a, b) DRAVIK_CHECK_OP(>=, a, b)
#define DRAVIK_CHECK_GT(a, b) DRAVIK_CHECK_OP(>, a, b)
#define DRAVIK_CHECK_EQ(a, b) DRAVIK_CHECK_OP(==, a, b)
