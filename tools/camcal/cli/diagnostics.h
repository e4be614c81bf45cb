// Where the library's log records and camcal's own notes go.
//
// camcal installs one sink for the library's records (dravik/logging.h) and
// one handler for protobuf's own messages. A record is printed on stderr as
//   camcal: <severity>: <tag>: <text>
// when its level is at most the display level: 2 with -q, 3 by default
// (failures and warnings), one more for each -v (5 shows the library's
// information records, 6 the solver trace).
//
// While a RecordCapture is alive, records are held back instead: a failed
// load turns them into the reason of its one-line error (printed in full only
// with -v), a successful one lets them through as usual.
#pragma once

#include <string>
#include <vector>

#include "dravik/logging.h"

namespace camcal {

// Sets the display level from the -v count and -q, and installs the sinks.
void configureDiagnostics(int verbosity, bool quiet);
int verbosity();

// A warning of camcal itself, "camcal: note: <text>"; silenced by -q.
void note(const std::string& text);

class RecordCapture {
 public:
  RecordCapture();
  // Prints the records held back, as the display level allows, unless they
  // were consumed.
  ~RecordCapture();
  RecordCapture(const RecordCapture&) = delete;
  RecordCapture& operator=(const RecordCapture&) = delete;

  const std::vector<dravik::LogRecord>& records() const { return records_; }
  // The first line of the record that best explains a failure: the first
  // record of level 2 or below, else the first of level 3, skipping the
  // library's generic "Loading default ..." notices when something more
  // specific was logged. Empty when nothing was logged.
  std::string reason() const;
  // The records explain a failure that the caller reports itself: they are
  // not printed again, except in full with -v.
  void consume();
  // The records come from a second look at something already reported (a
  // diagnosis): they are never printed.
  void discard();

  // Called by the sink.
  void add(const dravik::LogRecord& record) { records_.push_back(record); }

 private:
  std::vector<dravik::LogRecord> records_;
  RecordCapture* outer_;
  bool consumed_ = false;
  bool discarded_ = false;
};

// The first line of text, with " ..." when more lines follow.
std::string firstLine(const std::string& text);

// Text as a terminal can show it: every control character (a newline too,
// unless keep_newlines) written as an escape (\n, \t, \r, \x1b, ...), so
// that a name holding one neither breaks the one line of a message nor sends
// the terminal a command.
std::string printable(const std::string& text, bool keep_newlines = false);

}  // namespace camcal
