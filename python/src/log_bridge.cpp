#define DRAVIK_LOG_FILE "python/log_bridge"

#include "log_bridge.h"

#include <atomic>
#include <string>

#include "dravik/logging.h"

namespace py = pybind11;

namespace camera_parameters_python {

// Hands a record's text to the thread's FailureReason, if any.
void keepReason(int level, const std::string& text);

namespace {

constexpr char kLoggerName[] = "camera_parameters";

// The reason of the innermost FailureReason alive on this thread.
thread_local FailureReason* t_reason = nullptr;

// False once the interpreter has begun to shut down: records then go to the
// library's stderr sink again.
std::atomic<bool> g_interpreter_alive{false};

// Python's logging levels (logging.CRITICAL ... logging.DEBUG) by library
// level; see log_bridge.h.
int pythonLevel(int level) {
  if (level <= 1) return 50;
  if (level == 2) return 40;
  if (level <= 4) return 30;
  if (level == 5) return 20;
  return 10;
}

// A str of library text, whatever bytes it holds (a path from a caller may
// not be UTF-8): undecodable bytes become U+FFFD.
py::str text(const std::string& value) {
  PyObject* decoded =
      PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace");
  if (!decoded) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(decoded);
}

void handToPython(const dravik::LogRecord& record) {
  const int level = pythonLevel(record.level);
  py::object logger = py::module_::import("logging").attr("getLogger")(kLoggerName);
  if (!logger.attr("isEnabledFor")(level).cast<bool>()) return;
  py::dict extra;
  extra["tag"] = text(record.tag);
  extra["library_level"] = record.level;
  // The text is the message as it is: no arguments, so a '%' in it is never
  // taken for a format.
  py::object entry = logger.attr("makeRecord")(kLoggerName, level, text(record.file), record.line,
                                               text(record.text), py::tuple(), py::none(),
                                               text(record.function), extra);
  logger.attr("handle")(entry);
}

// The library's sink. It may run on a thread that does not hold the GIL (a
// batch call releases it), so it takes the GIL; nothing it raises may reach
// the library, so Python errors are reported as unraisable and dropped.
void pythonSink(const dravik::LogRecord& record) {
  keepReason(record.level, record.text);
  if (!g_interpreter_alive.load() || !Py_IsInitialized()) return;
  py::gil_scoped_acquire gil;
  try {
    handToPython(record);
  } catch (py::error_already_set& error) {
    error.discard_as_unraisable("camera_parameters log record");
  } catch (...) {
    // A C++ error inside pybind11 (an allocation failure): the record is lost.
  }
}

// At interpreter exit: the stderr sink again, for any record written while
// the interpreter goes away.
void restoreStderrSink() {
  g_interpreter_alive.store(false);
  dravik::setLogSink(nullptr);
}

}  // namespace

void keepReason(int level, const std::string& text) {
  if (level == 2 && t_reason != nullptr && t_reason->text_.empty()) t_reason->text_ = text;
}

FailureReason::FailureReason() : outer_(t_reason) { t_reason = this; }

FailureReason::~FailureReason() { t_reason = outer_; }

void FailureReason::raise(const char* otherwise) const {
  if (!text_.empty()) throw py::value_error(text_);
  throw py::value_error(std::string(otherwise) +
                        " (the library writes its reason at set_log_level(2) and above)");
}

void bindLogging(py::module_& module) {
  g_interpreter_alive.store(true);
  dravik::setLogSink(pythonSink);
  py::module_::import("atexit").attr("register")(py::cpp_function(restoreStderrSink));

  module.def(
      "set_log_level", [](int level) { dravik::setLogLevel(level); }, py::arg("level"),
      R"(Makes the library write the records whose level is at most `level`.

Levels: 1 a failed check (the process then ends), 2 an operation fails
(logging.ERROR), 3 a warning (logging.WARNING, the default level), 5
information (logging.INFO), 6 solver trace (logging.DEBUG). The records go
to the logger "camera_parameters", whose own level filters them further.)");
  module.def(
      "log_level", [] { return dravik::logLevel(); },
      "The level set with set_log_level (3 by default).");
}

}  // namespace camera_parameters_python
