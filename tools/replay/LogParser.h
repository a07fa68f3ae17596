// Parsing web-server access log lines into the three values the filter reads:
// host, referer and request URL. Two formats: the W3C extended format (IIS),
// whose columns a "#Fields:" directive names, and the NCSA combined format
// (Apache, nginx), which records no host.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace refwarden {

enum class LogFormat { kW3c, kCombined };

// Returns the format a file is in, judged by its first non-empty line: W3C
// when it starts with '#', combined otherwise.
LogFormat DetectLogFormat(std::string_view firstLine);

// One request as a log line records it. The views point into the line or into
// the parser's own buffers and stay valid until the parser's next Parse call.
struct LogRequest {
  bool hasHost = false;      // false: the format records no host (see --host)
  std::string_view host;     // empty when the request had no Host header
  std::string_view referer;  // empty when the request had no Referer header
  std::string_view url;      // path, plus '?' and the query when there is one
};

enum class LineKind {
  kRequest,    // *request was filled in
  kIgnored,    // empty line or W3C directive
  kMalformed,  // not a line of this format; *request is unspecified
};

class LogParser {
 public:
  explicit LogParser(LogFormat format) : format_(format) {}

  LogFormat format() const { return format_; }

  // Parses one line, without its line ending. A W3C "#Fields:" directive
  // sets the columns of the lines after it; before one, every W3C data line
  // is malformed. Values are taken as logged: '-' stands for an absent W3C
  // value, quoted combined values lose their quotes and backslash escapes
  // (\" \\ \xHH), and nothing else is decoded.
  LineKind Parse(std::string_view line, LogRequest* request);

 private:
  LineKind ParseW3cDirective(std::string_view line);
  LineKind ParseW3c(std::string_view line, LogRequest* request);
  LineKind ParseCombined(std::string_view line, LogRequest* request);

  static constexpr std::size_t kNoColumn = static_cast<std::size_t>(-1);

  LogFormat format_;
  bool haveFields_ = false;
  std::size_t columnCount_ = 0;
  std::size_t stemColumn_ = kNoColumn;
  std::size_t queryColumn_ = kNoColumn;
  std::size_t hostColumn_ = kNoColumn;
  std::size_t refererColumn_ = kNoColumn;
  std::string url_;          // a W3C URL joined from stem and query
  std::string unquoted_[2];  // combined values that carried escapes
};

}  // namespace refwarden
