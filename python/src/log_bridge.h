// The library's log records in Python's logging.
//
// Every record of the library (dravik/logging.h) goes to the logger
// "camera_parameters" (the library parses text quietly: the protobuf parser
// writes nothing of its own, and its log handler is left to the host):
//   level 1 (a failed check; the process then ends) -> CRITICAL
//   level 2 (an operation fails)                    -> ERROR
//   level 3 and 4 (a warning)                       -> WARNING
//   level 5 (information)                           -> INFO
//   level 6 and above (solver trace)                -> DEBUG
// The record's extra holds the tag ("camera_parameters", "ptz_camera_model",
// ...) as `tag` and the library's level as `library_level`; its pathname,
// lineno and funcName are the library's source location. Which records the
// library writes at all is set with set_log_level (3 by default); the
// logger's own level and handlers filter them further.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace camera_parameters_python {

// While it lives, keeps the text of the first level-2 record (an operation
// fails) that the calling thread writes, so that a call can raise with the
// library's own reason. The record still goes to the logger. Nothing is kept
// when the library's level is below 2 (set_log_level(1)).
class FailureReason {
 public:
  FailureReason();
  ~FailureReason();
  FailureReason(const FailureReason&) = delete;
  FailureReason& operator=(const FailureReason&) = delete;

  // Raises ValueError with the reason, or, when none was written, with
  // `otherwise` and how to have it written.
  [[noreturn]] void raise(const char* otherwise) const;

 private:
  friend void keepReason(int level, const std::string& text);
  FailureReason* outer_;
  std::string text_;
};

// Installs the log sink and adds set_log_level and log_level to the module.
void bindLogging(pybind11::module_& module);

}  // namespace camera_parameters_python
