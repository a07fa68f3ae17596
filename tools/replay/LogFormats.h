// The table of log formats replay reads. A new format is one LineParser
// (LogParser.h) and one row here: the row gives --format its name and
// --help its words, and detection its order.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tools/replay/LogParser.h"

namespace refwarden {

struct LogFormatRow {
  const char* name;         // as --format takes it
  const char* description;  // for --help: what writes it
  // Whether a file whose first non-empty line (without a byte-order mark) is
  // `firstLine` is in this format.
  bool (*detect)(std::string_view firstLine);
  // True: the format records no Host, so a replay needs --host. (A format
  // with directives says per directive instead, in LogFields::host.)
  bool needsHost;
  std::unique_ptr<LineParser> (*makeParser)();
};

// Every format, in the order detection tries them; the last accepts any line.
const std::vector<LogFormatRow>& LogFormats();

// The row named `name`, or nullptr.
const LogFormatRow* FindLogFormat(std::string_view name);

// The names of all formats, in table order.
std::vector<std::string> LogFormatNames();

// The format of a file whose first non-empty line is `firstLine`: the first
// row whose detector accepts it.
const LogFormatRow& DetectLogFormat(std::string_view firstLine);

}  // namespace refwarden
