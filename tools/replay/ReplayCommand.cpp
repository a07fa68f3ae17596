// refwarden replay: access logs through the filter, summed up.
#include <CLI/CLI.hpp>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>

#ifdef _WIN32
#include <windows.h>
#endif

#include "tools/Commands.h"
#include "tools/ExitStatus.h"
#include "tools/FilterHost.h"
#include "tools/HostOption.h"
#include "tools/replay/FileArguments.h"
#include "tools/replay/PrivateStore.h"
#include "tools/replay/Replay.h"
#include "tools/replay/ReplayHtml.h"
#include "tools/replay/TerminalText.h"

namespace refwarden {

namespace {

struct ReplayArguments {
  std::vector<std::string> files;
  std::string host;
  std::string format;
  std::string html;  // where to write the HTML report, or ""
  int top = 10;
  bool json = false;
  bool trace = false;
  bool assumeNoReferer = false;
};

std::atomic<bool> interrupted{false};
std::atomic<int> stopSignal{0};

// Ctrl-C, a termination request, a hang-up or a closed output pipe (again
// or for the first time) ends the replay after the line at hand: reads give
// what has arrived, nothing more goes to the filter, and the summary so far
// is printed.
#ifdef _WIN32
BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  int none = 0;
  stopSignal.compare_exchange_strong(none, SIGINT);
  return interrupted.exchange(true) ? FALSE : TRUE;
}
struct InterruptHandler {
  InterruptHandler() { SetConsoleCtrlHandler(&OnConsoleControl, TRUE); }
  // Kept once a stop was asked for: see the POSIX side.
  ~InterruptHandler() {
    if (!interrupted.load()) SetConsoleCtrlHandler(&OnConsoleControl, FALSE);
  }
};
#else
extern "C" void OnInterrupt(int signal) {
  int none = 0;
  stopSignal.compare_exchange_strong(none, signal);
  interrupted.store(true);
}
struct InterruptHandler {
  static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
  InterruptHandler() {
    struct sigaction action {};
    action.sa_handler = &OnInterrupt;
    action.sa_flags = 0;  // no SA_RESTART: a blocked read or open returns
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
      sigaction(kSignals[i], &action, &previous_[i]);
  }
  // Once a stop was asked for, the handlers stay until the process exits:
  // the run ends with 128 + the first signal, and a second Ctrl-C while the
  // filter is unloaded and the store closed (slow under a sanitizer) must not
  // kill the process by the default action instead.
  ~InterruptHandler() {
    if (interrupted.load()) return;
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
      sigaction(kSignals[i], &previous_[i], nullptr);
  }
  struct sigaction previous_[std::size(kSignals)]{};
};
#endif

// The exit status of an interrupted run.
int InterruptedStatus() {
  const int signal = stopSignal.load();
  return kExitSignalBase + (signal != 0 ? signal : SIGINT);
}

// An argument as a shell command would carry it.
std::string Quoted(const std::string& argument) {
  if (argument.find_first_of(" \t'\"$*?") == std::string::npos && !argument.empty())
    return argument;
#ifdef _WIN32
  return "\"" + argument + "\"";
#else
  std::string out = "'";
  for (char c : argument) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
#endif
}

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
  replay
      ->add_option("--top", arguments->top,
                   "How many referring sites and paths to list (1 or more; 0 leaves the lists "
                   "out)")
      ->check(CLI::Validator(
          [](std::string& value) -> std::string {
            if (!value.empty() && value[0] == '-')
              return "takes 0 or more (0 leaves the lists out), not " + value;
            return "";
          },
          "N >= 0"))
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
      "One bad file does not hide the others: a file that cannot be opened or read,\n"
      "that records no referer or that is not a log replay reads is named with the\n"
      "reason, the other files are replayed and the summary is printed.\n"
      "A log that records no referer is refused unless --assume-no-referer is given;\n"
      "a #Fields directive over 64 KiB, or a later one that drops the host, is refused.\n"
      "SIGINT, SIGTERM, SIGHUP and SIGPIPE stop the replay. When traces are not written\n"
      "the summary counts those requests and names the store.\n"
      "Exit status, the first that applies in this order:\n" +
      ExitStatusLines(
          {kExitSignalBase, kExitFailed, kExitLogRefused, kExitTraceNotWritten, kExitOk}) +
      "Before anything is replayed (--host given as a URL, a negative --top, a log that\n"
      "needs --host: the message shows the command that works):\n" +
      ExitStatusLines({kExitUsage}));
  replay->callback([arguments, replay, &options] {
    ReplayOptions replayOptions;
    replayOptions.files = arguments->files;
#ifdef _WIN32
    try {
      replayOptions.files = ExpandFileArguments(arguments->files);
    } catch (const std::runtime_error& e) {
      std::cerr << "refwarden replay: " << e.what() << '\n';
      options.exitCode = kExitFailed;
      return;
    }
#endif
    if (replay->count("--host") > 0) {
      const std::string problem = CheckHostOption(arguments->host);
      if (!problem.empty())
        throw CLI::ValidationError(problem, static_cast<int>(CLI::ExitCodes::ValidationError));
      replayOptions.host = arguments->host;
    }
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
      const std::size_t top = static_cast<std::size_t>(arguments->top);
      std::cout << (arguments->json ? summary.Json(top) : summary.Text(top));
      std::cout.flush();
      for (const std::string& error : summary.errors())
        std::cerr << "refwarden replay: cannot read " << NameText(error) << '\n';
      std::string htmlError;
      if (!arguments->html.empty()) {
        htmlError = WriteFile(arguments->html, ReplayHtml(summary, top));
        if (!htmlError.empty())
          std::cerr << "refwarden replay: cannot write " << NameText(arguments->html) << ": "
                    << htmlError << '\n';
      }
      for (const std::string& message : summary.refused())
        std::cerr << "refwarden replay: " << NameText(message) << '\n';
      if (summary.tracesNotWritten() > 0) std::cerr << TraceWarning(summary);
      // A signal while the summary was written (SIGPIPE from `| head -1`)
      // counts too: the output was cut short.
      const bool stopped = summary.interrupted() || interrupted.load();
      options.exitCode = stopped                          ? InterruptedStatus()
                         : !summary.errors().empty()      ? kExitFailed
                         : !htmlError.empty()             ? kExitFailed
                         : !summary.refused().empty()     ? kExitLogRefused
                         : summary.tracesNotWritten() > 0 ? kExitTraceNotWritten
                                                          : kExitOk;
    } catch (const MissingHostError& e) {
      std::string command = "refwarden replay --host www.example.com";
      for (const std::string& file : arguments->files) command += " " + Quoted(file);
      throw CLI::RequiredError(
          std::string(e.what()) +
              ".\nGive the site's Host header, as in (with your site's name):\n  " + command,
          static_cast<int>(CLI::ExitCodes::RequiredError));
    }
  });
}

}  // namespace refwarden
