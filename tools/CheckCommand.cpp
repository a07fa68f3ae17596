// refwarden check: one request through the filter, as the server would send it.
#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>

#include "tools/Commands.h"
#include "tools/FilterHost.h"
#include "tools/HostOption.h"
#include "tools/TraceCheck.h"

namespace refwarden {

namespace {

struct CheckArguments {
  std::string host;
  std::string referer;
  std::string url;
};

}  // namespace

void AddCheckCommand(CLI::App& app, ToolOptions& options) {
  auto arguments = std::make_shared<CheckArguments>();
  CLI::App* check =
      app.add_subcommand("check",
                         "Run one request through the filter (its path is traced) and print\n"
                         "'pass' or 'rewrite <replacement URL>'");
  check->add_option("--host", arguments->host, "The request's Host header, e.g. www.example.com")
      ->required()
      ->check(CheckHostOption);
  check->add_option("--referer", arguments->referer,
                    "The request's Referer header (none if omitted)");
  check->add_option("url", arguments->url, "The request URL, e.g. /images/a.jpg?x=1")->required();
  check->footer(
      "When the trace cannot be written the filter lets every request pass unchanged;\n"
      "a warning on stderr names the trace store and why, and the line printed is\n"
      "still what the web server would have done.\n"
      "Exit status:\n" +
      ExitStatusLines({kExitOk, kExitFailed, kExitUsage, kExitTraceNotWritten}));
  check->callback([arguments, &options] {
    {
      const FilterLibrary filter(options.filterPath);
      const FilterOutcome outcome = RunPreprocHeaders(
          filter, FilterRequest{arguments->host, arguments->referer, arguments->url});
      if (outcome.rewritten) {
        std::cout << "rewrite " << outcome.url << '\n';
      } else {
        std::cout << "pass\n";
      }
    }
    std::cout.flush();
    const TraceReport trace = CheckTrace(arguments->url);
    if (trace.written) {
      options.exitCode = 0;
      return;
    }
    std::cerr << "refwarden check: " << DescribeMissingTrace(trace);
    options.exitCode = kExitTraceNotWritten;
  });
}

}  // namespace refwarden
