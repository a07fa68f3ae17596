#include "tools/replay/LogParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/Printable.h"
#include "tools/replay/LogFormats.h"

namespace refwarden {
namespace {

using testing::Printable;

// What a parsed line came to, in one comparable string: "malformed",
// "ignored", "fields" and what they record (url, host, referer), or
// host|referer|url with "(no host)" / "(no referer)" when the format has none.
std::string Describe(LineKind kind, const LogRequest& request, const LogFields& fields) {
  if (kind == LineKind::kMalformed) return "malformed";
  if (kind == LineKind::kIgnored) return "ignored";
  if (kind == LineKind::kFields) {
    return std::string("fields") + (fields.url ? " url" : "") + (fields.host ? " host" : "") +
           (fields.referer ? " referer" : "");
  }
  const std::string host = request.hasHost ? std::string(request.host) : "(no host)";
  const std::string referer = request.hasReferer ? std::string(request.referer) : "(no referer)";
  return host + "|" + referer + "|" + std::string(request.url);
}

struct LineCase {
  std::string_view line;
  std::string_view expected;
};

void ExpectLines(std::string_view format, const std::vector<LineCase>& cases) {
  LogParser parser(format);
  for (const LineCase& c : cases) {
    LogRequest request;
    const LineKind kind = parser.Parse(c.line, &request);
    EXPECT_EQ(Describe(kind, request, parser.fields()), c.expected) << "line " << Printable(c.line);
  }
}

TEST(DetectLogFormatTest, FirstLineDecides) {
  EXPECT_EQ(std::string_view(DetectLogFormat("#Software: IIS").name), "w3c");
  EXPECT_EQ(std::string_view(DetectLogFormat("#Fields: date").name), "w3c");
  EXPECT_EQ(std::string_view(
                DetectLogFormat("1.2.3.4 - - [x] \"GET / HTTP/1.1\" 200 1 \"-\" \"-\"").name),
            "combined");
  EXPECT_EQ(std::string_view(DetectLogFormat(" #not a directive").name), "combined");
}

// The cases run in order through one parser, so directives carry over.
TEST(LogParserTest, W3cLinesInOrder) {
  using namespace std::string_literals;
  ExpectLines(
      "w3c",
      {
          {"2024-05-01 10:00:00 GET /a.jpg - example.com -", "malformed"},  // before any #Fields
          {"#Software: Microsoft Internet Information Services 10.0", "ignored"},
          {"#Version: 1.0", "ignored"},
          {"#Fields: date time cs-method cs-uri-stem cs-uri-query cs-host cs(Referer) sc-status",
           "fields url host referer"},
          {"2024-05-01 10:00:00 GET /images/a.jpg - example.com http://forum.net/t/1 200",
           "example.com|http://forum.net/t/1|/images/a.jpg"},
          {"2024-05-01 10:00:00 GET /images/a.jpg w=2&h=3 example.com:8080 - 200",
           "example.com:8080||/images/a.jpg?w=2&h=3"},
          {"2024-05-01 10:00:00 GET /index.html - - - 304", "||/index.html"},
          // '+' stands for a space in W3C values; it is kept as logged.
          {"2024-05-01 10:00:00 GET /my+photo.png q=a+b example.com http://s.net/?q=a+b 200",
           "example.com|http://s.net/?q=a+b|/my+photo.png?q=a+b"},
          {"2024-05-01 10:00:00 GET /a.jpg - example.com -", "malformed"},        // a field short
          {"2024-05-01 10:00:00 GET /a.jpg - example.com - 200 9", "malformed"},  // a field over
          {"2024-05-01 10:00:00 GET - - example.com - 200", "malformed"},         // no stem
          {"2024-05-01 10:00:00 GET /a.jpg\0.txt - example.com - 200"s, "malformed"},  // a NUL
          {"", "ignored"},
          {"   \t", "ignored"},
          {"2024-05-01\t10:00:00  GET /t.gif - h - 200\r", "h||/t.gif"},  // tabs, runs, CR
          // Columns reordered, names in another case, no query column.
          {"#Fields: cs(Referer) cs-uri-stem time CS-HOST", "fields url host referer"},
          {"http://own.example/ /pics/x.bmp 10:00:01 own.example",
           "own.example|http://own.example/|/pics/x.bmp"},
          {"#Remark: rotated", "ignored"},
          {"- /y.png 10:00:02 own.example", "own.example||/y.png"},
          // No cs-host column: the host is not known from the log.
          {"#Fields: time cs-uri-stem cs(Referer)", "fields url referer"},
          {"10:00:03 /z.jpg http://a.net/", "(no host)|http://a.net/|/z.jpg"},
          // No cs(Referer) column: nor is the referer.
          {"#Fields: time cs-uri-stem cs-host", "fields url host"},
          {"10:00:03 /z.jpg h", "h|(no referer)|/z.jpg"},
          // No cs-uri-stem column: no line can be a request.
          {"#Fields: time cs-host", "fields host"},
          {"10:00:04 example.com", "malformed"},
      });
}

// As IIS's Advanced Logging module writes it: two blanks after "#Fields:",
// local date and time, cs(Host), quoted values that hold blanks.
TEST(LogParserTest, W3cQuotedFields) {
  ExpectLines(
      "w3c",
      {
          {"#Start-Date: 2024-05-03 00:00:00.000", "ignored"},
          {"#Fields:  date-local time-local cs-uri-stem cs-uri-query cs(Host) cs(Referer) "
           "cs(User-Agent) sc-status",
           "fields url host referer"},
          {R"L(2024-05-03 00:00:00.137 /a.jpg - "www.example.com" "https://f.net/t/7" )L"
           R"L("Mozilla/5.0 (Windows NT 10.0; Win64; x64)" 200)L",
           "www.example.com|https://f.net/t/7|/a.jpg"},
          {R"L(2024-05-03 00:00:01.002 "/my photo.png" "q=a b" "h" - "UA" 200)L",
           "h||/my photo.png?q=a b"},
          {R"L(2024-05-03 00:00:01.002 /b.gif - "h" "http://s.net/?r=""x""" "A ""B"" C" 200)L",
           R"L(h|http://s.net/?r="x"|/b.gif)L"},
          {R"L(2024-05-03 00:00:01.002 /c.gif - "h" "-" "" 200)L", "h||/c.gif"},
          {R"L(2024-05-03 00:00:01.002 /d.gif - "h" "unclosed 200)L", "malformed"},
          {R"L(2024-05-03 00:00:01.002 /d.gif - "h"x "r" "UA" 200)L", "malformed"},
          {R"L(2024-05-03 00:00:01.002 /d.gif - "h" "r" "UA" 200 )L", "h|r|/d.gif"},
          {"#End-Date: 2024-05-03 00:00:05.000", "ignored"},
          {"#fields:\tcs-uri-stem\tcs(referer)\tcs(host)", "fields url host referer"},
      });
}

TEST(LogParserTest, CombinedLines) {
  using namespace std::string_literals;
  ExpectLines(
      "combined",
      {
          {R"L(203.0.113.9 - - [10/Oct/2023:13:55:36 -0700] "GET /images/a.jpg HTTP/1.1" 200 2326 "http://forum.net/t/1" "Mozilla/5.0 (X11)")L",
           "(no host)|http://forum.net/t/1|/images/a.jpg"},
          {R"L(203.0.113.9 - frank [10/Oct/2023:13:55:36 +0000] "GET /a.png?size=2 HTTP/2.0" 200 5 "-" "curl/8")L",
           "(no host)||/a.png?size=2"},
          // nginx and Apache escape quotes and backslashes inside quoted values.
          {R"L(1.2.3.4 - - [d] "GET /q\"uote.gif HTTP/1.1" 200 1 "http://x.net/?a=\"b\"&c=\\" "UA \"quoted\"")L",
           R"L((no host)|http://x.net/?a="b"&c=\|/q"uote.gif)L"},
          {R"L(1.2.3.4 - - [d] "GET /a.jpg HTTP/1.1" 200 1 "http://x.net/\x22y" "-")L",
           R"L((no host)|http://x.net/"y|/a.jpg)L"},
          // HTTP/0.9 has no protocol; extra fields after the agent are not read.
          {R"L(1.2.3.4 - - [d] "GET /old.bmp" 200 1 "-" "-" "10.0.0.1" rt=0.002)L",
           "(no host)||/old.bmp"},
          {R"L(1.2.3.4 - - [d] "GET /no-agent.jpg HTTP/1.1" 200 1 "http://r.net/")L",
           "(no host)|http://r.net/|/no-agent.jpg"},
          {R"L(1.2.3.4 - - [d] "GET /crlf.jpg HTTP/1.1" 200 1 "-" "-")L"
           "\r",
           "(no host)||/crlf.jpg"},
          {"", "ignored"},
          {R"L(1.2.3.4 - - [d] "-" 400 0 "-" "-")L", "malformed"},            // no request line
          {R"L(1.2.3.4 - - [d] "GET /a.jpg HTTP/1.1" 200 1)L", "malformed"},  // no referer
          {R"L(1.2.3.4 - - [d] "GET /a.jpg HTTP/1.1" 200 1 "unclosed)L", "malformed"},
          {R"L(1.2.3.4 - - d "GET /a.jpg HTTP/1.1" 200 1 "-" "-")L", "malformed"},  // no [date]
          {R"L(1.2.3.4 - - [d "GET /a.jpg HTTP/1.1" 200 1 "-" "-")L", "malformed"},
          {R"L(1.2.3.4 - [d] "GET /a.jpg HTTP/1.1" 200 1 "-" "-")L", "malformed"},  // a field short
          {"#Fields: cs-uri-stem", "malformed"},
          {"just some text", "malformed"},
          // A NUL byte, escaped or raw, is never part of a request.
          {R"L(1.2.3.4 - - [d] "GET /a.jpg\x00.php HTTP/1.1" 200 1 "-" "-")L", "malformed"},
          {"1.2.3.4 - - [d] \"GET /a.jpg\0.php HTTP/1.1\" 200 1 \"-\" \"-\""s, "malformed"},
          {R"L(1.2.3.4 - - [d] "GET /\x1b[2J.jpg HTTP/1.1" 200 1 "-" "-")L",
           "(no host)||/\x1b[2J.jpg"},
      });
}

// The views stay valid until the next Parse call, also when built in the
// parser's own buffers (a joined W3C URL, an unescaped combined value).
TEST(LogParserTest, ViewsSurviveUntilNextParse) {
  LogParser w3c("w3c");
  LogRequest request;
  ASSERT_EQ(w3c.Parse("#Fields: cs-uri-stem cs-uri-query", &request), LineKind::kFields);
  std::string line = "/a.jpg x=1";
  ASSERT_EQ(w3c.Parse(line, &request), LineKind::kRequest);
  line.assign(line.size(), '#');
  EXPECT_EQ(request.url, "/a.jpg?x=1");
}

}  // namespace
}  // namespace refwarden

namespace refwarden {
namespace {

// The day each request is counted under: W3C "date" (over "date-local"),
// the combined timestamp; anything that is not a date is none (0).
TEST(LogParserTest, DatesOfRequests) {
  struct Case {
    std::string_view format;  // a row of LogFormats()
    std::string_view fields;  // a W3C #Fields directive, or ""
    std::string_view line;
    std::uint32_t date;
  };
  const Case cases[] = {
      {"w3c", "#Fields: date time cs-uri-stem", "2024-05-01 00:00:01 /a.jpg", 20240501},
      {"w3c", "#Fields: date-local time-local cs-uri-stem", "2024-05-03 23:59:59.137 /a.jpg",
       20240503},
      {"w3c", "#Fields: date-local date cs-uri-stem", "2024-05-03 2024-05-04 /a.jpg", 20240504},
      {"w3c", "#Fields: date cs-uri-stem", "- /a.jpg", 0},
      {"w3c", "#Fields: date cs-uri-stem", "2024-13-01 /a.jpg", 0},
      {"w3c", "#Fields: date cs-uri-stem", "24-05-01 /a.jpg", 0},
      {"w3c", "#Fields: time cs-uri-stem", "00:00:01 /a.jpg", 0},
      {"combined", "",
       "1.2.3.4 - - [05/May/2024:10:00:00 +0000] \"GET /a.jpg HTTP/1.1\" 200 1 \"-\" \"-\"",
       20240505},
      {"combined", "",
       "1.2.3.4 - - [31/DEC/1999:23:59:59 -0500] \"GET /a.jpg HTTP/1.1\" 200 1 \"-\" \"-\"",
       19991231},
      {"combined", "",
       "1.2.3.4 - - [5/May/2024:10:00:00 +0000] \"GET /a.jpg HTTP/1.1\" 200 1 \"-\" \"-\"", 0},
      {"combined", "",
       "1.2.3.4 - - [05/Mai/2024:10:00:00 +0000] \"GET /a.jpg HTTP/1.1\" 200 1 \"-\" \"-\"", 0},
      {"combined", "", "1.2.3.4 - - [] \"GET /a.jpg HTTP/1.1\" 200 1 \"-\" \"-\"", 0},
  };
  for (const Case& c : cases) {
    LogParser parser(c.format);
    LogRequest request;
    if (!c.fields.empty()) {
      ASSERT_EQ(parser.Parse(c.fields, &request), LineKind::kFields);
    }
    ASSERT_EQ(parser.Parse(c.line, &request), LineKind::kRequest) << Printable(c.line);
    EXPECT_EQ(request.date, c.date) << Printable(c.line);
  }
}

}  // namespace
}  // namespace refwarden
