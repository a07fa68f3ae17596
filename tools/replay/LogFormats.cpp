#include "tools/replay/LogFormats.h"

#include <stdexcept>

namespace refwarden {

namespace {

bool StartsWithHash(std::string_view line) { return !line.empty() && line.front() == '#'; }
bool AnyLine(std::string_view) { return true; }

}  // namespace

const std::vector<LogFormatRow>& LogFormats() {
  static const std::vector<LogFormatRow> formats = {
      {"w3c", "W3C extended (IIS, also Advanced Logging)", &StartsWithHash, false, &MakeW3cParser},
      {"combined", "NCSA combined (Apache, nginx)", &AnyLine, true, &MakeCombinedParser},
  };
  return formats;
}

const LogFormatRow* FindLogFormat(std::string_view name) {
  for (const LogFormatRow& row : LogFormats()) {
    if (name == row.name) return &row;
  }
  return nullptr;
}

std::vector<std::string> LogFormatNames() {
  std::vector<std::string> names;
  for (const LogFormatRow& row : LogFormats()) names.emplace_back(row.name);
  return names;
}

const LogFormatRow& DetectLogFormat(std::string_view firstLine) {
  for (const LogFormatRow& row : LogFormats()) {
    if (row.detect(firstLine)) return row;
  }
  return LogFormats().back();
}

LogParser::LogParser(const LogFormatRow& format) : format_(&format), parser_(format.makeParser()) {}

LogParser::LogParser(std::string_view formatName)
    : LogParser([formatName]() -> const LogFormatRow& {
        const LogFormatRow* row = FindLogFormat(formatName);
        if (row == nullptr) throw std::invalid_argument("no log format " + std::string(formatName));
        return *row;
      }()) {}

}  // namespace refwarden
