// refwarden check: one request through the filter, as the server would send it.
#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>

#include "tools/Commands.h"
#include "tools/FilterHost.h"

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
  check->add_option("--host", arguments->host, "The request's Host header")->required();
  check->add_option("--referer", arguments->referer,
                    "The request's Referer header (none if omitted)");
  check->add_option("url", arguments->url, "The request URL, e.g. /images/a.jpg?x=1")->required();
  check->callback([arguments, &options] {
    const FilterLibrary filter(options.filterPath);
    const FilterOutcome outcome = RunPreprocHeaders(
        filter, FilterRequest{arguments->host, arguments->referer, arguments->url});
    if (outcome.rewritten) {
      std::cout << "rewrite " << outcome.url << '\n';
    } else {
      std::cout << "pass\n";
    }
    options.exitCode = 0;
  });
}

}  // namespace refwarden
