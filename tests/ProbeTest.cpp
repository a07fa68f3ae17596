// refwarden probe as an administrator runs it, against real servers on
// loopback: serve (the filter in front), a plain static server of the same
// folder, serve with a placeholder removed, and a TLS server with a
// certificate made here. Also the caching rule and the findings printers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tools/findings/Findings.h"
#include "tools/probe/Probe.h"

extern char** environ;

namespace refwarden {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A free TCP port of 127.0.0.1 at the time of asking.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// A server process started in `dir`, ready once its output holds a line with `ready`;
// the number after `portMark` in that output is its port when one is given.
class Server {
 public:
  Server(const std::vector<std::string>& argv, const fs::path& dir, const std::string& ready,
         const std::string& portMark = "") {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    // Ready once the line that holds `ready` is complete.
    const auto complete = [this, &ready] {
      const std::size_t at = printed_.find(ready);
      return at != std::string::npos && printed_.find('\n', at) != std::string::npos;
    };
    while (pid_ > 0 && Clock::now() < deadline && !complete()) {
      pollfd readable{out[0], POLLIN, 0};
      if (poll(&readable, 1, 100) <= 0) continue;
      char buffer[4096];
      const ssize_t n = read(out[0], buffer, sizeof buffer);
      if (n <= 0) break;
      printed_.append(buffer, static_cast<std::size_t>(n));
    }
    output_ = out[0];
    if (!complete()) return;
    ready_ = true;
    if (!portMark.empty()) {
      const std::size_t mark = printed_.find(portMark);
      if (mark != std::string::npos) port_ = std::atoi(printed_.c_str() + mark + portMark.size());
    }
  }
  ~Server() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (output_ >= 0) close(output_);
  }
  bool ready() const { return ready_; }
  int port() const { return port_; }
  void set_port(int port) { port_ = port; }
  const std::string& printed() const { return printed_; }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  int port_ = 0;
  bool ready_ = false;
  std::string printed_;
};

struct ToolRun {
  int status = -1;
  std::string output;  // stdout and stderr
};

ToolRun RunTool(const std::string& arguments) {
  ToolRun run;
  FILE* pipe = popen((std::string(REFWARDEN_TOOL_PATH) + " " + arguments + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    run.output.append(buffer, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// check → severity of a probe's JSON output; a check that occurs more than
// once keeps its worst.
std::map<std::string, std::string> Checks(const std::string& json, std::string* messages) {
  std::map<std::string, std::string> checks;
  const auto parsed = nlohmann::json::parse(json, nullptr, false);
  if (parsed.is_discarded() || !parsed.contains("findings")) return checks;
  for (const auto& finding : parsed["findings"]) {
    const std::string check = finding["check"], severity = finding["severity"];
    std::string& kept = checks[check];
    if (kept.empty() || severity == "error" || (severity == "warning" && kept == "ok"))
      kept = severity;
    *messages += check + ": " + std::string(finding["message"]) + "\n";
  }
  return checks;
}

class ProbeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = fs::temp_directory_path() / ("refwarden-probe-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    setenv("REFWARDEN_REGISTRY", (dir_ / "registry.sqlite").c_str(), 1);
    // Loopback only, even where the environment names a proxy.
    setenv("NO_PROXY", "127.0.0.1,localhost", 1);
    // The demo site without its JPEG placeholder.
    fs::copy(REFWARDEN_EXAMPLES_DIR "/site", dir_ / "site", fs::copy_options::recursive);
    fs::remove(dir_ / "site" / "refwarden.jpg");
    // A self-signed certificate for 127.0.0.1, and the image as a whole
    // answer for s_server -HTTP (which sends a file as it stands).
    const std::string make = "cd '" + dir_.string() +
                             "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem "
                             "-out cert.pem -days 2 -subj /CN=127.0.0.1 "
                             "-addext subjectAltName=IP:127.0.0.1 >openssl.log 2>&1";
    tlsReady_ = std::system(make.c_str()) == 0;
    fs::create_directories(dir_ / "tls" / "images");
    const fs::path imagePath = REFWARDEN_EXAMPLES_DIR "/site/images/harbour.jpg";
    std::string bytes(fs::file_size(imagePath), '\0');
    std::ifstream(imagePath, std::ios::binary)
        .read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    std::ofstream(dir_ / "tls" / "images" / "harbour.jpg", std::ios::binary)
        << "HTTP/1.0 200 ok\r\nContent-Type: image/jpeg\r\nContent-Length: " << bytes.size()
        << "\r\n\r\n"
        << bytes;
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }

  static inline fs::path dir_;
  static inline bool tlsReady_ = false;
};

// serve prints "  own site:     http://127.0.0.1:PORT/".
const char kServePort[] = "own site:     http://127.0.0.1:";

TEST_F(ProbeTest, TellsProtectedNotProtectedAndPlaceholderMissingApart) {
  Server demo({REFWARDEN_TOOL_PATH, "serve", "--demo", "--listen", "127.0.0.1:0"}, dir_,
              "foreign site:", kServePort);
  Server missing(
      {REFWARDEN_TOOL_PATH, "serve", "--root", (dir_ / "site").string(), "--listen", "127.0.0.1:0"},
      dir_, "own site:", kServePort);
  // -u: Python's output to a pipe is otherwise held back.
  Server plain({"python3", "-u", "-m", "http.server", "--bind", "127.0.0.1", "--directory",
                REFWARDEN_EXAMPLES_DIR "/site", "0"},
               dir_, "Serving HTTP", " port ");
  // Takes connections and never answers.
  Server silent({"python3", "-u", "-c",
                 "import socket, time\n"
                 "s = socket.socket(); s.bind(('127.0.0.1', 0)); s.listen()\n"
                 "print('silent port', s.getsockname()[1]); time.sleep(600)"},
                dir_, "silent port", "silent port ");
  ASSERT_TRUE(silent.ready() && silent.port() > 0) << silent.printed();
  ASSERT_TRUE(demo.ready() && demo.port() > 0) << demo.printed();
  ASSERT_TRUE(missing.ready() && missing.port() > 0) << missing.printed();
  ASSERT_TRUE(plain.ready() && plain.port() > 0) << plain.printed();
  const int tlsPort = FreePort();
  Server tls({"openssl", "s_server", "-HTTP", "-accept", std::to_string(tlsPort), "-cert",
              (dir_ / "cert.pem").string(), "-key", (dir_ / "key.pem").string()},
             dir_ / "tls", "ACCEPT");
  tls.set_port(tlsPort);
  ASSERT_TRUE(tlsReady_ && tls.ready()) << tls.printed();

  const auto url = [](const Server& server, const char* scheme, const char* path) {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(server.port()) + path;
  };
  struct Row {
    std::string name, arguments;
    int status;
    std::map<std::string, std::string> checks;  // those that must be there, with their severity
    std::string said;                           // a text the findings must hold
  };
  std::vector<Row> rows = {
      {"serve --demo",
       url(demo, "http", "/images/harbour.jpg"),
       0,
       {{"foreign-referer", "ok"}, {"no-referer", "ok"}, {"cache-headers", "ok"}},
       "protected"},
      {"plain static server",
       url(plain, "http", "/images/harbour.jpg"),
       6,
       {{"foreign-referer", "error"}, {"no-referer", "ok"}, {"cache-headers", "warning"}},
       "NOT protected"},
      {"placeholder removed",
       url(missing, "http", "/images/harbour.jpg"),
       5,
       {{"placeholder-missing", "warning"}},
       "refwarden.jpg"},
      {"other placeholders still there",
       url(missing, "http", "/images/meadow.png"),
       0,
       {{"foreign-referer", "ok"}},
       ""},
      {"no such image",
       url(demo, "http", "/images/none.jpg"),
       7,
       {{"unreachable", "error"}},
       "status 404"},
      {"a server that never answers",
       "--timeout 1 " + url(silent, "http", "/a.jpg"),
       7,
       {{"unreachable", "error"}},
       "timed out"},
      {"nothing listening",
       "http://127.0.0.1:" + std::to_string(FreePort()) + "/a.jpg",
       7,
       {{"unreachable", "error"}},
       "reached"},
      {"https, a certificate nobody vouches for",
       url(tls, "https", "/images/harbour.jpg"),
       7,
       {{"unreachable", "error"}},
       "certificate"},
      {"https --insecure",
       "--insecure " + url(tls, "https", "/images/harbour.jpg"),
       6,
       {{"tls-unverified", "warning"}, {"foreign-referer", "error"}},
       "NOT protected"},
      {"not http", "ftp://127.0.0.1/a.jpg", 2, {}, "only http:// and https://"},
      {"not an image", url(demo, "http", "/index.html"), 2, {}, "is not an image path"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name + ": probe " + row.arguments);
    const ToolRun run = RunTool("probe --json " + row.arguments);
    std::string messages;
    const auto checks = Checks(run.output, &messages);
    EXPECT_EQ(run.status, row.status) << run.output;
    for (const auto& [check, severity] : row.checks) {
      EXPECT_EQ(checks.count(check) ? checks.at(check) : "absent", severity) << check << "\n"
                                                                             << messages;
    }
    EXPECT_NE(run.output.find(row.said), std::string::npos) << run.output;
  }
}

}  // namespace
}  // namespace refwarden

namespace refwarden {
namespace {

// Whether a cache may give one referer's answer to another: the headers of
// an answer, and whether CacheRisk names a risk.
TEST(CacheRiskTest, NamesWhatLetsACacheKeepAnAnswer) {
  struct Row {
    std::vector<std::pair<std::string, std::string>> headers;
    bool risky;
  } rows[] = {
      {{}, false},
      {{{"cache-control", "no-store"}}, false},
      {{{"cache-control", "max-age=3600, No-Cache"}}, false},
      {{{"cache-control", "private, max-age=0"}}, false},
      {{{"cache-control", "max-age=3600"}}, true},
      {{{"cache-control", "private, max-age=60"}}, true},  // a browser's cache is private
      {{{"cache-control", "public"}}, true},
      {{{"cache-control", "s-maxage=\"30\""}}, true},
      {{{"cache-control", "max-age=3600"}, {"vary", "Accept-Encoding, Referer"}}, false},
      {{{"cache-control", "max-age=3600"}, {"vary", "*"}}, false},
      {{{"cache-control", "max-age=3600"}, {"vary", "Referrer-Policy"}}, true},
      {{{"expires", "Thu, 01 Jan 2099 00:00:00 GMT"}}, true},
      {{{"expires", "Thu, 01 Jan 2099 00:00:00 GMT"}, {"cache-control", "max-age=0"}}, false},
      {{{"last-modified", "Wed, 09 Dec 2026 10:00:00 GMT"}}, true},  // heuristic freshness
      {{{"last-modified", "Wed, 09 Dec 2026 10:00:00 GMT"}, {"cache-control", "max-age=0"}}, false},
      // Two Cache-Control lines are one list.
      {{{"cache-control", "max-age=600"}, {"cache-control", "no-store"}}, false},
  };
  for (const Row& row : rows) {
    HttpResponse response;
    response.status = 200;
    response.headers = row.headers;
    std::string shown;
    for (const auto& [name, value] : row.headers) shown += name + ": " + value + "; ";
    const std::string risk = CacheRisk(response);
    EXPECT_EQ(!risk.empty(), row.risky) << shown << " -> '" << risk << "'";
  }
}

TEST(FindingsTest, PrintersEscapeWhatCameFromOutside) {
  const std::vector<Finding> findings = {
      {"cache-headers", Severity::kWarning, "http://h/a.jpg", "Expires: \x1b[31mred\xff", ""},
      {"foreign-referer", Severity::kError, "C:\\inetpub\\a.jpg", "same bytes", "install it"},
      {"no-referer", Severity::kOk, "http://h/a.jpg", "image", ""},
  };
  std::ostringstream text;
  PrintFindingsText(text, findings);
  EXPECT_EQ(text.str(),
            "http://h/a.jpg\n"
            "  warning  cache-headers: Expires: \\x1b[31mred\\xff\n"
            "  ok       no-referer: image\n"
            "\n"
            "C:\\inetpub\\a.jpg\n"
            "  error    foreign-referer: same bytes\n"
            "           fix: install it\n");
  std::ostringstream json;
  PrintFindingsJson(json, findings);  // the byte 0xFF is no UTF-8: no exception
  const auto parsed = nlohmann::json::parse(json.str());
  ASSERT_EQ(parsed["findings"].size(), 3u);
  EXPECT_EQ(parsed["findings"][1]["severity"], "error");
  EXPECT_EQ(ExitStatusFor(findings), kExitErrors);
  EXPECT_EQ(ProbeExitStatus({{kCheckUnreachable, Severity::kError, "u", "m", ""}}),
            kExitUnreachable);
}

}  // namespace
}  // namespace refwarden
