// How a subcommand reports failure: one line for stderr and the exit status.
#pragma once

#include <stdexcept>
#include <string>

namespace camcal {

// Exit statuses of camcal.
constexpr int kExitSuccess = 0;
constexpr int kExitFailed = 1;  // the operation failed: unreadable or invalid input, unknown camera
constexpr int kExitUsage = 2;   // the command line itself is wrong

// Thrown by a subcommand; main prints "camcal: <message>" and exits with
// `status`. The message is one line, naming what was wrong and with which
// input.
class CommandError : public std::runtime_error {
 public:
  CommandError(int status, const std::string& message)
      : std::runtime_error(message), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

inline CommandError usageError(const std::string& message) {
  return CommandError(kExitUsage, message);
}
inline CommandError operationError(const std::string& message) {
  return CommandError(kExitFailed, message);
}

}  // namespace camcal
