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

// Returns the summary of replaying every file in `options.files`, in order,
// through `filter`. Each file is opened and read once (LogRequests). Before
// the first request, every file is opened and the directives at its start are
// checked; the files wait open, with what was read of them, for their turn.
// A log that needs --host when none was given stops the replay before it
// begins (throws MissingHostError). One bad file does not stop the others:
// a file that cannot be opened or read to its end is recorded in the
// summary's errors(); a file refused (it records no referer, a #Fields
// directive is too long, a later directive drops the host, or it is not a log
// replay reads: LogRequests) in its refused(). Malformed lines (also lines
// longer than LogReader::kMaxLineLength) are counted and skipped. When
// `options.stop` becomes true, nothing more is read or sent to the filter and
// the summary so far says it was interrupted.
ReplaySummary ReplayLogs(const FilterLibrary& filter, const ReplayOptions& options);

}  // namespace refwarden
