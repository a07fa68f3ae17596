// Parsing web-server access log lines into the three values the filter reads:
// host, referer and request URL. Two formats: the W3C extended format (IIS,
// also as its Advanced Logging module writes it), whose columns a "#Fields:"
// directive names, and the NCSA combined format (Apache, nginx), which records
// no host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace refwarden {

enum class LogFormat { kW3c, kCombined };

// Returns the format a file is in, judged by its first non-empty line
// (without a byte-order mark): W3C when it starts with '#', combined
// otherwise.
LogFormat DetectLogFormat(std::string_view firstLine);

// One request as a log line records it. The views point into the line or into
// the parser's own buffers and stay valid until the parser's next Parse call.
struct LogRequest {
  bool hasHost = false;      // false: the format records no host (see --host)
  bool hasReferer = false;   // false: the format records no referer
  std::string_view host;     // empty when the request had no Host header
  std::string_view referer;  // empty when the request had no Referer header
  std::string_view url;      // path, plus '?' and the query when there is one
  std::uint32_t date = 0;    // the day as yyyymmdd (LogDates), 0 when the line records none
};

enum class LineKind {
  kRequest,    // *request was filled in
  kFields,     // a W3C "#Fields:" directive; fields() describes it
  kIgnored,    // empty line or another W3C directive
  kMalformed,  // not a line of this format; *request is unspecified
};

// What the last W3C "#Fields:" directive records.
struct W3cFields {
  bool url = false;      // cs-uri-stem
  bool host = false;     // cs-host or cs(Host)
  bool referer = false;  // cs(Referer)
};

class LogParser {
 public:
  explicit LogParser(LogFormat format) : format_(format) {}

  LogFormat format() const { return format_; }
  const W3cFields& fields() const { return fields_; }

  // Parses one line, without its line ending. A W3C "#Fields:" directive
  // sets the columns of the lines after it; before one, every W3C data line
  // is malformed. W3C fields are separated by runs of blanks; a field that
  // begins with '"' runs to the closing quote and may hold blanks ("" inside
  // is one quote); '-' is an absent value; field names compare ignoring
  // ASCII case. Combined values lose their quotes and backslash escapes
  // (\" \\ \xHH). Nothing else is decoded. The date comes from the W3C
  // "date" field (else "date-local") or the combined timestamp. A line holding a NUL byte, raw or
  // escaped, is malformed.
  LineKind Parse(std::string_view line, LogRequest* request);

 private:
  LineKind ParseW3cDirective(std::string_view line);
  LineKind ParseW3c(std::string_view line, LogRequest* request);
  LineKind ParseCombined(std::string_view line, LogRequest* request);

  static constexpr std::size_t kNoColumn = static_cast<std::size_t>(-1);
  enum Kept { kStem, kQuery, kHost, kReferer, kDate, kKeptCount };

  LogFormat format_;
  bool haveFields_ = false;
  W3cFields fields_;
  std::size_t columnCount_ = 0;
  std::size_t columns_[kKeptCount] = {kNoColumn, kNoColumn, kNoColumn, kNoColumn, kNoColumn};
  std::vector<unsigned char> keptOfColumn_;  // a Kept, or kKeptCount for a column not read
  std::string url_;                          // a W3C URL joined from stem and query
  std::string unquoted_[kKeptCount + 1];     // values that carried escapes
};

}  // namespace refwarden
