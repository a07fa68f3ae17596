// Replaying access logs through the filter library: every request a log line
// records goes through HttpFilterProc, and the outcomes are summed up.
#pragma once

#include <atomic>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/FilterHost.h"
#include "tools/replay/LogFormats.h"
#include "tools/replay/ReplaySummary.h"

namespace refwarden {

struct ReplayOptions {
  std::vector<std::string> files;        // "-" is standard input
  std::optional<std::string> host;       // the Host for lines that record none
  const LogFormatRow* format = nullptr;  // forced; otherwise judged per file
  // Replay W3C logs whose #Fields record no referer, as requests without one.
  bool withoutReferer = false;
  bool progress = true;  // draw a bar when stderr is a terminal
  // When set (by a signal handler), the replay stops after the line at hand
  // and the summary says it was interrupted.
  const std::atomic<bool>* stop = nullptr;
};

// A log that needs --host (it records no Host) when none was given.
class MissingHostError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A W3C log whose #Fields record no referer, without withoutReferer: every
// request would look as if it had none. The message names the directive.
class MissingRefererError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A log that cannot be opened; the message names the file.
class LogFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Returns the summary of replaying every file in `options.files`, in order,
// through `filter`. Each file is opened and read once (LogRequests). Before
// the first request, every file is opened and the directives at its start are
// checked, so that a log that cannot be opened or cannot say what is needed
// stops the replay before it begins (throws LogFileError, MissingHostError or
// MissingRefererError; the last two also when a later directive drops the
// field); the files wait open, with what was read of them, for their turn. Malformed lines (also
// lines longer than LogReader::kMaxLineLength) are counted and skipped. A file that cannot be read
// to its end is recorded in the summary's errors() and the replay goes on with the next.
ReplaySummary ReplayLogs(const FilterLibrary& filter, const ReplayOptions& options);

}  // namespace refwarden
