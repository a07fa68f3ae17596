// The demo server: URL-to-file mapping on its own, then the server driven over
// HTTP with the real filter library in front of the example site.
#include "tools/serve/SiteServer.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/RawHttp.h"
#include "tests/support/Printable.h"
#include "tests/support/TempStore.h"
#include "tools/serve/ByteRanges.h"
#include "tools/serve/StaticFiles.h"
#include "tools/serve/TextEscapes.h"

namespace refwarden {
namespace {

namespace fs = std::filesystem;
using testing::Printable;

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

TEST(PercentDecodeTest, Table) {
  struct Case {
    std::string_view in, out;
  };
  const Case cases[] = {
      {"/a%20b", "/a b"}, {"%2e%2E", ".."}, {"%2F", "/"},     {"100%", "100%"},
      {"%zz", "%zz"},     {"%4", "%4"},     {"%41%42", "AB"}, {"%00", std::string_view("\0", 1)},
  };
  for (const Case& c : cases) EXPECT_EQ(PercentDecode(c.in), c.out) << "input " << Printable(c.in);
}

// Each type the demo serves is checked on the wire (ImagesByReferer); here only
// what the code adds to its list: case folding and the fallback.
TEST(ContentTypeForTest, Table) {
  const std::pair<const char*, std::string_view> cases[] = {
      {"A.JPG", "image/jpeg"},
      {"a.bin", "application/octet-stream"},
      {"noext", "application/octet-stream"},
      {"a.jpg.bak", "application/octet-stream"}};
  for (const auto& [file, type] : cases) EXPECT_EQ(ContentTypeFor(file), type) << file;
}

TEST(AnswerRangeTest, Table) {
  constexpr auto kWhole = RangeAnswer::kWhole;
  constexpr auto kPartial = RangeAnswer::kPartial;
  constexpr auto kNone = RangeAnswer::kUnsatisfiable;
  struct Case {
    std::string range;
    std::uint64_t length;
    RangeAnswer::Kind kind;
    std::uint64_t first, count;
  };
  std::string manyOverlapping = "bytes=0-";
  for (int i = 1; i < 2700; ++i) manyOverlapping += ",0-";
  std::string sixteen = "bytes=0-0", seventeen;
  for (int i = 1; i < 16; ++i) sixteen += "," + std::to_string(i) + "-" + std::to_string(i);
  seventeen = sixteen + ",16-16";
  const Case cases[] = {
      {"bytes=0-9", 100, kPartial, 0, 10},
      {"bytes=10-", 100, kPartial, 10, 90},
      {"bytes=-10", 100, kPartial, 90, 10},
      {"bytes=-1000", 100, kPartial, 0, 100},
      {"bytes=0-0", 100, kPartial, 0, 1},
      {"bytes=99-99", 100, kPartial, 99, 1},
      {"bytes=0-99999999999999999999999", 100, kPartial, 0, 100},  // past 2^64
      {"BYTES = 5-6", 100, kPartial, 5, 2},
      {"bytes=0-9, 5-19 ,20-29", 100, kPartial, 0, 30},  // overlapping and touching: merged
      {"bytes=50-59,0-9,10-49", 100, kPartial, 0, 60},   // out of order, one span
      {"bytes=, 0-9,,", 100, kPartial, 0, 10},           // empty list elements
      {"bytes=0-9,200-300", 100, kPartial, 0, 10},       // the unsatisfiable one drops out
      {sixteen, 100, kPartial, 0, 16},
      {"bytes=100-", 100, kNone, 0, 0},
      {"bytes=100-200,300-", 100, kNone, 0, 0},
      {"bytes=-0", 100, kNone, 0, 0},
      {"bytes=0-0", 0, kNone, 0, 0},
      {"bytes=-5", 0, kNone, 0, 0},
      {"bytes=99999999999999999999999-", 100, kNone, 0, 0},
      {"", 100, kWhole, 0, 0},
      {"bytes=0-1,5-6", 100, kWhole, 0, 0},  // two spans: the whole, never more
      {manyOverlapping, 42000, kWhole, 0, 0},
      {seventeen, 100, kWhole, 0, 0},
      {"items=0-9", 100, kWhole, 0, 0},
      {"bytes 0-9", 100, kWhole, 0, 0},
      {"bytes=", 100, kWhole, 0, 0},
      {"bytes=9-0", 100, kWhole, 0, 0},
      {"bytes=-", 100, kWhole, 0, 0},
      {"bytes=a-9", 100, kWhole, 0, 0},
      {"bytes=0-9a", 100, kWhole, 0, 0},
      {"bytes=+1-9", 100, kWhole, 0, 0},
      {"bytes=0x0-9", 100, kWhole, 0, 0},
      {"bytes=0-9,x", 100, kWhole, 0, 0},
  };
  for (const Case& c : cases) {
    const RangeAnswer answer = AnswerRange(c.range, c.length);
    const std::string input = Printable(c.range.substr(0, 80)) + " on " + std::to_string(c.length);
    EXPECT_EQ(answer.kind, c.kind) << input;
    if (c.kind == kPartial) {
      EXPECT_EQ(answer.first, c.first) << input;
      EXPECT_EQ(answer.count, c.count) << input;
    }
  }
}

TEST(TextEscapesTest, Table) {
  struct Case {
    std::string_view in, log, html;
  };
  const Case cases[] = {
      {"/images/a.jpg?x=1&y=2", "/images/a.jpg?x=1&y=2", "/images/a.jpg?x=1&amp;y=2"},
      {"\\x1b[31m", "\\x5cx1b[31m", "\\x1b[31m"},  // a backslash: no forged escape
      {"a\033b", "a\\x1bb", "a\033b"},             // octal: "\x1bb" would be one character
      {"a\rb\n[own] GET /forged", "a\\x0db\\x0a[own] GET /forged", "a\rb\n[own] GET /forged"},
      {std::string_view("\0\x1f\x7f\x80\xff", 5), "\\x00\\x1f\\x7f\x80\xff",
       std::string_view("\0\x1f\x7f\x80\xff", 5)},
      {"%0d%0a", "%0d%0a", "%0d%0a"},
      {"\"><script>'", "\"><script>'", "&quot;&gt;&lt;script&gt;&#39;"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EscapeForLog(c.in), c.log) << "input " << Printable(c.in);
    EXPECT_EQ(EscapeHtml(c.in), c.html) << "input " << Printable(c.in);
  }
}

class LookUpFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::temp_directory_path() / ("refwarden-lookup-" + std::to_string(getpid()));
    root_ = base_ / "root";
    fs::create_directories(root_ / "images");
    fs::create_directories(root_ / "empty");
    std::ofstream(root_ / "index.html") << "home";
    std::ofstream(root_ / "images" / "a b.jpg") << "jpg";
    std::ofstream(base_ / "secret.txt") << "secret";
    fs::create_symlink(base_ / "secret.txt", root_ / "leak.txt");
    fs::create_symlink(base_, root_ / "up");
    fs::create_symlink(root_ / "index.html", root_ / "alias.html");
  }
  void TearDown() override { fs::remove_all(base_); }

  fs::path base_, root_;
};

TEST_F(LookUpFileTest, Table) {
  struct Case {
    std::string_view url;
    int status;
    const char* file;
  };
  const Case cases[] = {
      {"/", 200, "index.html"},
      {"/index.html?x=1", 200, "index.html"},
      {"/index.html#top", 200, "index.html"},
      {"//index.html", 200, "index.html"},
      {"/./index.html", 200, "index.html"},
      {"/images/a%20b.jpg", 200, "images/a b.jpg"},
      {"/alias.html", 200, "index.html"},  // a link that stays inside
      {"/images", 404, ""},                // a directory without index.html
      {"/empty/", 404, ""},
      {"/missing.png", 404, ""},
      {"/images/a b.jpg/x", 404, ""},
      {"/images/a%20b.jpg/", 404, ""},  // a file is no directory
      {"/images/a%20b.jpg/.", 404, ""},
      {"/index.html/", 404, ""},
      {"/empty/.", 404, ""},
      {"/../secret.txt", 403, ""},
      {"/images/../index.html", 403, ""},
      {"/%2e%2e/secret.txt", 403, ""},
      {"/%2E%2E%2Fsecret.txt", 403, ""},
      {"/images/..%2f..%2fsecret.txt", 403, ""},
      {"/..", 403, ""},
      {"/leak.txt", 403, ""},       // a link out of the root
      {"/up/secret.txt", 403, ""},  // through a linked directory
      {"/index.html%00.jpg", 403, ""},
      {"index.html", 400, ""},
      {"", 400, ""},
      {"?/index.html", 400, ""},
  };
  for (const Case& c : cases) {
    const FileLookup lookup = LookUpFile(root_, c.url);
    EXPECT_EQ(lookup.status, c.status) << "url " << Printable(c.url);
    if (c.status == 200) {
      EXPECT_EQ(lookup.file, fs::canonical(root_ / c.file)) << "url " << Printable(c.url);
    }
  }
}

class SiteServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    store_ = new testing::TempStore("registry.db");
    filter_ = new FilterLibrary(REFWARDEN_FILTER_PATH);
    own_ = new SiteServer(SiteOptions{"own", kSite, filter_, 0}, &log_, &logMutex_);
    ownPort_ = own_->Bind("127.0.0.1", 0);
    ASSERT_GT(ownPort_, 0);
    foreign_ =
        new SiteServer(SiteOptions{"foreign", kForeign, nullptr, ownPort_}, &log_, &logMutex_);
    foreignPort_ = foreign_->Bind("127.0.0.1", 0);
    ASSERT_GT(foreignPort_, 0);
    own_->Start();
    foreign_->Start();
  }
  static void TearDownTestSuite() {
    delete foreign_;
    delete own_;
    delete filter_;
    delete store_;
  }

  static std::string Own() { return "127.0.0.1:" + std::to_string(ownPort_); }

  static httplib::Result Get(const std::string& path, const std::string& referer) {
    httplib::Client client("127.0.0.1", ownPort_);
    httplib::Headers headers;
    if (!referer.empty()) headers.emplace("Referer", referer);
    return client.Get(path.c_str(), headers);
  }

  static inline const fs::path kSite = REFWARDEN_EXAMPLES_DIR "/site";
  static inline const fs::path kForeign = REFWARDEN_EXAMPLES_DIR "/foreign";
  static inline testing::TempStore* store_ = nullptr;
  static inline FilterLibrary* filter_ = nullptr;
  static inline SiteServer* own_ = nullptr;
  static inline SiteServer* foreign_ = nullptr;
  static inline int ownPort_ = 0;
  static inline int foreignPort_ = 0;
  static inline std::ostringstream log_;
  static inline std::mutex logMutex_;
};

TEST_F(SiteServerTest, ImagesByReferer) {
  struct Case {
    const char* path;
    std::string referer;
    const char* served;
    const char* type;
  };
  const std::string own = "http://" + Own() + "/";
  const Case cases[] = {
      {"/images/harbour.jpg", "http://foreign.example/page", "refwarden.jpg", "image/jpeg"},
      {"/images/harbour.jpg", "", "refwarden.jpg", "image/jpeg"},
      {"/images/harbour.jpg?size=2", "http://foreign.example/", "refwarden.jpg", "image/jpeg"},
      {"/images/harbour.jpg", own, "images/harbour.jpg", "image/jpeg"},
      {"/images/harbour.jpg", own + "index.html", "images/harbour.jpg", "image/jpeg"},
      {"/images/balloon.gif", "http://foreign.example/", "refwarden.gif", "image/gif"},
      {"/images/meadow.png", "http://foreign.example/", "refwarden.png", "image/png"},
      {"/images/lighthouse.bmp", "http://foreign.example/", "refwarden.bmp", "image/bmp"},
      {"/images/lighthouse.bmp", own, "images/lighthouse.bmp", "image/bmp"},
      // A hot-linked image that does not exist still gets the placeholder.
      {"/images/none.jpg", "http://foreign.example/", "refwarden.jpg", "image/jpeg"},
      // Same host, other port: foreign to the filter.
      {"/images/meadow.png", "http://127.0.0.1:1/", "refwarden.png", "image/png"},
      {"/", "http://foreign.example/", "index.html", "text/html; charset=utf-8"},
      {"/style.css", "", "style.css", "text/css; charset=utf-8"},
  };
  for (const Case& c : cases) {
    const httplib::Result result = Get(c.path, c.referer);
    ASSERT_TRUE(result) << c.path;
    EXPECT_EQ(result->status, 200) << c.path << " referer " << c.referer;
    EXPECT_TRUE(result->body == ReadFile(kSite / c.served))
        << c.path << " referer " << c.referer << ": expected the bytes of " << c.served;
    EXPECT_EQ(result->get_header_value("Content-Type"), c.type) << c.path;
    EXPECT_EQ(result->get_header_value("Cache-Control"), "no-store") << c.path;
  }
}

// The server's answers byte for byte: methods, ranges, limits, the headers
// and URL the filter sees (as received), pipelining.
TEST_F(SiteServerTest, AnswersOnTheWire) {
  struct Expected {
    int status;
    std::vector<std::pair<std::string, std::string>> headers;  // lower-case name; "": absent
    std::optional<std::string> body;                           // nullopt: not checked
    bool head = false;
  };
  struct Case {
    std::string name, request;
    std::vector<Expected> responses;
  };
  const std::string own = Own();
  const std::string css = ReadFile(kSite / "style.css");
  const std::string jpg = ReadFile(kSite / "images/harbour.jpg");
  const std::string placeholder = ReadFile(kSite / "refwarden.jpg");
  const std::string cssLength = std::to_string(css.size());
  const std::string foreignReferer = "Referer: http://foreign.example/page\r\n";
  const auto get = [&](const std::string& target, const std::string& more = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: " + own + "\r\n" + more +
           "Connection: close\r\n\r\n";
  };
  // One answer, checked for its status and (when given) its body alone.
  const auto one = [](int status, std::optional<std::string> body = std::nullopt) {
    return std::vector<Expected>{{status, {}, std::move(body)}};
  };
  std::string fillers, manyRanges = "Range: bytes=0-";
  for (int i = 0; i < 3000; ++i) fillers += "X-Filler-" + std::to_string(i) + ": 1\r\n";
  for (int i = 0; i < 2700; ++i) manyRanges += ",0-";

  std::vector<Case> cases = {
      {"GET",
       get("/style.css"),
       {{200,
         {{"content-type", "text/css; charset=utf-8"},
          {"accept-ranges", "bytes"},
          {"cache-control", "no-store"},
          {"content-range", ""}},
         css}}},
      {"HEAD: the GET's headers, no body",
       "HEAD /style.css HTTP/1.1\r\nHost: " + own + "\r\nConnection: close\r\n\r\n",
       {{200, {{"content-length", cssLength}}, "", true}}},
      {"range",
       get("/style.css", "Range: bytes=0-9\r\n"),
       {{206, {{"content-range", "bytes 0-9/" + cssLength}}, css.substr(0, 10)}}},
      {"suffix range",
       get("/style.css", "Range: bytes=-10\r\n"),
       {{206,
         {{"content-range", "bytes " + std::to_string(css.size() - 10) + "-" +
                                std::to_string(css.size() - 1) + "/" + cssLength}},
         css.substr(css.size() - 10)}}},
      {"overlapping ranges merged",
       get("/style.css", "Range: bytes=0-99,50-149\r\n"),
       {{206, {{"content-range", "bytes 0-149/" + cssLength}}, css.substr(0, 150)}}},
      {"2,700 overlapping ranges: the file once",
       get("/style.css", manyRanges + "\r\n"),
       {{200, {{"content-range", ""}}, css}}},
      {"unsatisfiable range",
       get("/style.css", "Range: bytes=" + cssLength + "-\r\n"),
       {{416, {{"content-range", "bytes */" + cssLength}}, std::nullopt}}},
      {"If-Range: no validator matches", get("/style.css", "Range: bytes=0-9\r\nIf-Range: x\r\n"),
       one(200, css)},
      {"range of the placeholder a hot-link gets",
       get("/images/harbour.jpg", foreignReferer + "Range: bytes=0-9\r\n"),
       {{206,
         {{"content-range", "bytes 0-9/" + std::to_string(placeholder.size())}},
         placeholder.substr(0, 10)}}},
      // Decoded, this referer would hold "/127.0.0.1:PORT/" and pass.
      {"referer as received",
       get("/images/harbour.jpg", "Referer: http://foreign.example/%2F" + own + "%2F\r\n"),
       one(200, placeholder)},
      {"host as received",
       "GET /images/harbour.jpg HTTP/1.1\r\nHost: 127.0.0.1%3A" + std::to_string(ownPort_) +
           "\r\nReferer: http://" + own + "/\r\nConnection: close\r\n\r\n",
       one(200, placeholder)},
      // The filter sees the URL undecoded; only the mapping to a file decodes.
      {"URL as received", get("/images/harbour%2ejpg", foreignReferer), one(200, jpg)},
      {"a URL past the filter's 4096-byte buffer",
       get("/images/harbour.jpg?" + std::string(5000, 'q'), foreignReferer), one(200, jpg)},
      {"trailing slash on a file", get("/images/harbour.jpg/", foreignReferer), one(404)},
      {"missing file", get("/nothing-here"), one(404)},
      {"missing image, own referer", get("/images/none.jpg", "Referer: http://" + own + "/\r\n"),
       one(404)},
      // Sent as they stand: no client folds the dots away first.
      {"dots up", get("/../../../../etc/passwd"), one(403)},
      {"dots up from a directory", get("/images/../../../etc/passwd"), one(403)},
      {"encoded dots", get("/%2e%2e/%2e%2e/%2e%2e/etc/passwd"), one(403)},
      {"encoded dots and slashes", get("/images/%2E%2E%2F%2E%2E%2F%2E%2E%2Fetc%2Fpasswd"),
       one(403)},
      {"HTTP/1.1 without Host", "GET /style.css HTTP/1.1\r\nConnection: close\r\n\r\n", one(400)},
      {"HTTP/1.0 without Host: the host is empty and any referer passes",
       "GET /images/harbour.jpg HTTP/1.0\r\n" + foreignReferer + "\r\n", one(200, jpg)},
      {"3,000 headers", get("/style.css", fillers), one(431)},
      {"a 40,000-byte header", get("/style.css", "X-Big: " + std::string(40000, 'b') + "\r\n"),
       one(431)},
      {"a 40,000-byte request line", get("/" + std::string(40000, 'a')), one(414)},
      {"pipelined, answered in order",
       "GET /style.css HTTP/1.1\r\nHost: " + own + "\r\n\r\nHEAD /index.html HTTP/1.1\r\nHost: " +
           own + "\r\n\r\n" + get("/images/harbour.jpg", foreignReferer),
       {{200, {{"connection", ""}}, css},
        {200,
         {{"content-length", std::to_string(ReadFile(kSite / "index.html").size())}},
         "",
         true},
        {200, {{"connection", "close"}}, placeholder}}},
  };
  for (const std::string method : {"POST", "PUT", "DELETE", "OPTIONS", "PATCH"}) {
    const std::string head = method + " /style.css HTTP/1.1\r\nHost: " + own + "\r\n";
    const std::vector<Expected> refused = {{405, {{"allow", "GET, HEAD"}}, std::nullopt}};
    cases.push_back({method, head + "Content-Length: 3\r\n\r\nabc", refused});
    cases.push_back({method + " without a body", head + "Connection: close\r\n\r\n", refused});
  }

  for (const Case& c : cases) {
    std::vector<bool> head;
    for (const Expected& e : c.responses) head.push_back(e.head);
    const std::string answer = rawhttp::Exchange(ownPort_, c.request);
    const std::vector<rawhttp::Response> responses = rawhttp::ParseResponses(answer, head);
    ASSERT_EQ(responses.size(), c.responses.size())
        << c.name << ", answered " << Printable(answer.substr(0, 400));
    for (std::size_t i = 0; i < responses.size(); ++i) {
      const Expected& want = c.responses[i];
      const rawhttp::Response& got = responses[i];
      EXPECT_EQ(got.status, want.status) << c.name << ", response " << i;
      for (const auto& [name, value] : want.headers)
        EXPECT_EQ(got.Header(name), value) << c.name << ", response " << i << ", " << name;
      if (want.body) {
        EXPECT_TRUE(got.body == *want.body)
            << c.name << ", response " << i << ": a body of " << got.body.size()
            << " bytes, expected " << want.body->size();
      }
    }
  }
}

TEST_F(SiteServerTest, ForeignPageNamesTheOwnSite) {
  httplib::Client client("127.0.0.1", foreignPort_);
  const httplib::Result page = client.Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->body.find("@OWN_SITE@"), std::string::npos);
  EXPECT_NE(page->body.find("src=\"http://" + Own() + "/images/harbour.jpg\""), std::string::npos);

  // A Host that would close the attribute and open a script is written escaped.
  const std::string answer =
      rawhttp::Exchange(foreignPort_,
                        "GET / HTTP/1.1\r\nHost: \"><script>alert(1)</script>:1\r\n"
                        "Connection: close\r\n\r\n");
  EXPECT_EQ(answer.find("<script>alert"), std::string::npos) << answer;
  EXPECT_NE(answer.find("src=\"http://&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;:" +
                        std::to_string(ownPort_) + "/images/harbour.jpg\""),
            std::string::npos)
      << answer;
}

TEST_F(SiteServerTest, LogsOneLinePerRequest) {
  Get("/images/meadow.png?from=log", "http://elsewhere.example/");
  const std::string host = "Host: " + Own() + "\r\n";
  const std::string requests[] = {
      "GET /\x1b[31mlog HTTP/1.1\r\n" + host + "Referer: a\rb\r\nConnection: close\r\n\r\n",
      "GET /images/meadow.png?from=log HTTP/1.1\r\n" + host +
          "Referer: http://x/%0d%0a[own] GET /forged\r\nConnection: close\r\n\r\n",
      "DELETE /style.css?from=log HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n",
      "GET /style.css?from=log HTTP/1.1\r\n" + host + std::string(40000, 'x') + ": 1\r\n\r\n",
  };
  for (const std::string& request : requests) rawhttp::Exchange(ownPort_, request);

  std::lock_guard<std::mutex> lock(logMutex_);
  const std::string log = log_.str();
  const char* lines[] = {
      "[own] GET /images/meadow.png?from=log referer=http://elsewhere.example/ "
      "filter=rewrite:/refwarden.png status=200\n",
      "[own] GET /\\x1b[31mlog referer=a\\x0db filter=pass status=404\n",
      "[own] GET /images/meadow.png?from=log referer=http://x/%0d%0a[own] GET /forged "
      "filter=rewrite:/refwarden.png status=200\n",
      "[own] DELETE /style.css?from=log referer=- filter=pass status=405\n",
      "[own] - /style.css?from=log referer=- filter=- status=431\n",
  };
  for (const char* line : lines)
    EXPECT_NE(log.find(line), std::string::npos) << line << "\nin\n" << log;
  EXPECT_EQ(log.find("\n[own] GET /forged"), std::string::npos) << log;
  EXPECT_EQ(log.find_first_of("\x1b\r"), std::string::npos) << Printable(log);
}

// A socket from `source` (an address of the loopback range) to 127.0.0.1:port.
int ConnectFrom(const char* source, int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const timeval timeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in from{}, to{};
  from.sin_family = to.sin_family = AF_INET;
  inet_pton(AF_INET, source, &from.sin_addr);
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Everything answered on `fd` until the server closes it, and how long that took.
std::pair<std::string, double> ReadToClose(int fd) {
  const auto start = std::chrono::steady_clock::now();
  std::string answer;
  char buffer[16384];
  for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  return {answer, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
}

// What one hostile client cannot do to others: hold a connection by
// trickling its head, take every slot from one address, or leave a download
// hanging by shrinking the file under it. The server here has a head
// deadline of one second instead of ten.
TEST(SiteServerHostileTest, HeldToItsLimits) {
  const testing::TempStore store("registry.db");
  const FilterLibrary filter(REFWARDEN_FILTER_PATH);
  const fs::path root = fs::path(::testing::TempDir()) / "hostile-site";
  fs::create_directories(root);
  std::ofstream(root / "big.bin", std::ios::binary) << std::string(8 << 20, 'b');
  std::ofstream(root / "small.txt") << "small";
  std::ostringstream log;
  std::mutex logMutex;
  SiteOptions options{"hostile", root, &filter, 0};
  options.headLimit = std::chrono::seconds(1);
  SiteServer server(options, &log, &logMutex);
  const int port = server.Bind("127.0.0.1", 0);
  ASSERT_GT(port, 0);
  ASSERT_TRUE(server.Start());
  const std::string small = "GET /small.txt HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n";

  // A head trickled a byte every 100 ms is cut after its second, not served
  // for as long as the bytes come.
  {
    const int fd = ConnectFrom("127.0.0.1", port);
    ASSERT_GE(fd, 0);
    std::thread dripper([fd] {
      const std::string head = "GET /small.txt HTTP/1.1\r\nX-Slow: " + std::string(60, 'x');
      for (char c : head) {
        if (send(fd, &c, 1, MSG_NOSIGNAL) != 1) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    });
    const auto [answer, seconds] = ReadToClose(fd);
    dripper.join();
    close(fd);
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 408") << Printable(answer);
    EXPECT_LT(seconds, 4.0) << "the trickled head was cut after " << seconds << " s";
    EXPECT_NE(log.str().find("status=408"), std::string::npos) << log.str();
  }

  // 32 connections from one address hold their slots; a 33rd from it is
  // closed at once, and another address is still served.
  {
    std::vector<int> held;
    for (unsigned i = 0; i < SiteLimits::kConnectionsPerAddress; ++i) {
      held.push_back(ConnectFrom("127.0.0.2", port));
      ASSERT_GE(held.back(), 0);
      send(held.back(), "G", 1, MSG_NOSIGNAL);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const int extra = ConnectFrom("127.0.0.2", port);
    ASSERT_GE(extra, 0);
    send(extra, small.data(), small.size(), MSG_NOSIGNAL);
    EXPECT_EQ(ReadToClose(extra).first, "") << "a 33rd connection from one address was served";
    close(extra);
    const int other = ConnectFrom("127.0.0.1", port);
    ASSERT_GE(other, 0);
    send(other, small.data(), small.size(), MSG_NOSIGNAL);
    const std::string answer = ReadToClose(other).first;
    close(other);
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 200") << Printable(answer);
    for (int fd : held) close(fd);
  }

  // A file that shrinks while it is sent: the response ends short and the
  // connection closes, instead of hanging with a thread spinning on it.
  {
    const int fd = ConnectFrom("127.0.0.1", port);
    ASSERT_GE(fd, 0);
    const std::string get = "GET /big.bin HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n";
    send(fd, get.data(), get.size(), MSG_NOSIGNAL);
    char first[4096];
    ASSERT_GT(recv(fd, first, sizeof first, 0), 0);
    fs::resize_file(root / "big.bin", 1000);
    const auto [rest, seconds] = ReadToClose(fd);
    close(fd);
    EXPECT_LT(rest.size() + sizeof first, std::size_t{8} << 20);
    EXPECT_LT(seconds, 5.0) << "the shrunk download closed after " << seconds << " s";
  }
  server.Stop();
  fs::remove_all(root);
}

}  // namespace
}  // namespace refwarden
