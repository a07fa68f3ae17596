// Replays logs made here through the real filter library and checks the
// summary's counts against outcomes worked out by hand for each request.
#include "tools/replay/Replay.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/Listing.h"
#include "tests/support/Printable.h"
#include "tests/support/TempStore.h"
#include "tests/support/WriteTransactionElsewhere.h"

namespace refwarden {
namespace {

namespace fs = std::filesystem;

using testing::Listing;
using testing::Printable;
using testing::WriteTransactionElsewhere;

struct Row {
  std::string host;
  std::string referer;  // empty: no Referer
  std::string url;
  bool image;        // the query-less path is a protected one
  bool rewritten;    // what the filter must do
  std::string site;  // the referer's site, for rewritten rows
};

// Host example.com unless a row says otherwise.
const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = {
      {"example.com", "http://forum.net/t/1", "/images/a.jpg", true, true, "forum.net"},
      {"example.com", "http://forum.net/t/2", "/images/a.jpg?w=2", true, true, "forum.net"},
      {"example.com", "http://example.com/page", "/images/a.jpg", true, false, ""},
      {"example.com", "", "/images/b.png", true, true, "(none)"},
      {"example.com", "", "/index.html", false, false, ""},
      {"example.com", "http://example.com", "/images/c.gif", true, true, "example.com"},
      {"example.com", "http://forum.net/", "/a.jpg.jpg", false, false, ""},
      {"example.com", "https://blog.example.org/post?id=1", "/x/y.bmp", true, true,
       "blog.example.org"},
      {"example.com", "http://forum.net/", "/photo.JPG", false, false, ""},
      {"example.com:8080", "http://example.com:8080/", "/images/d.jpg", true, false, ""},
      {"example.com", "http://example.com:8080/", "/images/d.jpg", true, true, "example.com:8080"},
      {"example.com", "http://forum.net/", "/?a.jpg", false, false, ""},
      {"example.com", "http://forum.net/?q=a+b", "/images/e.png", true, true, "forum.net"},
      {"example.com", R"(http://q.net/?s="x")", "/images/f.gif", true, true, "q.net"},
      {"example.com", "http://example.com/", "/style.css?v=3", false, false, ""},
  };
  return rows;
}

struct Expected {
  std::uint64_t requests = 0, images = 0, rewritten = 0;
  std::map<std::string, std::uint64_t> sites, paths;
};

Expected ExpectedFor(const std::vector<Row>& rows, int copies) {
  Expected e;
  for (int copy = 0; copy < copies; ++copy) {
    for (const Row& row : rows) {
      ++e.requests;
      if (row.image) ++e.images;
      if (!row.rewritten) continue;
      ++e.rewritten;
      ++e.sites[row.site];
      ++e.paths[row.url.substr(0, row.url.find('?'))];
    }
  }
  return e;
}

std::map<std::string, std::uint64_t> AsMap(const std::vector<TopCounter::Entry>& top) {
  std::map<std::string, std::uint64_t> counts;
  for (const TopCounter::Entry& entry : top) counts[entry.name] = entry.count;
  return counts;
}

void ExpectSummary(const ReplaySummary& summary, const Expected& e, std::uint64_t malformed) {
  EXPECT_EQ(summary.requests(), e.requests);
  EXPECT_EQ(summary.images(), e.images);
  EXPECT_EQ(summary.rewritten(), e.rewritten);
  EXPECT_EQ(summary.malformed(), malformed);
  EXPECT_EQ(AsMap(summary.TopSites(100)), e.sites);
  EXPECT_EQ(AsMap(summary.TopPaths(100)), e.paths);
}

std::string W3cValue(const std::string& value) {
  if (value.empty()) return "-";
  std::string out = value;
  for (char& c : out) {
    if (c == ' ') c = '+';
  }
  return out;
}

std::string Stem(const std::string& url) { return url.substr(0, url.find('?')); }
std::string Query(const std::string& url) {
  const std::size_t q = url.find('?');
  return q == std::string::npos ? "" : url.substr(q + 1);
}

// The rows in W3C form: the first half under one #Fields directive, the rest
// under another with the columns reordered; lines 5 and 17 are malformed.
std::string W3cLog(const std::vector<Row>& rows) {
  std::string log =
      "#Software: Microsoft Internet Information Services 10.0\n"
      "#Version: 1.0\n"
      "#Date: 2024-05-01 10:00:00\n"
      "#Fields: date time cs-method cs-uri-stem cs-uri-query cs-host cs(Referer) sc-status\n"
      "2024-05-01 10:00:00 GET /cut-short.jpg\n";
  const std::size_t half = rows.size() / 2;
  for (std::size_t i = 0; i < half; ++i) {
    const Row& r = rows[i];
    log += "2024-05-01 10:00:0" + std::to_string(i % 10) + " GET " + Stem(r.url) + " " +
           W3cValue(Query(r.url)) + " " + W3cValue(r.host) + " " + W3cValue(r.referer) + " 200\n";
  }
  log += "\n#Fields: cs(Referer) cs-host cs-uri-query time cs-uri-stem\n";
  for (std::size_t i = half; i < rows.size(); ++i) {
    const Row& r = rows[i];
    log += W3cValue(r.referer) + " " + W3cValue(r.host) + " " + W3cValue(Query(r.url)) +
           " 10:00:09 " + Stem(r.url) + "\r\n";
    if (i == half + 1) log += "this line is not a log entry\n";
  }
  return log;
}

std::string CombinedQuoted(const std::string& value) {
  if (value.empty()) return "\"-\"";
  std::string out = "\"";
  for (char c : value) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// The rows in combined form; the host is not in it. Line 3 is malformed.
std::string CombinedLog(const std::vector<Row>& rows) {
  std::string log;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    log += "203.0.113." + std::to_string(i) + " - - [01/May/2024:10:00:00 +0000] \"GET " + r.url +
           " HTTP/1.1\" 200 1234 " + CombinedQuoted(r.referer) +
           " \"Mozilla/5.0 (\\\"test\\\")\"\n";
    if (i == 1) log += "203.0.113.99 - - [01/May/2024:10:00:00 +0000] \"-\" 400 0 \"-\" \"-\"\n";
  }
  return log;
}

std::vector<Row> OnHost(const std::string& host) {
  std::vector<Row> rows;
  for (const Row& row : Rows()) {
    if (row.host == host) rows.push_back(row);
  }
  return rows;
}

struct ToolRun {
  int status = -1;  // the exit status; 127 when the tool could not be started
  std::string out;
  std::string err;
  double seconds = 0;
};

constexpr uid_t kNobody = 65534;

std::string Slurp(int fd) {
  std::string text;
  lseek(fd, 0, SEEK_SET);
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(n));
  close(fd);
  return text;
}

// A child process: the program args[0] (found on the PATH) on the store
// `store` (REFWARDEN_REGISTRY), its standard input `input` (-1: this one's),
// its standard output and error in unlinked temporary files; as "nobody"
// when `asNobody`: permission bits bind only an account without override
// rights. `pid` is -1 when it could not be started.
struct Child {
  pid_t pid = -1;
  int out = -1;
  int err = -1;
};

Child Spawn(std::vector<std::string> args, const std::string& store, int input, bool asNobody) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  char outName[] = "/tmp/refwarden-tool-out-XXXXXX";
  char errName[] = "/tmp/refwarden-tool-err-XXXXXX";
  Child child;
  child.out = mkstemp(outName);
  child.err = mkstemp(errName);
  unlink(outName);
  unlink(errName);
  child.pid = fork();
  if (child.pid == 0) {
    if (input >= 0) dup2(input, 0);
    dup2(child.out, 1);
    dup2(child.err, 2);
    setenv("REFWARDEN_REGISTRY", store.c_str(), 1);
    if (asNobody && geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
      _exit(127);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return child;
}

// What `child` printed, with `status` (a wait status) as its exit status
// when it exited; -1 when it died of a signal.
ToolRun Collected(const Child& child, int status) {
  ToolRun run;
  if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
  run.out = Slurp(child.out);
  run.err = Slurp(child.err);
  return run;
}

// Runs the program args[0] on the store `store` and waits for it (see Spawn).
ToolRun RunProgram(std::vector<std::string> args, const std::string& store, bool asNobody) {
  const auto start = std::chrono::steady_clock::now();
  const Child child = Spawn(std::move(args), store, -1, asNobody);
  int status = 0;
  if (child.pid <= 0 || waitpid(child.pid, &status, 0) != child.pid) status = -1;
  ToolRun run = Collected(child, status);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return run;
}

// The refwarden tool, with the filter built beside it, as a shell command.
const std::string kToolCommand =
    std::string(REFWARDEN_TOOL_PATH) + " --filter " + REFWARDEN_FILTER_PATH;

// The refwarden tool, with the filter built beside it.
ToolRun RunToolOn(const std::string& store, bool asNobody, std::vector<std::string> args) {
  args.insert(args.begin(), {REFWARDEN_TOOL_PATH, "--filter", REFWARDEN_FILTER_PATH});
  return RunProgram(std::move(args), store, asNobody);
}

class ReplayTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    store_ = new testing::TempStore("registry.db");
    dir_ = store_->Folder();
    filter_ = new FilterLibrary(REFWARDEN_FILTER_PATH);
  }
  static void TearDownTestSuite() {
    delete filter_;
    delete store_;
  }

  static std::string Write(const std::string& name, const std::string& content) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  static std::string WriteGzip(const std::string& name, const std::string& content) {
    const std::string path = (dir_ / name).string();
    gzFile file = gzopen(path.c_str(), "wb");
    gzwrite(file, content.data(), static_cast<unsigned>(content.size()));
    gzclose(file);
    return path;
  }

  static ReplaySummary Replay(const std::vector<std::string>& files,
                              std::optional<std::string> host = {},
                              const std::atomic<bool>* stop = nullptr) {
    ReplayOptions options;
    options.files = files;
    options.host = std::move(host);
    options.progress = false;
    options.stop = stop;
    return ReplayLogs(*filter_, options);
  }

  // The refwarden tool on the suite's store.
  static ToolRun Tool(std::vector<std::string> args) {
    return RunToolOn(store_->Path(), false, std::move(args));
  }

  static inline testing::TempStore* store_ = nullptr;
  static inline fs::path dir_;
  static inline FilterLibrary* filter_ = nullptr;
};

TEST_F(ReplayTest, W3cWithReorderedFieldsMidway) {
  const std::string log = Write("u_ex240501.log", W3cLog(Rows()));
  const ReplaySummary summary = Replay({log});
  ExpectSummary(summary, ExpectedFor(Rows(), 1), 2);
  EXPECT_EQ(summary.firstMalformed(), (std::vector<std::string>{log + ":5", log + ":17"}));
}

TEST_F(ReplayTest, CombinedTakesTheHostFromTheCommandLine) {
  const std::vector<Row> rows = OnHost("example.com");
  const std::string log = Write("access.log", CombinedLog(rows));
  const ReplaySummary summary = Replay({log}, "example.com");
  ExpectSummary(summary, ExpectedFor(rows, 1), 1);
  EXPECT_EQ(summary.firstMalformed(), std::vector<std::string>{log + ":3"});

  EXPECT_THROW(Replay({log}), MissingHostError);
}

TEST_F(ReplayTest, GzipIsKnownByItsContentAndFormatsMixPerFile) {
  const std::vector<Row> onHost = OnHost("example.com");
  const std::string packed = WriteGzip("u_ex240502.log", W3cLog(Rows()));
  const std::string combined = Write("access.log", CombinedLog(onHost));
  std::vector<Row> both = Rows();
  both.insert(both.end(), onHost.begin(), onHost.end());
  ExpectSummary(Replay({packed, combined}, "example.com"), ExpectedFor(both, 1), 3);
}

// A bad file among good ones: its fault is named once, with the file, and
// every request of the good ones (and of the bad one up to its fault) is
// replayed. A refused directive is a refusal; the rest are errors.
TEST_F(ReplayTest, BadFileAmongGoodOnesIsNamedAndTheRestReplayed) {
  const std::string fine = Write("fine.log", W3cLog(Rows()));
  const std::string missing = (dir_ / "missing.log").string();
  // The log, then a long line that hardly compresses, cut in its middle.
  std::string tail;
  std::mt19937 random(1);
  for (int i = 0; i < 200000; ++i) tail.push_back(static_cast<char>('a' + random() % 26));
  const std::string cut = WriteGzip("cut.log.gz", W3cLog(Rows()) + tail);
  fs::resize_file(cut, fs::file_size(cut) / 2);
  // A #Fields directive that drops a needed field midway stops its file there.
  const std::string noReferer =
      Write("later.log", W3cLog(Rows()) + "#Fields: cs-uri-stem cs-host\n/a.jpg h\n");
  const std::string noHost =
      Write("later2.log", W3cLog(Rows()) + "#Fields: cs-uri-stem cs(Referer)\n/a.jpg -\n");
  // An error's row holds its whole message; a refusal's, pieces of it (the
  // file and line, and the reason).
  const struct {
    std::vector<std::string> files;
    bool refusal;
    std::vector<std::string> says;
  } cases[] = {
      {{fine, missing, fine}, false, {missing + ": No such file or directory"}},
      {{cut, fine}, false, {cut + ": the file is truncated: its gzip data stops before the end"}},
      {{noReferer, fine}, true, {noReferer + ":", "records no referer"}},
      {{noHost, fine}, true, {noHost + ":", "without cs-host or cs(Host)"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.files[0]);
    const ReplaySummary summary = Replay(c.files);
    if (c.refusal) {
      ASSERT_EQ(summary.refused().size(), 1u);
      for (const std::string& piece : c.says)
        EXPECT_NE(summary.refused()[0].find(piece), std::string::npos) << summary.refused()[0];
      EXPECT_TRUE(summary.errors().empty());
    } else {
      EXPECT_EQ(summary.errors(), c.says);
      EXPECT_TRUE(summary.refused().empty());
    }
    EXPECT_EQ(summary.files(), 2u);
    ExpectSummary(summary, ExpectedFor(Rows(), 2), 4);
  }
  // The host a directive leaves out can come from the command line.
  EXPECT_EQ(Replay({noHost}, "example.com").requests(), Rows().size() + 1);
}

TEST_F(ReplayTest, StopsWhenAskedAndSaysSo) {
  const std::string log = Write("stop.log", W3cLog(Rows()));
  const std::atomic<bool> stop{true};
  const ReplaySummary summary = Replay({log}, {}, &stop);
  EXPECT_TRUE(summary.interrupted());
  EXPECT_EQ(summary.lines(), 0u);
  EXPECT_NE(summary.Text(10).find("Interrupted after 0 files"), std::string::npos);
}

TEST_F(ReplayTest, ToolReadsStandardInputAndPrintsJson) {
  const std::vector<Row> rows = OnHost("example.com");
  const std::string log = Write("stdin.log", CombinedLog(rows));
  const ToolRun run = RunProgram(
      {"sh", "-c", "exec " + kToolCommand + " replay --json --host example.com --top 2 - < " + log},
      store_->Path(), false);
  ASSERT_EQ(run.status, 0) << run.err;
  const nlohmann::json json = nlohmann::json::parse(run.out);
  const Expected e = ExpectedFor(rows, 1);
  EXPECT_EQ(json["requests"], e.requests);
  EXPECT_EQ(json["images"], e.images);
  EXPECT_EQ(json["rewritten"], e.rewritten);
  EXPECT_EQ(json["malformed"], 1);
  EXPECT_EQ(json["first_malformed"], nlohmann::json::array({"(stdin):3"}));
  ASSERT_EQ(json["top_referer_sites"].size(), 2u);
  EXPECT_EQ(json["top_referer_sites"][0]["site"], "forum.net");
  EXPECT_EQ(json["top_referer_sites"][0]["count"], e.sites.at("forum.net"));
  EXPECT_EQ(json["top_rewritten_paths"][0]["path"], "/images/a.jpg");
  EXPECT_EQ(json["top_rewritten_paths"][0]["count"], 2);
}

// Each input is read once, so what a pipe gives is replayed whole: the
// format and the directives are judged from the same read.
TEST_F(ReplayTest, ToolReadsEachInputOnceWhateverItIs) {
  constexpr int kCopies = 300;  // well past the first read of any buffer
  std::string content;
  for (int i = 0; i < kCopies; ++i) content += W3cLog(Rows());
  const std::string log = Write("once.log", content);
  const std::string fifo = (dir_ / "once.fifo").string();
  const std::string replay = kToolCommand + " replay --json ";
  struct Input {
    const char* what;
    std::string command;  // run by bash
  };
  const Input inputs[] = {
      {"regular file", "exec " + replay + log},
      {"pipe (process substitution)", "exec " + replay + "<(cat " + log + ")"},
      {"FIFO", "rm -f " + fifo + " && mkfifo " + fifo + " && { cat " + log + " > " + fifo +
                   " & } && exec " + replay + fifo},
      {"/dev/stdin, a pipe", "cat " + log + " | " + replay + "/dev/stdin"},
      {"'-', a pipe", "cat " + log + " | " + replay + "-"},
      {"gzip through a pipe", "gzip -c " + log + " | " + replay + "-"},
  };
  const Expected e = ExpectedFor(Rows(), kCopies);
  for (const Input& input : inputs) {
    const ToolRun run = RunProgram({"bash", "-c", input.command}, store_->Path(), false);
    ASSERT_EQ(run.status, 0) << input.what << "\n" << run.err;
    const nlohmann::json json = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(json.is_discarded()) << input.what << "\n" << run.out;
    EXPECT_EQ(json["lines"], std::count(content.begin(), content.end(), '\n')) << input.what;
    EXPECT_EQ(json["requests"], e.requests) << input.what;
    EXPECT_EQ(json["rewritten"], e.rewritten) << input.what;
    EXPECT_EQ(json["malformed"], 2 * kCopies) << input.what;
  }
  fs::remove(fifo);
}

// Each way a file can be wrong, through the tool: the exit status, and what
// stdout and stderr must say (the summary is printed whatever happened).
TEST_F(ReplayTest, ToolAnswersEachFaultOfTheInput) {
  std::string crOnly = W3cLog(Rows());
  crOnly.erase(std::remove(crOnly.begin(), crOnly.end(), '\r'), crOnly.end());
  std::replace(crOnly.begin(), crOnly.end(), '\n', '\r');
  std::string headerless;  // the data lines of a W3C log, its header block cut off
  for (int i = 0; i < 20; ++i) headerless += "2024-05-01 10:00:00 GET /a.jpg - example.com - 200\n";
  std::string longFields = "#Fields: date";
  while (longFields.size() <= 64 * 1024) longFields += " x-field";
  const std::string w3c = Write("fault-fine.log", W3cLog(Rows()));
  const std::string combined = Write("fault-combined.log", CombinedLog(OnHost("example.com")));
  const std::string absent = (dir_ / "fault-absent.log").string();
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out, err;  // texts each must hold
  };
  const Case cases[] = {
      {{"replay", "--host", "example.com",
        Write("fault-binary.log", std::string("\x7f"
                                              "ELF\x02\x01\0\0\x1b[2J\n",
                                              12))},
       8,
       "files refused",
       "fault-binary.log: not a log of a format replay reads: taken for the combined format, "
       "none of its 1 lines is a request; line 1 reads \"\\x7fELF\\x02\\x01\\x00\\x00\\x1b[2J\""},
      {{"replay", Write("fault-headerless.log", headerless)},
       8,
       "Replayed 1 file",
       "fault-headerless.log: not a log of a format replay reads: a W3C extended log without its "
       "#Fields: directive"},
      {{"replay", "--json", Write("fault-cr.log", crOnly)},
       0,
       "\"requests\": " + std::to_string(Rows().size()),
       ""},
      {{"replay", Write("fault-fields.log", longFields + "\n2024-05-01 10:00:00 /a.jpg\n")},
       8,
       "files refused",
       "fault-fields.log:1: this #Fields directive is longer than 64 KiB"},
      {{"replay", w3c, absent, w3c},
       1,
       "Replayed 2 files",
       "cannot read " + absent + ": No such file or directory"},
      // Forced to W3C, a combined log has no #Fields: every line is malformed.
      {{"replay", "--format", "w3c", combined}, 8, "Replayed 1 file", "read as the w3c format"},
      {{"replay", combined},
       2,
       "",
       "--host is required: " + combined +
           " is in the combined log format, which records no "
           "Host header.\nGive the site's Host header, as in (with your site's name):\n  refwarden "
           "replay --host www.example.com " +
           combined},
      {{"replay", "--host", "https://www.example.com/", combined},
       2,
       "",
       "is not a host: --host takes the Host header's value"},
      {{"replay", "--top", "-1", w3c}, 2, "", "--top: takes 0 or more (0 leaves the lists out), not -1"},
      // Every command line CLI11 refuses is the one usage status, not its own codes.
      {{"check", "--host", "example.com", "--bogus", "/a.jpg"},
       2,
       "",
       "The following argument was not expected: --bogus"},
      {{"replay", "--format", "xml", combined}, 2, "", "--format"},
  };
  for (const Case& c : cases) {
    const ToolRun run = Tool(c.args);
    std::string what;
    for (const std::string& arg : c.args) what += arg + " ";
    EXPECT_EQ(run.status, c.status) << what << "\n" << run.err;
    EXPECT_NE(run.out.find(c.out), std::string::npos) << what << "\n" << run.out;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << what << "\n" << run.err;
  }
}

// Whether process `pid` has a handler for `signal` (so that sending it now
// tests the handler, not the start-up).
bool Catches(pid_t pid, int signal) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigCgt:", 0) == 0)
      return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1) & 1) != 0;
  }
  return false;
}

// Runs the tool with `args`, standard input from `input` (-1: none), sends
// it `signal` (`times` times) once it catches it, and waits for it, at most
// a generous bound; status -1 when it died of a signal or had to be killed.
ToolRun SignalTool(std::vector<std::string> args, int input, int signal, int times,
                   const std::string& store) {
  args.insert(args.begin(), {REFWARDEN_TOOL_PATH, "--filter", REFWARDEN_FILTER_PATH});
  const Child child = Spawn(std::move(args), store, input, false);
  const pid_t pid = child.pid;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (!Catches(pid, signal) && Clock::now() < deadline) usleep(10000);
  usleep(200000);  // into the replay's loops
  // Repeated signals come 5 ms apart: the later ones land while the first
  // one's stop is under way, or while the process exits.
  for (int i = 0; i < times; ++i) {
    kill(pid, signal);
    usleep(5000);
  }
  int status = 0;
  pid_t done = 0;
  while ((done = waitpid(pid, &status, WNOHANG)) == 0 && Clock::now() < deadline) usleep(10000);
  if (done == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    status = -1;
  }
  return Collected(child, status);
}

// Stopped when told, whatever it waits on: a line without an end, a FIFO
// without a writer, a pipe that is open but quiet, a store another process
// holds locked. The run exits with 128 + the signal's number and prints the
// summary of what arrived; every request read is either replayed or counted
// as read but not replayed.
TEST_F(ReplayTest, ToolStopsWhenToldAndSaysWhatArrived) {
  const std::string fifo = (dir_ / "nowriter.fifo").string();
  fs::remove(fifo);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string log = W3cLog(Rows());
  const auto lines = static_cast<std::uint64_t>(std::count(log.begin(), log.end(), '\n'));
  const std::uint64_t requests = Rows().size();
  // Paths the store does not hold: each trace waits out the lock.
  std::vector<Row> newPaths = Rows();
  for (std::size_t i = 0; i < newPaths.size(); ++i)
    newPaths[i].url = "/locked/" + std::to_string(i) + ".jpg";
  const std::string lockedLog = Write("stop-locked.log", W3cLog(newPaths));
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int signal, times;
    bool fromPipe;        // standard input: a pipe holding `log`, kept open
    bool locked;          // the store held by another process's write transaction
    std::uint64_t lines;  // the summary's
    std::uint64_t read;   // requests read: replayed plus read but not replayed
  };
  const Case cases[] = {
      {"SIGINT, /dev/zero", {"replay", "--json", "/dev/zero"}, SIGINT, 1, false, false, 0, 0},
      {"SIGTERM, /dev/zero", {"replay", "--json", "/dev/zero"}, SIGTERM, 1, false, false, 0, 0},
      {"SIGHUP, /dev/zero", {"replay", "--json", "/dev/zero"}, SIGHUP, 1, false, false, 0, 0},
      {"SIGPIPE, /dev/zero", {"replay", "--json", "/dev/zero"}, SIGPIPE, 1, false, false, 0, 0},
      {"SIGINT again and again", {"replay", "--json", "/dev/zero"}, SIGINT, 6, false, false, 0, 0},
      {"FIFO without a writer", {"replay", "--json", fifo}, SIGINT, 1, false, false, 0, 0},
      {"quiet pipe", {"replay", "--json", "-"}, SIGINT, 1, true, false, lines, requests},
      {"--trace on a locked store",
       {"replay", "--json", "--trace", lockedLog},
       SIGINT,
       1,
       false,
       true,
       lines,
       requests},
  };
  for (const Case& c : cases) {
    std::unique_ptr<WriteTransactionElsewhere> elsewhere;
    if (c.locked) {
      Tool({"check", "--host", "example.com", "/made.html"});  // the store exists
      elsewhere = std::make_unique<WriteTransactionElsewhere>(store_->Path());
      if (!elsewhere->held()) {
        ADD_FAILURE() << c.what << ": the sqlite3 shell could not hold the store";
        continue;
      }
    }
    int pipeEnds[2] = {-1, -1};
    if (c.fromPipe) {
      ASSERT_EQ(pipe(pipeEnds), 0);
      ASSERT_EQ(write(pipeEnds[1], log.data(), log.size()), static_cast<ssize_t>(log.size()));
    }
    const ToolRun run = SignalTool(c.args, pipeEnds[0], c.signal, c.times, store_->Path());
    if (c.fromPipe) {
      close(pipeEnds[0]);
      close(pipeEnds[1]);
    }
    EXPECT_EQ(run.status, 128 + c.signal) << c.what << "\n" << run.err;
    const nlohmann::json json = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(json.is_discarded()) << c.what << "\n" << run.out << run.err;
    EXPECT_EQ(json["interrupted"], true) << c.what;
    EXPECT_EQ(json["lines"], c.lines) << c.what;
    EXPECT_EQ(
        json["requests"].get<std::uint64_t>() + json["read_not_replayed"].get<std::uint64_t>(),
        c.read)
        << c.what << "\n"
        << run.out;
    // The first request waits on the lock; the queued ones are dropped.
    if (c.locked) {
      EXPECT_GT(json["read_not_replayed"], 0) << c.what << "\n" << run.out;
    }
    EXPECT_EQ(run.err.find("Interrupted system call"), std::string::npos) << c.what << run.err;
  }
  fs::remove(fifo);
}

TEST_F(ReplayTest, ToolExitCodes) {
  const std::string combined = Write("exit.log", CombinedLog(OnHost("example.com")));
  const ToolRun noHost = Tool({"replay", combined});
  EXPECT_EQ(noHost.status, 2);  // a usage error
  EXPECT_NE(noHost.err.find("--host is required"), std::string::npos) << noHost.err;

  const ToolRun absent = Tool({"replay", (dir_ / "absent.log").string()});
  EXPECT_EQ(absent.status, 1);
  EXPECT_NE(absent.err.find("cannot read"), std::string::npos) << absent.err;
}

// The table of exit statuses `refwarden --help` prints is the README's, line
// for line, so that the documentation cannot drift from the tool.
TEST_F(ReplayTest, HelpsExitStatusTableIsTheReadmes) {
  const ToolRun help = Tool({"--help"});
  ASSERT_EQ(help.status, 0) << help.err;
  const std::size_t start = help.out.find("Exit statuses");
  ASSERT_NE(start, std::string::npos) << help.out;
  std::string table = help.out.substr(start);
  while (!table.empty() && table.back() == '\n') table.pop_back();
  EXPECT_NE(table.find("\n  128+N  interrupted by signal N"), std::string::npos) << table;
  std::ifstream in(REFWARDEN_README, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  const std::string readme = text.str();
  ASSERT_FALSE(readme.empty()) << REFWARDEN_README;
  EXPECT_NE(readme.find("```\n" + table + "\n```\n"), std::string::npos)
      << "README.md holds no code block that is, line for line:\n"
      << table;
}

TEST_F(ReplayTest, CheckOptions) {
  // A URL given as --host would make every image request a rewrite: refused,
  // showing the form the option takes.
  const ToolRun url = Tool({"check", "--host", "https://www.example.com/", "/a.jpg"});
  EXPECT_EQ(url.status, 2);  // a usage error
  EXPECT_NE(url.err.find("(here: --host www.example.com)"), std::string::npos) << url.err;
  // An unknown option is named, before the required ones it left out.
  const ToolRun bogus = Tool({"check", "--bogus"});
  EXPECT_EQ(bogus.status, 2);
  EXPECT_NE(bogus.err.find("not expected: --bogus"), std::string::npos) << bogus.err;
  // The tool's own options are taken after the verb as well as before it.
  const ToolRun after = Tool({"check", "--host", "h", "/a.html", "--filter", "/nonexistent.so"});
  EXPECT_EQ(after.status, 1);
  EXPECT_NE(after.err.find("/nonexistent.so"), std::string::npos) << after.err;
}

// Names any client can make the filter trace, written through check, come
// back from reg query escaped, one line each; keys list their subkeys, /s
// and /v select as reg.exe does, and reg delete removes what it is told.
TEST_F(ReplayTest, RegQueryEscapesSelectsAndDeletes) {
  const std::string store = (dir_ / "reg-tool.sqlite").string();
  const auto run = [&store](std::vector<std::string> args) {
    return RunToolOn(store, false, std::move(args));
  };
  const std::string key = "HKCU\\software\\tarnwel\\debug";
  for (const char* path : {"/\x1b]0;pwned\x07\x1b[2J.jpg", "/x\rfake    REG_SZ    ok.jpg",
                           "/a\\x41\\b.jpg", "/caf\xc3\xa9\xff.jpg"})
    run({"check", "--host", "site.example", path});
  const std::string values =
      "    /\\x1b]0;pwned\\x07\\x1b[2J.jpg    REG_SZ    ok\n"
      "    /x\\x0dfake    REG_SZ    ok.jpg    REG_SZ    ok\n"
      "    /a\\x5cx41\\b.jpg    REG_SZ    ok\n"
      "    /caf\xc3\xa9\\xff.jpg    REG_SZ    ok\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;  // the whole of stdout
    std::string err;  // the start of stderr
  } rows[] = {
      {{"reg", "query", key},
       0,
       "\nHKEY_CURRENT_USER\\software\\tarnwel\\debug\n" + values + "\n",
       ""},
      {{"reg", "query", "hkcu\\SOFTWARE"},
       0,
       "\nHKEY_CURRENT_USER\\SOFTWARE\n\nHKEY_CURRENT_USER\\SOFTWARE\\tarnwel\n",
       ""},
      {{"reg", "query", "HKCU\\software", "/S"},
       0,
       "\nHKEY_CURRENT_USER\\software\n\nHKEY_CURRENT_USER\\software\\tarnwel\n"
       "\nHKEY_CURRENT_USER\\software\\tarnwel\\debug\n" +
           values + "\n",
       ""},
      {{"reg", "query", key, "/v", "/a\\x41\\b.jpg"},
       0,
       "\nHKEY_CURRENT_USER\\software\\tarnwel\\debug\n    /a\\x5cx41\\b.jpg    REG_SZ    ok\n\n",
       ""},
      {{"reg", "query", "HKCU", "/s", "/v", "/A\\X41\\B.JPG"},
       0,
       // As asked, as reg.exe prints it.
       "\nHKEY_CURRENT_USER\\software\\tarnwel\\debug\n    /A\\X41\\B.JPG    REG_SZ    ok\n"
       "End of search: 1 match(es) found.\n",
       ""},
      {{"reg", "query", key, "/v", "/absent.jpg"},
       4,
       "",
       "ERROR: The system was unable to find the specified registry key or value.\n"},
      {{"reg", "query", key, "/v"}, 2, "", "ERROR: Invalid syntax: '/v' needs a value name"},
      // Without /f and without a terminal, nothing is deleted.
      {{"sh", "-c", kToolCommand + " reg delete 'HKCU\\software\\tarnwel' < /dev/null"},
       11,
       "",
       "ERROR: reg delete asks before it deletes, and standard input is not a terminal"},
      {{"reg", "delete", key, "/v", "/a\\x41\\b.jpg", "/f"},
       0,
       "The operation completed successfully.\n",
       ""},
      {{"reg", "delete", key, "/v", "/a\\x41\\b.jpg", "/f"},
       4,
       "",
       "ERROR: The system was unable to find the specified registry key or value.\n"},
      {{"reg", "query", key, "/v", "/caf\xc3\xa9\xff.jpg"},
       0,
       "\nHKEY_CURRENT_USER\\software\\tarnwel\\debug\n    /caf\xc3\xa9\\xff.jpg    REG_SZ    "
       "ok\n\n",
       ""},
      {{"reg", "delete", "HKCU\\software\\tarnwel", "/f"},
       0,
       "The operation completed successfully.\n",
       ""},
      {{"reg", "query", "HKCU\\software"}, 0, "\nHKEY_CURRENT_USER\\software\n\n", ""},
      {{"reg", "query", key},
       4,
       "",
       "ERROR: The system was unable to find the specified registry key or value.\n"},
      {{"reg", "delete", "HKCU", "/f"}, 4, "", "ERROR: Invalid key name"},
  };
  for (const auto& row : rows) {
    std::string shown;
    for (const std::string& a : row.args) shown += Printable(a) + " ";
    const ToolRun r = row.args[0] == "sh" ? RunProgram(row.args, store, false) : run(row.args);
    EXPECT_EQ(r.status, row.status) << shown << r.err;
    EXPECT_EQ(Printable(r.out), Printable(row.out)) << shown;
    EXPECT_EQ(r.err.substr(0, row.err.size()), row.err) << shown;
  }
}

// ---- check and reg query on stores that cannot take the trace ----

const std::vector<std::string> kCheck = {
    "check", "--host", "site.example", "--referer", "http://elsewhere.example/", "/img/new.jpg"};
const std::vector<std::string> kRegQuery = {"reg", "query", "HKCU\\software\\tarnwel\\debug"};

// A store with the trace of /seen.html, made by the tool as this user.
std::string HealthyStore(const std::string& folder) {
  const std::string store = folder + "/registry.sqlite";
  RunToolOn(store, false, {"check", "--host", "site.example", "/seen.html"});
  return store;
}

struct BrokenStore {
  const char* name;
  // Makes it in `folder` and returns the store path to name ("" when it
  // cannot be made here).
  std::string (*make)(const std::string& folder);
  bool asNobody;
  bool needsRoot;
  bool heldElsewhere;    // another process holds a write transaction
  int checkStatus;       // check's exit status
  const char* warning;   // what check's warning says why ("" for no warning)
  int regStatus;         // reg query's exit status
  const char* regError;  // reg query's first line on stderr; %s is the store
};

const BrokenStore kBrokenStores[] = {
    {"healthy store", &HealthyStore, false, false, false, 0, "", 0, ""},
    {"folder",
     [](const std::string& f) {
       fs::create_directory(f + "/store");
       return f + "/store";
     },
     false, false, false, 3, "it is not a registry store", 10,
     "ERROR: %s is not a registry store."},
    {"FIFO",
     [](const std::string& f) {
       mkfifo((f + "/store").c_str(), 0600);
       return f + "/store";
     },
     false, false, false, 3, "it is not a registry store", 10,
     "ERROR: %s is not a registry store."},
    {"character device made here",
     [](const std::string& f) {
       return mknod((f + "/store").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0 ? f + "/store"
                                                                                : std::string();
     },
     false, true, false, 3, "it is not a registry store", 10, "ERROR: %s is not a registry store."},
    {"/dev/null", [](const std::string&) { return std::string("/dev/null"); }, false, false, false,
     3, "it is not a registry store", 10, "ERROR: %s is not a registry store."},
    {"text file",
     [](const std::string& f) {
       std::ofstream(f + "/store") << "not a store\n";
       return f + "/store";
     },
     false, false, false, 3, "it is not a registry store", 10,
     "ERROR: %s is not a registry store."},
    // Planted in a store: each trace value would write another, without end.
    {"store with a recursive trigger",
     [](const std::string& f) {
       const std::string store = HealthyStore(f);
       sqlite3* db = nullptr;
       const bool planted = sqlite3_open(store.c_str(), &db) == SQLITE_OK &&
                            sqlite3_exec(db,
                                         "CREATE TRIGGER t AFTER INSERT ON regvalue BEGIN"
                                         " INSERT INTO regvalue(key_id, name, type, data)"
                                         " VALUES(new.key_id, new.name || 'x', 1, x'00'); END;",
                                         nullptr, nullptr, nullptr) == SQLITE_OK;
       sqlite3_close(db);
       return planted ? store : std::string();
     },
     false, false, false, 3, "it is not a registry store", 10,
     "ERROR: %s is not a registry store."},
    {"symbolic link to nothing",
     [](const std::string& f) {
       fs::create_symlink(f + "/gone/registry.sqlite", f + "/store");
       return f + "/store";
     },
     false, false, false, 3, "it cannot be written: The system cannot find the path specified.", 1,
     "ERROR: The system cannot find the path specified."},
    {"read-only store",
     [](const std::string& f) {
       const std::string store = HealthyStore(f);
       chmod(store.c_str(), 0400);
       if (geteuid() == 0 && chown(store.c_str(), kNobody, kNobody) != 0) return std::string();
       return store;
     },
     true, false, false, 3, "it cannot be written: Access is denied.", 9,
     "ERROR: Access is denied."},
    {"another account's store", &HealthyStore, true, true, false, 3,
     "it cannot be written: Access is denied.", 9, "ERROR: Access is denied."},
    {"missing store", [](const std::string& f) { return f + "/not/yet/registry.sqlite"; }, false,
     false, false, 0, "", 4,
     "ERROR: The system was unable to find the specified registry key or value."},
    {"write transaction in another process", &HealthyStore, false, false, true, 3,
     "it cannot be written: The process cannot access the file because another process has "
     "locked a portion of the file.",
     0, ""},
};

// A row's store in a new folder, with `log` beside it as u_ex240511.log; the
// folder is given to nobody when the row runs as nobody, and the store held
// by another process when the row says so. All gone at the end.
struct StoreUnderTest {
  explicit StoreUnderTest(const BrokenStore& of, const std::string& log = "") : row(of) {
    if (row.needsRoot && geteuid() != 0) {
      skip = "it takes root to make";
      return;
    }
    char pattern[] = "/tmp/refwarden-broken-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
      skip = "no folder could be made for it";
      return;
    }
    folder = pattern;
    store = row.make(folder);
    if (store.empty()) {
      skip = "it cannot be made here";
      return;
    }
    logPath = folder + "/u_ex240511.log";
    if (!log.empty()) std::ofstream(logPath, std::ios::binary) << log;
    if (row.asNobody && geteuid() == 0) {
      EXPECT_EQ(chown(folder.c_str(), kNobody, kNobody), 0);
    }
    before = Listing(folder);
    if (row.heldElsewhere) {
      elsewhere = std::make_unique<WriteTransactionElsewhere>(store);
      if (!elsewhere->held()) skip = "the sqlite3 shell cannot hold a transaction here";
    }
  }
  ~StoreUnderTest() {
    elsewhere.reset();
    if (!folder.empty()) fs::remove_all(folder);
  }

  // Prints why and returns true when the row cannot be tried here; given the
  // first run, also when nobody may not start the tool.
  bool Skipped(const ToolRun* run = nullptr) {
    if (run != nullptr && run->status == 127 && row.asNobody)
      skip = std::string("nobody cannot run ") + REFWARDEN_TOOL_PATH;
    if (!skip.empty()) std::printf("skipped '%s': %s\n", row.name, skip.c_str());
    return !skip.empty();
  }
  // Runs the tool on the store, as the row's account.
  ToolRun Run(const std::vector<std::string>& args) const {
    return RunToolOn(store, row.asNobody, args);
  }

  const BrokenStore& row;
  std::string skip;  // why the row cannot be tried here, or ""
  std::string folder, store, logPath;
  std::set<std::string> before;  // the folder before any command ran on the store
  std::unique_ptr<WriteTransactionElsewhere> elsewhere;
};

// For each store: what check prints and exits with (the decision line stays
// on stdout, as the server would have acted; a warning names the store and
// why it cannot be written), what reg query says, and that reg query creates
// nothing and neither command creates anything beside what is not a store.
TEST(ToolOnBrokenStoresTest, CheckWarnsRegQueryNamesTheFaultNothingIsCreated) {
  for (const BrokenStore& row : kBrokenStores) {
    SCOPED_TRACE(row.name);
    struct stat devNull;
    ASSERT_EQ(stat("/dev/null", &devNull), 0);
    const bool journalBesideDevNull = fs::exists("/dev/null-journal");
    StoreUnderTest made(row);
    if (made.Skipped()) continue;
    const std::string& store = made.store;

    const ToolRun reg = made.Run(kRegQuery);
    if (made.Skipped(&reg)) continue;
    EXPECT_EQ(reg.status, row.regStatus) << reg.err;
    std::string regError = row.regError;
    if (const std::size_t at = regError.find("%s"); at != std::string::npos)
      regError.replace(at, 2, store);
    EXPECT_EQ(reg.err.substr(0, reg.err.find('\n')), regError);
    if (row.regStatus == 0) {
      EXPECT_NE(reg.out.find("/seen.html    REG_SZ    ok"), std::string::npos);
    }
    if (!row.heldElsewhere) {
      EXPECT_EQ(Listing(made.folder), made.before) << "reg query changed the folder";
    }

    const ToolRun check = made.Run(kCheck);
    EXPECT_EQ(check.status, row.checkStatus) << check.err;
    EXPECT_EQ(check.out, row.checkStatus == 0 ? "rewrite /refwarden.jpg\n" : "pass\n");
    if (row.checkStatus == 0) {
      EXPECT_EQ(check.err, "");
    } else {
      EXPECT_NE(check.err.find("warning: the trace of '/img/new.jpg' was not written"),
                std::string::npos)
          << check.err;
      EXPECT_NE(check.err.find("trace store: " + store + "\n"), std::string::npos) << check.err;
      EXPECT_NE(check.err.find(row.warning), std::string::npos) << check.err;
    }
    if (row.checkStatus != 0 && !row.heldElsewhere) {
      EXPECT_EQ(Listing(made.folder), made.before) << "check made or changed something";
    }
    // The request and the retry each wait about a second for the lock.
    if (row.heldElsewhere) {
      EXPECT_LT(check.seconds, 10.0);
    }

    struct stat now;
    ASSERT_EQ(stat("/dev/null", &now), 0);
    EXPECT_EQ(now.st_mode, devNull.st_mode) << "/dev/null's mode changed";
    if (now.st_mode != devNull.st_mode) chmod("/dev/null", devNull.st_mode & 07777);
    if (!journalBesideDevNull && fs::exists("/dev/null-journal")) {
      ADD_FAILURE() << "/dev/null-journal was made";
      unlink("/dev/null-journal");
    }
  }
}

// ---- replay on stores that cannot take the trace ----

// One request of each kind the count must get right: rewritten, certain from
// the rule, and read back; and a URL too long for the filter's buffer, which
// it reads as empty: a foreign image by the log, but no failed trace.
std::string TraceLog() {
  return W3cLog(Rows()) + "#Fields: cs-uri-stem cs-host cs(Referer)\n/" + std::string(5000, 'p') +
         ".jpg site.example http://elsewhere.example/\n";
}
const std::uint64_t kTraceLogRequests = Rows().size() + 1;

// Two requests for a path the store holds, and two new ones: one the rule
// shows failed (a foreign image that passed), one only a read-back shows.
constexpr const char* kNewPathsLog =
    "#Fields: cs-uri-stem cs-host cs(Referer)\n"
    "/seen.html site.example -\n"
    "/img/new.jpg site.example http://elsewhere.example/\n"
    "/seen.html site.example http://site.example/\n"
    "/fresh.html site.example -\n";

struct ReplayOnStore {
  const char* store;  // a row of kBrokenStores
  const char* log;    // "" for TraceLog()
  std::uint64_t notWritten;
  const char* reason;  // trace_error: why the store cannot be written
};

const ReplayOnStore kReplayOnStores[] = {
    {"healthy store", "", 0, ""},
    {"folder", "", kTraceLogRequests, "The configuration registry database is corrupt."},
    {"text file", "", kTraceLogRequests, "The configuration registry database is corrupt."},
    {"read-only store", "", kTraceLogRequests, "Access is denied."},
    {"write transaction in another process", kNewPathsLog, 2,
     "The process cannot access the file because another process has locked a portion of the "
     "file."},
};

// Replaying into each store (--trace): how many requests' traces were not
// written, exactly, with the store and why in --json and on stderr (the text
// report's lines are ReplaySummaryTest's), and exit status 3; none for a
// healthy store.
TEST(ToolOnBrokenStoresTest, ReplayCountsTheTracesNotWritten) {
  for (const ReplayOnStore& row : kReplayOnStores) {
    SCOPED_TRACE(row.store);
    const BrokenStore* broken = nullptr;
    for (const BrokenStore& b : kBrokenStores) {
      if (std::string_view(b.name) == row.store) broken = &b;
    }
    ASSERT_NE(broken, nullptr);
    StoreUnderTest made(*broken, *row.log != '\0' ? row.log : TraceLog());
    if (made.Skipped()) continue;
    const std::string& store = made.store;

    const ToolRun json = made.Run({"replay", "--trace", "--json", made.logPath});
    if (made.Skipped(&json)) continue;
    EXPECT_EQ(json.status, row.notWritten > 0 ? 3 : 0) << json.err;
    const nlohmann::json summary = nlohmann::json::parse(json.out, nullptr, false);
    ASSERT_FALSE(summary.is_discarded()) << json.out;
    EXPECT_EQ(summary["traces_not_written"], row.notWritten);
    if (row.notWritten == 0) {
      EXPECT_TRUE(summary["trace_store"].is_null());
      EXPECT_TRUE(summary["trace_error"].is_null());
      EXPECT_EQ(json.err, "");
    } else {
      EXPECT_EQ(summary["trace_store"], store);
      EXPECT_EQ(summary["trace_error"], row.reason);
      EXPECT_EQ(json.err.substr(0, json.err.find('\n')),
                "refwarden replay: warning: the traces of " + std::to_string(row.notWritten) +
                    " requests were not written, so the filter let them pass unchanged.");
      EXPECT_NE(json.err.find("  trace store: " + store +
                              "\n  it cannot be written: " + row.reason + "\n"),
                std::string::npos)
          << json.err;
    }
  }
}

// A dry run on a full temporary disk (a tmpfs of the tool's own, in a private
// mount namespace made by util-linux's unshare, filled up) traces every
// request: its private store is in memory, and nothing of it reaches the disk.
TEST(ToolOnBrokenStoresTest, ReplayOnAFullTemporaryDisk) {
  char pattern[] = "/tmp/refwarden-replay-full-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string folder = pattern;
  const std::string log = folder + "/u_ex240512.log";
  std::ofstream(log, std::ios::binary) << TraceLog();
  const std::string disk = folder + "/tmp";
  fs::create_directory(disk);
  const std::string script =
      "mount --make-rprivate / && mount -t tmpfs -o size=64k none " + disk +
      " || exit 77; dd if=/dev/zero of=" + disk + "/fill bs=4k 2>/dev/null; TMPDIR=" + disk + " " +
      kToolCommand + " replay --json " + log + "; status=$?; ls -A " + disk + " >&2; exit $status";
  const ToolRun run =
      RunProgram({"unshare", "-m", "sh", "-c", script}, folder + "/registry.sqlite", false);
  fs::remove_all(folder);
  if (run.status == -1 || run.status == 77 || run.status == 127 || run.out.empty()) {
    GTEST_SKIP() << "no tmpfs can be mounted here (needs unshare and CAP_SYS_ADMIN): " << run.err;
  }
  EXPECT_EQ(run.status, 0) << run.err;
  const nlohmann::json summary = nlohmann::json::parse(run.out, nullptr, false);
  ASSERT_FALSE(summary.is_discarded()) << run.out;
  EXPECT_EQ(summary["traces_not_written"], 0);
  EXPECT_EQ(run.err, "fill\n");
}

}  // namespace
}  // namespace refwarden
