// refwarden replay: access logs through the filter, summed up.
#include <CLI/CLI.hpp>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>

#ifdef _WIN32
#include <windows.h>
#endif

#include "tools/Commands.h"
#include "tools/FilterHost.h"
#include "tools/replay/FileArguments.h"
#include "tools/replay/PrivateStore.h"
#include "tools/replay/Replay.h"
#include "tools/replay/ReplayHtml.h"

namespace refwarden {

namespace {

struct ReplayArguments {
  std::vector<std::string> files;
  std::string host;
  std::string format;
  std::string html;  // where to write the HTML report, or ""
  std::size_t top = 10;
  bool json = false;
  bool trace = false;
  bool assumeNoReferer = false;
};

constexpr int kExitReadError = 1;
constexpr int kExitRefused = 2;
constexpr int kExitInterrupted = 130;

std::atomic<bool> interrupted{false};

// Ctrl-C (or a termination request) ends the replay after the line at hand,
// so that the summary so far is printed and the private store removed; a
// second one ends the process at once.
#ifdef _WIN32
BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  return interrupted.exchange(true) ? FALSE : TRUE;
}
struct InterruptHandler {
  InterruptHandler() { SetConsoleCtrlHandler(&OnConsoleControl, TRUE); }
  ~InterruptHandler() { SetConsoleCtrlHandler(&OnConsoleControl, FALSE); }
};
#else
extern "C" void OnInterrupt(int) { interrupted.store(true); }
struct InterruptHandler {
  InterruptHandler() {
    struct sigaction action {};
    action.sa_handler = &OnInterrupt;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previousInt_);
    sigaction(SIGTERM, &action, &previousTerm_);
  }
  ~InterruptHandler() {
    sigaction(SIGINT, &previousInt_, nullptr);
    sigaction(SIGTERM, &previousTerm_, nullptr);
  }
  struct sigaction previousInt_ {};
  struct sigaction previousTerm_ {};
};
#endif

constexpr const char* kAccountStore =
#ifdef _WIN32
    "HKEY_CURRENT_USER\\software\\tarnwel\\debug of this account";
#else
    "the account's store (REFWARDEN_REGISTRY, else the default)";
#endif

std::string Joined(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (const std::string& part : parts) out += (out.empty() ? "" : separator) + part;
  return out;
}

// One line per format of the table: its --format name and what writes it.
std::string FormatsInWords() {
  std::string out;
  for (const LogFormatRow& row : LogFormats())
    out += "\n  " + std::string(row.name) + ": " + row.description;
  return out;
}

// What check says of one request, said of the replay's.
std::string TraceWarning(const ReplaySummary& summary) {
  const std::uint64_t n = summary.tracesNotWritten();
  return "refwarden replay: warning: " +
         (n == 1 ? std::string("the trace of 1 request was not written, so the filter let it")
                 : "the traces of " + std::to_string(n) +
                       " requests were not written, so the filter let them") +
         " pass unchanged.\n" + DescribeTraceFault(summary.traceFault(), "  ");
}

// Writes `text` to `path`; returns "" or why it could not.
std::string WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (out) out.close();
  if (out) return "";
  return std::strerror(errno);
}

}  // namespace

void AddReplayCommand(CLI::App& app, ToolOptions& options) {
  auto arguments = std::make_shared<ReplayArguments>();
  CLI::App* replay = app.add_subcommand(
      "replay",
      "Run every request of web-server access logs through the filter and sum up\n"
      "what it did: image requests, rewrites, the sites that hot-link most");
  replay
      ->add_option("log", arguments->files,
                   "Access logs, plain or gzip-compressed; '-' reads standard input"
#ifdef _WIN32
                   ";\n'*' and '?' in a file name are expanded"
#endif
                   ". Formats:" +
                       FormatsInWords())
      ->required();
  replay->add_option("--host", arguments->host,
                     "The site's Host, for logs that do not record it (combined format)");
  replay
      ->add_option(
          "--format", arguments->format,
          "The log format (" + Joined(LogFormatNames(), ", ") + "); judged per file when omitted")
      ->check(CLI::IsMember(LogFormatNames()));
  replay->add_option("--top", arguments->top, "How many referring sites and paths to list")
      ->capture_default_str();
  replay->add_flag("--json", arguments->json, "Print the summary as one JSON object");
  replay
      ->add_option("--html", arguments->html,
                   "Also write the report as one self-contained HTML page to this file\n"
                   "(a chart by day, who would get the placeholder, what to do next)")
      ->option_text("FILE");
  replay->add_flag("--trace", arguments->trace,
                   "Trace the replayed paths where the filter traces them on a server\n"
                   "(by default they go to a private store in memory, gone after the run)");
  replay->add_flag("--assume-no-referer", arguments->assumeNoReferer,
                   "Replay W3C logs that record no referer, as requests without one: each\n"
                   "of their image requests then counts as hot-linked (an upper bound)");
  replay->footer(
      "Exit status: 0 replayed; 1 a log could not be opened or read to its end (the\n"
      "summary of what was read is still printed), or the --html file could not be\n"
      "written; 2 a log records no referer; 3 the trace of some requests could not\n"
      "be written, so the filter let them pass unchanged (the summary counts them\n"
      "and names the trace store and why);\n"
      "106 --host is needed; 130 interrupted (the summary so far is printed).\n"
      "Of several, the first in this order: 130, 1, 3.");

  replay->callback([arguments, replay, &options] {
    ReplayOptions replayOptions;
    replayOptions.files = arguments->files;
#ifdef _WIN32
    try {
      replayOptions.files = ExpandFileArguments(arguments->files);
    } catch (const std::runtime_error& e) {
      std::cerr << "refwarden replay: " << e.what() << '\n';
      options.exitCode = kExitReadError;
      return;
    }
#endif
    if (replay->count("--host") > 0) replayOptions.host = arguments->host;
    if (!arguments->format.empty()) replayOptions.format = FindLogFormat(arguments->format);
    replayOptions.withoutReferer = arguments->assumeNoReferer;
    replayOptions.stop = &interrupted;

    // The store outlives the filter library, which is unloaded first.
    std::optional<PrivateStore> store;
    if (!arguments->trace) store.emplace();
    const FilterLibrary filter(options.filterPath);
    const InterruptHandler onInterrupt;
    try {
      ReplaySummary summary = ReplayLogs(filter, replayOptions);
      summary.SetTrace(store ? PrivateStore::Description() : kAccountStore);
      std::cout << (arguments->json ? summary.Json(arguments->top) : summary.Text(arguments->top));
      std::cout.flush();
      for (const std::string& error : summary.errors())
        std::cerr << "refwarden replay: cannot read " << error << '\n';
      std::string htmlError;
      if (!arguments->html.empty()) {
        htmlError = WriteFile(arguments->html, ReplayHtml(summary, arguments->top));
        if (!htmlError.empty())
          std::cerr << "refwarden replay: cannot write " << arguments->html << ": " << htmlError
                    << '\n';
      }
      if (summary.tracesNotWritten() > 0) std::cerr << TraceWarning(summary);
      options.exitCode = summary.interrupted()            ? kExitInterrupted
                         : !summary.errors().empty()      ? kExitReadError
                         : !htmlError.empty()             ? kExitReadError
                         : summary.tracesNotWritten() > 0 ? kExitTraceNotWritten
                                                          : 0;
    } catch (const MissingHostError& e) {
      throw CLI::RequiredError(e.what(), static_cast<int>(CLI::ExitCodes::RequiredError));
    } catch (const MissingRefererError& e) {
      std::cerr << "refwarden replay: " << e.what() << '\n';
      options.exitCode = kExitRefused;
    } catch (const LogFileError& e) {
      std::cerr << "refwarden replay: " << e.what() << '\n';
      options.exitCode = kExitReadError;
    }
  });
}

}  // namespace refwarden
