// Parsing web-server access log lines into the three values the filter reads:
// host, referer and request URL. Each format is one LineParser and one row of
// the table of formats (LogFormats.h), which also says how a file in it is
// recognised and whether it records the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace refwarden {

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
  kFields,     // a directive that says what the lines after it record; fields() says it
  kIgnored,    // empty line or another directive
  kMalformed,  // not a line of this format; *request is unspecified
};

// What the lines of a log record, as its last directive (W3C "#Fields:")
// says, or always, for a format without directives.
struct LogFields {
  bool url = false;      // the request URL (W3C cs-uri-stem)
  bool host = false;     // the Host header (W3C cs-host or cs(Host))
  bool referer = false;  // the Referer header (W3C cs(Referer))
};

// The parser of one log format. Keeps what the directives read so far said.
class LineParser {
 public:
  virtual ~LineParser() = default;
  // Parses one line, without its line ending. A line holding a NUL byte, raw
  // or escaped, is malformed.
  virtual LineKind Parse(std::string_view line, LogRequest* request) = 0;
  // What the lines after the last kFields line record.
  virtual const LogFields& fields() const = 0;
};

// The W3C extended format (IIS, also as its Advanced Logging module writes
// it), whose columns a "#Fields:" directive names; before one, every data line
// is malformed. Fields are separated by runs of blanks; a field that begins
// with '"' runs to the closing quote and may hold blanks ("" inside is one
// quote); '-' is an absent value; field names compare ignoring ASCII case.
// Nothing else is decoded. The request's date is the "date" field's, else
// "date-local"'s.
std::unique_ptr<LineParser> MakeW3cParser();

// The NCSA combined format (Apache, nginx), which records no host. Values
// lose their quotes and backslash escapes (\" \\ \xHH); nothing else is
// decoded. The request's date is the timestamp's day.
std::unique_ptr<LineParser> MakeCombinedParser();

struct LogFormatRow;

// A parser of the format named by a row of LogFormats() ("w3c", "combined").
class LogParser {
 public:
  // Throws std::invalid_argument for a name no row has.
  explicit LogParser(std::string_view formatName);
  explicit LogParser(const LogFormatRow& format);

  const LogFormatRow& format() const { return *format_; }
  const LogFields& fields() const { return parser_->fields(); }
  LineKind Parse(std::string_view line, LogRequest* request) {
    return parser_->Parse(line, request);
  }

 private:
  const LogFormatRow* format_;
  std::unique_ptr<LineParser> parser_;
};

}  // namespace refwarden
