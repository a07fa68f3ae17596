#include "tools/replay/LogFormats.h"

#include <stdexcept>

namespace refwarden {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A W3C log starts with its directives; one whose header block was cut off
// starts with a line's date and time ("2024-05-01 12:00:00 "), which no
// combined line does (those start with the client's address).
bool LooksLikeW3c(std::string_view line) {
  if (!line.empty() && line.front() == '#') return true;
  constexpr std::string_view kShape = "0000-00-00 00:00:00 ";
  if (line.size() < kShape.size()) return false;
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    if (kShape[i] == '0' ? !IsDigit(line[i]) : line[i] != kShape[i]) return false;
  }
  return true;
}
bool AnyLine(std::string_view) { return true; }

}  // namespace

const std::vector<LogFormatRow>& LogFormats() {
  static const std::vector<LogFormatRow> formats = {
      {"w3c", "W3C extended (IIS, also Advanced Logging)", &LooksLikeW3c, false, &MakeW3cParser},
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
