// The log shapes replay must read, as servers write them (tests/logs/), each
// with its counts worked out by hand. Every shape is read twice: by the log
// parser with the hot-link rule on its own (no filter), and by the refwarden
// tool, which runs every request through the filter library. The same file
// builds for Windows, where it runs refwarden.exe under Wine.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
extern char** environ;
#endif

#include "filter/HotlinkDecision.h"
#include "filter/RequestTrace.h"
#include "tests/support/Printable.h"
#include "tests/support/RegistryReading.h"
#include "tests/support/TempStore.h"
#include "tools/replay/FileArguments.h"
#include "tools/replay/LogRequests.h"
#include "tools/replay/RewriteKinds.h"
#ifdef _WIN32
#include "tests/win32/WindowsPaths.h"
#include "tests/win32/WindowsProcess.h"
#endif

namespace refwarden {
namespace {

namespace fs = std::filesystem;
using testing::Printable;

struct Counts {
  std::uint64_t requests = 0, malformed = 0, images = 0, rewritten = 0, withoutReferer = 0;
  std::uint64_t errors = 0;
  std::uint64_t longUrls = 0, longHosts = 0;  // image requests past the filter's buffers
  bool operator==(const Counts& o) const {
    return requests == o.requests && malformed == o.malformed && images == o.images &&
           rewritten == o.rewritten && withoutReferer == o.withoutReferer && errors == o.errors &&
           longUrls == o.longUrls && longHosts == o.longHosts;
  }
};

std::ostream& operator<<(std::ostream& out, const Counts& c) {
  return out << "{requests " << c.requests << ", malformed " << c.malformed << ", images "
             << c.images << ", rewritten " << c.rewritten << ", without referer "
             << c.withoutReferer << ", errors " << c.errors << ", long URLs " << c.longUrls
             << ", long hosts " << c.longHosts << "}";
}

// Requests, image requests and rewrites of each day: "2024-05-04 2/1/1, ...".
using Days = std::map<std::string, Counts>;
std::string DaysText(const Days& days) {
  std::string out;
  for (const auto& [date, c] : days) {
    out += (out.empty() ? "" : ", ") + date + " " + std::to_string(c.requests) + "/" +
           std::to_string(c.images) + "/" + std::to_string(c.rewritten);
  }
  return out;
}

constexpr int kReplayed = 0, kReadError = 1, kRefused = 8, kNotALog = 8, kNeedsHost = 2;

struct Shape {
  const char* what;
  std::vector<std::string> files;  // in tests/logs; a '*' or '?' is expanded
  std::vector<std::string> flags;
  int status;
  Counts counts;        // when replayed (status 0 or 1)
  const char* message;  // what standard error must hold, or ""
  const char* days;     // DaysText when replayed
  const char* kinds;    // rewrites without referer/same site/likely alias/other sites
};

// Counts: requests, malformed, images, rewritten, without a referer field,
// files not read to the end, image requests with a URL / a Host over 4,096
// bytes.
const std::vector<Shape>& Shapes() {
  const std::vector<std::string> host = {"--host", "www.example.com"};
  // clang-format off
  static const std::vector<Shape> shapes = {
      {"IIS 10 with cs-host, restarted midway", {"u_ex240501.log"}, {},
       kReplayed, {9, 0, 5, 4, 0, 0}, "", "2024-05-01 9/5/4", "1/1/0/2"},
      {"UTF-8 byte-order mark, UTF-8 path", {"u_ex240502.log"}, {},
       kReplayed, {3, 0, 2, 1, 0, 0}, "", "2024-05-02 3/2/1", "0/0/0/1"},
      {"Advanced Logging: quoted fields, cs(Host), local time", {"advanced-logging_20240503.log"}, {},
       kReplayed, {5, 0, 4, 3, 0, 0}, "", "2024-05-03 5/4/3", "1/0/0/2"},
      {"no cs(Referer): refused", {"noreferer_u_ex240504.log"}, {},
       kRefused, {}, "noreferer_u_ex240504.log:4: this #Fields directive records no referer", "", ""},
      {"no cs(Referer), replayed as requests without one", {"noreferer_u_ex240504.log"}, {"--assume-no-referer"},
       kReplayed, {3, 0, 2, 2, 3, 0}, "", "2024-05-04 3/2/2", "2/0/0/0"},
      {"IIS default fields, no cs-host: needs --host", {"default-fields_u_ex240510.log"}, {},
       kNeedsHost, {}, "without cs-host or cs(Host)", "", ""},
      {"IIS default fields with --host", {"default-fields_u_ex240510.log"}, host,
       kReplayed, {2, 0, 2, 1, 0, 0}, "", "2024-05-10 2/2/1", "0/0/0/1"},
      {"a NUL inside a W3C path", {"nul_u_ex240506.log"}, {},
       kReplayed, {2, 1, 1, 1, 0, 0}, "", "2024-05-06 2/1/1", "0/0/0/1"},
      {"Apache combined, a TLS handshake logged escaped", {"access.log"}, host,
       kReplayed, {4, 1, 3, 2, 0, 0}, "", "2024-05-05 4/3/2", "1/0/0/1"},
      {"nginx combined, gzip of two members", {"access.log.2.gz"}, host,
       kReplayed, {3, 0, 2, 1, 0, 0}, "", "2024-05-04 2/1/1, 2024-05-05 1/1/0", "0/0/0/1"},
      {"combined with terminal escapes and an escaped NUL", {"access-hostile.log"}, host,
       kReplayed, {2, 1, 2, 2, 0, 0}, "", "2024-05-05 2/2/2", "1/0/0/1"},
      {"a line over 64 KiB", {"longline_u_ex240507.log.gz"}, {},
       kReplayed, {2, 1, 2, 1, 0, 0}, "", "2024-05-07 2/2/1", "0/0/0/1"},
      {"gzip cut short", {"truncated_u_ex240508.log.gz"}, {},
       kReadError, {2, 0, 2, 1, 0, 1}, "truncated_u_ex240508.log.gz: the file is truncated", "2024-05-08 2/2/1", "0/0/0/1"},
      {"W3C without its header block: not a log replay reads", {"headerless_u_ex240512.log"}, {},
       kNotALog, {}, "headerless_u_ex240512.log: not a log of a format replay reads: a W3C extended log without its #Fields: directive", "", ""},
      {"plain lines after a gzip member", {"appended_u_ex240509.log.gz"}, {},
       kReplayed, {3, 0, 2, 2, 0, 0}, "", "2024-05-09 3/2/2", "1/0/0/1"},
      {"a wildcard, as Windows passes it", {"u_ex24050?.log"}, {},
       kReplayed, {12, 0, 7, 5, 0, 0}, "", "2024-05-01 9/5/4, 2024-05-02 3/2/1", "1/1/0/3"},
      {"the site under other names, past midnight; a URL and a Host over 4,096 bytes",
       {"aliases_u_ex240511.log"}, {},
       kReplayed, {14, 0, 13, 10, 0, 0, 1, 1}, "", "2024-05-11 10/9/8, 2024-05-12 4/4/2", "2/3/3/2"},
  };
  // clang-format on
  return shapes;
}

const Shape& ShapeOf(const std::string& file) {
  for (const Shape& shape : Shapes()) {
    if (shape.files.front() == file) return shape;
  }
  throw std::logic_error("no shape reads " + file);
}

// Under Wine the source tree is reached through drive Z:, and named the
// Windows way, with backslashes.
std::string LogsDir() {
  const char* dir = std::getenv("REFWARDEN_LOGS_DIR");
  std::string path = dir != nullptr ? dir : REFWARDEN_LOGS_DIR;
#ifdef _WIN32
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
#endif
  return path;
}

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

std::string LogPath(const std::string& file) { return LogsDir() + kSeparator + file; }

std::string FlagValue(const std::vector<std::string>& flags, const std::string& name) {
  for (std::size_t i = 0; i + 1 < flags.size(); ++i) {
    if (flags[i] == name) return flags[i + 1];
  }
  return "";
}

// What the filter reads of a value: its 4,096-byte buffer and a NUL; a
// longer one reads as empty.
std::string_view AsRead(std::string_view value) {
  return value.size() > 4096 ? std::string_view() : value;
}

std::string Kinds(const std::uint64_t (&kinds)[kRewriteKindCount]) {
  return std::to_string(kinds[0]) + "/" + std::to_string(kinds[1]) + "/" +
         std::to_string(kinds[2]) + "/" + std::to_string(kinds[3]);
}

std::string DateText(std::uint32_t date) {
  char text[16];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u", date / 10000, date / 100 % 100, date % 100);
  return text;
}

// Counts what is not a request and the refusal that ends a log, as the
// tool's exit status.
class CountingReporter final : public LogRequests::Reporter {
 public:
  explicit CountingReporter(Counts* counts) : counts_(counts) {}
  void Malformed(std::uint64_t, bool) override { ++counts_->malformed; }
  void Refused(LogRefusal why, const std::string&) override {
    status = why == LogRefusal::kNeedsHost ? kNeedsHost
             : why == LogRefusal::kNotALog ? kNotALog
                                           : kRefused;
  }
  int status = kReplayed;

 private:
  Counts* counts_;
};

// The shape read by the log reader alone, each request judged by
// DecideRewrite on what the filter reads of it. Returns the exit status the
// tool must give.
int ReplayWithParser(const Shape& shape, Counts* counts, Days* days, std::string* kindsText) {
  std::uint64_t kinds[kRewriteKindCount] = {};
  std::vector<std::string> files;
  for (const std::string& file : shape.files) files.push_back(LogPath(file));
  files = ExpandFileArguments(files);
  LogRequestsOptions options;
  if (const std::string host = FlagValue(shape.flags, "--host"); !host.empty()) options.host = host;
  options.withoutReferer =
      std::find(shape.flags.begin(), shape.flags.end(), "--assume-no-referer") != shape.flags.end();
  CountingReporter reporter(counts);
  std::vector<std::unique_ptr<LogRequests>> inputs;
  for (const std::string& file : files) {
    inputs.push_back(std::make_unique<LogRequests>(file, file, options, &reporter));
    if (!inputs.back()->Open()) return kReadError;
    if (!inputs.back()->Preview()) return reporter.status;
  }
  for (const std::unique_ptr<LogRequests>& requests : inputs) {
    for (LogRequest request; requests->Next(&request);) {
      Counts& day = (*days)[DateText(request.date)];
      ++counts->requests;
      ++day.requests;
      if (!request.hasReferer) ++counts->withoutReferer;
      const std::string_view path = request.url.substr(0, request.url.find('?'));
      const std::string_view siteHost = request.host;  // --host when the log has none
      if (IsProtectedPath(path)) {
        ++counts->images;
        ++day.images;
        if (request.url.size() > 4096) ++counts->longUrls;
        if (siteHost.size() > 4096) ++counts->longHosts;
      }
      const std::string_view read = AsRead(request.url);
      if (DecideRewrite(read.substr(0, read.find('?')), AsRead(siteHost), request.referer)
              .rewrite) {
        ++counts->rewritten;
        ++day.rewritten;
        ++kinds[static_cast<std::size_t>(ClassifyRewrite(siteHost, request.referer))];
      }
    }
    if (requests->refusal() != LogRefusal::kNone) return reporter.status;
    if (!requests->error().empty()) ++counts->errors;
  }
  *kindsText = Kinds(kinds);
  return counts->errors > 0 ? kReadError : kReplayed;
}

TEST(ReplayShapesTest, ParserAlone) {
  for (const Shape& shape : Shapes()) {
    Counts counts;
    Days days;
    std::string kinds;
    const int status = ReplayWithParser(shape, &counts, &days, &kinds);
    EXPECT_EQ(status, shape.status) << shape.what;
    if (status == kReplayed || status == kReadError) {
      EXPECT_EQ(counts, shape.counts) << shape.what;
      EXPECT_EQ(DaysText(days), shape.days) << shape.what;
      EXPECT_EQ(kinds, shape.kinds) << shape.what;
    }
  }
}

// ---- the tool ---------------------------------------------------------------

struct ToolRun {
  int status = -1;
  std::string out, err;
};

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A folder of this run's own, removed when the tests end.
fs::path ScratchDir() {
  struct Scratch {
    Scratch()
        : dir(fs::temp_directory_path() /
              ("refwarden-shapes-" + std::to_string(std::random_device{}()))) {
      fs::create_directories(dir);
    }
    ~Scratch() {
      std::error_code ignored;
      fs::remove_all(dir, ignored);
    }
    fs::path dir;
  };
  static const Scratch scratch;
  return scratch.dir;
}

#ifdef _WIN32
ToolRun RunTool(const std::vector<std::string>& arguments) {
  const testing::ProgramRun run =
      testing::RunProgram(testing::ProgramFolder() + "\\refwarden.exe", arguments);
  return {run.status, run.out, run.err};
}
#else
ToolRun RunTool(const std::vector<std::string>& arguments) {
  const std::string outPath = (ScratchDir() / "out").string();
  const std::string errPath = (ScratchDir() / "err").string();
  std::vector<std::string> all = {REFWARDEN_TOOL_PATH};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : all) argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  ToolRun run;
  pid_t pid;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  run.out = ReadWhole(outPath);
  run.err = ReadWhole(errPath);
  return run;
}
#endif

std::vector<std::string> ToolArguments(const Shape& shape, bool json) {
  std::vector<std::string> arguments = {"replay"};
  if (json) arguments.push_back("--json");
  arguments.insert(arguments.end(), shape.flags.begin(), shape.flags.end());
  for (const std::string& file : shape.files) arguments.push_back(LogPath(file));
  return arguments;
}

// Wildcards reach the tool as typed only on Windows; elsewhere the shell
// expands them.
bool ForTheTool(const Shape& shape) {
#ifdef _WIN32
  static_cast<void>(shape);
  return true;
#else
  for (const std::string& file : shape.files) {
    if (file.find_first_of("*?") != std::string::npos) return false;
  }
  return true;
#endif
}

// The number in the HTML report's <data id="..."> element, or -1.
long long HtmlCount(const std::string& html, const std::string& id) {
  const std::string key = "<data id=\"" + id + "\" value=\"";
  const std::size_t at = html.find(key);
  if (at == std::string::npos) return -1;
  return std::stoll(html.substr(at + key.size()));
}

// The counts, the days and the kinds as the JSON report and the HTML report
// give them.
void ReadReports(const nlohmann::json& json, const std::string& html, Counts* fromJson,
                 Counts* fromHtml, Days* daysJson, Days* daysHtml, std::string* kindsJson,
                 std::string* kindsHtml) {
  fromJson->requests = json["requests"];
  fromJson->malformed = json["malformed"];
  fromJson->images = json["images"];
  fromJson->rewritten = json["rewritten"];
  fromJson->withoutReferer = json["without_referer_field"];
  fromJson->errors = json["errors"].size();
  fromJson->longUrls = json["long_url_images"];
  fromJson->longHosts = json["long_host_images"];
  const auto number = [&html](const std::string& id) {
    return static_cast<std::uint64_t>(HtmlCount(html, id));
  };
  fromHtml->requests = number("requests");
  fromHtml->malformed = number("malformed");
  fromHtml->images = number("images");
  fromHtml->rewritten = number("rewritten");
  fromHtml->withoutReferer = html.find("id=\"without_referer_field\"") == std::string::npos
                                 ? 0
                                 : number("without_referer_field");
  fromHtml->errors = fromJson->errors;  // said in words only
  fromHtml->longUrls = number("long_url_images");
  fromHtml->longHosts = number("long_host_images");
  for (const nlohmann::json& day : json["per_day"]) {
    const std::string date = day["date"].is_null() ? "none" : day["date"].get<std::string>();
    Counts& j = (*daysJson)[date];
    j.requests = day["requests"];
    j.images = day["images"];
    j.rewritten = day["rewritten"];
    Counts& h = (*daysHtml)[date];
    h.requests = number("day-" + date + "-requests");
    h.images = number("day-" + date + "-images");
    h.rewritten = number("day-" + date + "-rewritten");
  }
  std::uint64_t json4[kRewriteKindCount], html4[kRewriteKindCount];
  const char* keys[] = {"no_referer", "same_site", "likely_alias", "other_sites"};
  for (std::size_t k = 0; k < kRewriteKindCount; ++k) {
    json4[k] = json["rewrite_kinds"][keys[k]]["count"];
    html4[k] = number(std::string("kind-") + keys[k]);
  }
  *kindsJson = Kinds(json4);
  *kindsHtml = Kinds(html4);
}

TEST(ReplayShapesTest, ThroughTheFilterLibrary) {
  for (const Shape& shape : Shapes()) {
    if (!ForTheTool(shape)) continue;
    std::vector<std::string> arguments = ToolArguments(shape, true);
    const std::string htmlPath = (ScratchDir() / "report.html").string();
    fs::remove(htmlPath);
    arguments.insert(arguments.begin() + 1, {"--html", htmlPath});
    const ToolRun run = RunTool(arguments);
    ASSERT_EQ(run.status, shape.status) << shape.what << "\n" << run.err;
    EXPECT_NE(run.err.find(shape.message), std::string::npos) << shape.what << "\n" << run.err;
    if (run.status != kReplayed && run.status != kReadError) continue;
    const nlohmann::json json = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(json.is_discarded()) << shape.what << "\n" << run.out;
    const std::string html = ReadWhole(htmlPath);
    Counts fromJson, fromHtml;
    Days daysJson, daysHtml;
    std::string kindsJson, kindsHtml;
    ReadReports(json, html, &fromJson, &fromHtml, &daysJson, &daysHtml, &kindsJson, &kindsHtml);
    EXPECT_EQ(fromJson, shape.counts) << shape.what;
    EXPECT_EQ(fromHtml, shape.counts) << shape.what;
    EXPECT_EQ(DaysText(daysJson), shape.days) << shape.what;
    EXPECT_EQ(DaysText(daysHtml), shape.days) << shape.what;
    EXPECT_EQ(kindsJson, shape.kinds) << shape.what;
    EXPECT_EQ(kindsHtml, shape.kinds) << shape.what;
    EXPECT_EQ(json["interrupted"], false) << shape.what;
  }
}

// The days and the kinds as the text report gives them: the table "By day"
// (a date and three counts a line) and the count after each kind's title.
void ReadText(const std::string& text, Days* days, std::string* kinds) {
  std::istringstream lines(text);
  std::uint64_t kindCounts[kRewriteKindCount] = {};
  bool inDays = false;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();  // Windows' console text
    if (line == "By day") inDays = true;
    if (line.empty()) inDays = false;
    std::istringstream words(line);
    std::string date;
    Counts counts;
    if (inDays && words >> date >> counts.requests >> counts.images >> counts.rewritten)
      (*days)[date] = counts;
    for (std::size_t k = 0; k < kRewriteKindCount; ++k) {
      const std::string title = "  " + std::string(RewriteKindTitle(static_cast<RewriteKind>(k)));
      if (line.compare(0, title.size(), title) == 0) {
        std::istringstream(line.substr(title.size())) >> kindCounts[k];
      }
    }
  }
  *kinds = Kinds(kindCounts);
}

// The text report shows bytes from the logs escaped: no control byte but the
// line ends reaches the terminal. Its days and kinds are the hand counts.
TEST(ReplayShapesTest, TextReportHoldsNoControlBytes) {
  for (const Shape& shape : Shapes()) {
    if (!ForTheTool(shape)) continue;
    if (shape.status != kReplayed && shape.status != kReadError) continue;
    const ToolRun run = RunTool(ToolArguments(shape, false));
    ASSERT_EQ(run.status, shape.status) << shape.what << "\n" << run.err;
    for (char c : run.out) {
      const auto byte = static_cast<unsigned char>(c);
      ASSERT_TRUE(byte >= 0x20 || c == '\n' || c == '\r') << shape.what << "\n"
                                                          << Printable(run.out);
      ASSERT_NE(byte, 0x7F) << shape.what;
    }
    Days days;
    std::string kinds;
    ReadText(run.out, &days, &kinds);
    EXPECT_EQ(DaysText(days), shape.days) << shape.what << "\n" << run.out;
    EXPECT_EQ(kinds, shape.kinds) << shape.what << "\n" << run.out;
  }
  const Shape& hostile = ShapeOf("access-hostile.log");
  const ToolRun run = RunTool(ToolArguments(hostile, false));
  EXPECT_NE(run.out.find("/images/\\x1b[2J\\x1b[1;1HREPLAY-OK.jpg"), std::string::npos)
      << Printable(run.out);
}

// ---- the account's own trace --------------------------------------------------

// The names of the trace's values, as the account's store holds them.
std::set<std::string> TraceValues() {
  std::set<std::string> names;
  for (const testing::StoredValue& value : testing::ReadValues(kTraceKey)) names.insert(value.name);
  return names;
}

#ifdef _WIN32
// Whether a private key the tool made is left under HKCU\Software.
bool PrivateKeyLeft() {
  HKEY software = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &software) != ERROR_SUCCESS)
    return false;
  bool left = false;
  char name[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = sizeof name;
    if (RegEnumKeyExA(software, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    left = left || std::string_view(name, length).substr(0, 16) == "Refwarden replay";
  }
  RegCloseKey(software);
  return left;
}
#else
// Whether the tool left anything in $TMPDIR, which the test points at a
// folder of its own.
class TemporaryFolder {
 public:
  TemporaryFolder() : dir_(ScratchDir() / "tmp") {
    fs::create_directories(dir_);
    setenv("TMPDIR", dir_.c_str(), 1);
  }
  ~TemporaryFolder() { unsetenv("TMPDIR"); }
  bool Empty() const { return fs::is_empty(dir_); }

 private:
  fs::path dir_;
};
#endif

TEST(ReplayShapesTest, DryRunLeavesTheAccountsTraceAsItWas) {
  const testing::TempStore account;
#ifndef _WIN32
  const TemporaryFolder temporary;
#endif
  const Shape& shape = ShapeOf("u_ex240501.log");
  ASSERT_EQ(RunTool(ToolArguments(shape, true)).status, kReplayed);
  EXPECT_FALSE(testing::KeyExists(kTraceKey));
#ifndef _WIN32
  EXPECT_TRUE(temporary.Empty());
#else
  EXPECT_FALSE(PrivateKeyLeft());
#endif

  std::vector<std::string> arguments = ToolArguments(shape, true);
  arguments.insert(arguments.begin() + 1, "--trace");
  ASSERT_EQ(RunTool(arguments).status, kReplayed);
  const std::set<std::string> after = TraceValues();
  for (const char* path :
       {"/index.html", "/images/harbour.jpg", "/images/meadow.png", "/css/site.css",
        "/images/PHOTO.JPG", "/images/balloon.gif", "/images/lighthouse.bmp", "/robots.txt"}) {
    EXPECT_EQ(after.count(path), 1u) << path;
  }
}

}  // namespace
}  // namespace refwarden
