// Fuzzed inputs fail to parse almost every time. Both the library's records
// and libprotobuf's own parse errors are switched off, so that the fuzzer's
// time goes into the code under test rather than into writing to stderr.
#pragma once

#include <google/protobuf/stubs/logging.h>

#include "dravik/logging.h"

inline void quietLogs() {
  static const bool quiet = [] {
    dravik::setLogLevel(0);
    google::protobuf::SetLogHandler(nullptr);
    return true;
  }();
  (void)quiet;
}
