// Replaying access logs through the filter library: every request a log line
// records goes through HttpFilterProc, and the outcomes are summed up.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/FilterHost.h"
#include "tools/replay/LogParser.h"
#include "tools/replay/ReplaySummary.h"

namespace refwarden {

struct ReplayOptions {
  std::vector<std::string> files;   // "-" is standard input
  std::optional<std::string> host;  // the Host for lines that record none
  std::optional<LogFormat> format;  // forced; otherwise judged per file
  bool progress = true;             // draw a bar when stderr is a terminal
};

// A log that needs --host (it records no Host) when none was given.
class MissingHostError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A log that cannot be opened or read; the message names the file.
class LogFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Returns the summary of replaying every file in `options.files`, in order,
// through `filter`. Every file is opened before the first is read. Malformed
// lines are counted and skipped. Throws LogFileError or MissingHostError.
ReplaySummary ReplayLogs(const FilterLibrary& filter, const ReplayOptions& options);

}  // namespace refwarden
