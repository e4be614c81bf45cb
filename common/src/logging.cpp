#include "dravik/logging.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <vector>

namespace dravik {
namespace {

constexpr int kTerminatingLevel = 1;
constexpr int kDefaultLevel = 3;

// The logger's state is process-wide, as is the table of embedded files
// (file.cpp), which modules fill as they load: the level is read on every
// statement, so it is atomic; the sink is swapped rarely and is read under a
// mutex, then called without it. Each statement also keeps its own count of
// the records it wrote (logging.h).
std::atomic<int> g_level{kDefaultLevel};

struct SinkHolder {
  std::mutex mutex;
  std::shared_ptr<const LogSink> sink;
};

SinkHolder& sinkHolder() {
  static SinkHolder holder;
  return holder;
}

void writeToStderr(const LogRecord& record) {
  std::ostringstream line;
  line << "[" << record.level << " " << record.tag << " " << record.file << ":" << record.line
       << " " << record.function << "] " << record.text;
  if (record.text.empty() || record.text.back() != '\n') line << '\n';
  std::cerr << line.str() << std::flush;
}

void emit(const LogRecord& record) {
  std::shared_ptr<const LogSink> sink;
  {
    SinkHolder& holder = sinkHolder();
    std::lock_guard<std::mutex> lock(holder.mutex);
    sink = holder.sink;
  }
  if (sink) {
    (*sink)(record);
  } else {
    writeToStderr(record);
  }
}

}  // namespace

void setLogSink(LogSink sink) {
  std::shared_ptr<const LogSink> replacement;
  if (sink) replacement = std::make_shared<const LogSink>(std::move(sink));
  SinkHolder& holder = sinkHolder();
  std::lock_guard<std::mutex> lock(holder.mutex);
  holder.sink = std::move(replacement);
}

void setLogLevel(int level) { g_level.store(level, std::memory_order_relaxed); }

int logLevel() { return g_level.load(std::memory_order_relaxed); }

bool isLoggerEnabled(int level, const char* /*tag*/) {
  return level <= g_level.load(std::memory_order_relaxed);
}

bool loggerMustBreak(int level, const char* /*tag*/) { return level <= kTerminatingLevel; }

bool handleAssertion(const char* file, int line, const char* function, const char* message) {
  std::cerr << file << ":" << line << " " << internal::qualifiedFunctionName(function) << ": "
            << message << std::flush;
  return false;
}

LoggingStream::LoggingStream(void* /*logger*/, int level, const char* tag, const char* file,
                             const char* function, int line, std::atomic<int>* counter)
    : level_(level), tag_(tag), file_(file), function_(function), line_(line) {
  if (counter) counter->fetch_add(1, std::memory_order_relaxed);
}

LoggingStream::~LoggingStream() {
  emit(LogRecord{level_, tag_, file_, internal::qualifiedFunctionName(function_), line_,
                 stream_.str()});
}

void logToLogger(void* /*logger*/, int level, const char* tag, const char* file,
                 const char* function, int line, std::atomic<int>* counter, const char* format,
                 ...) {
  if (counter) counter->fetch_add(1, std::memory_order_relaxed);
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  const int size = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  std::string text;
  if (size > 0) {
    std::vector<char> buffer(static_cast<size_t>(size) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    text.assign(buffer.data(), static_cast<size_t>(size));
  }
  va_end(args);
  emit(LogRecord{level, tag, file, internal::qualifiedFunctionName(function), line, text});
}

namespace {

// The '(' that opens the parameter list of a compiler signature: the first
// one that is neither the name of operator() nor part of "(anonymous ...)".
size_t parameterListStart(const std::string& signature) {
  static const std::string kAnonymous = "(anonymous ";
  static const std::string kCallOperator = "operator()";
  for (size_t i = 0; i < signature.size(); ++i) {
    if (signature[i] != '(') continue;
    if (signature.compare(i, kAnonymous.size(), kAnonymous) == 0) {
      i = signature.find(')', i);
      if (i == std::string::npos) return i;
      continue;
    }
    if (i >= 8 && signature.compare(i - 8, kCallOperator.size(), kCallOperator) == 0) {
      ++i;  // skip "()" of the operator's name
      continue;
    }
    return i;
  }
  return std::string::npos;
}

// Where "operator" starts when the name that ends at `end` is an operator
// (operator<, operator<<=, operator() ...), else npos. Its symbols must not
// be mistaken for template brackets.
size_t operatorNameStart(const std::string& signature, size_t end) {
  static const std::string kOperator = "operator";
  size_t i = end;
  while (i > 0 && std::strchr("<>=!+-*/%&|^~[](),", signature[i - 1]) != nullptr) --i;
  if (i < kOperator.size()) return std::string::npos;
  const size_t start = i - kOperator.size();
  return signature.compare(start, kOperator.size(), kOperator) == 0 ? start : std::string::npos;
}

}  // namespace

namespace internal {

void checkFailed(const char* file, const char* function, int line, const std::string& text) {
  LogRecord record{kTerminatingLevel, "check", file, qualifiedFunctionName(function), line, text};
  // The record goes to the installed sink when the level is enabled; the
  // stderr line is always written, so that the reason for the abort is never
  // lost, whatever the sink or level.
  if (isLoggerEnabled(kTerminatingLevel, "check")) emit(record);
  bool sink_is_stderr;
  {
    SinkHolder& holder = sinkHolder();
    std::lock_guard<std::mutex> lock(holder.mutex);
    sink_is_stderr = !holder.sink;
  }
  if (!sink_is_stderr || !isLoggerEnabled(kTerminatingLevel, "check")) writeToStderr(record);
  std::abort();
}

std::string qualifiedFunctionName(const char* pretty_function) {
  if (!pretty_function) return {};
  const std::string signature(pretty_function);
  const size_t open = parameterListStart(signature);
  if (open == std::string::npos) return signature;
  size_t name_end = open;
  const size_t op = operatorNameStart(signature, open);
  if (op != std::string::npos) name_end = op;
  // The name starts after the last blank outside template arguments and
  // parentheses ("(anonymous namespace)").
  int depth = 0;
  size_t start = 0;
  for (size_t i = name_end; i-- > 0;) {
    const char c = signature[i];
    if (c == '>' || c == ')') ++depth;
    if ((c == '<' || c == '(') && depth > 0) --depth;
    if (c == ' ' && depth == 0) {
      start = i + 1;
      break;
    }
  }
  return signature.substr(start, open - start);
}

}  // namespace internal
}  // namespace dravik
