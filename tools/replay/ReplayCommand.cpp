// refwarden replay: access logs through the filter, summed up.
#include <CLI/CLI.hpp>

#include <iostream>
#include <map>
#include <memory>

#include "tools/Commands.h"
#include "tools/FilterHost.h"
#include "tools/replay/Replay.h"

namespace refwarden {

namespace {

struct ReplayArguments {
  std::vector<std::string> files;
  std::string host;
  std::string format;
  std::size_t top = 10;
  bool json = false;
};

}  // namespace

void AddReplayCommand(CLI::App& app, ToolOptions& options) {
  auto arguments = std::make_shared<ReplayArguments>();
  CLI::App* replay = app.add_subcommand(
      "replay",
      "Run every request of web-server access logs through the filter and sum up\n"
      "what it did: image requests, rewrites, the sites that hot-link most");
  replay
      ->add_option("log", arguments->files,
                   "Access logs: W3C extended (IIS) or combined (Apache, nginx), plain or\n"
                   "gzip-compressed; '-' reads standard input")
      ->required();
  replay->add_option("--host", arguments->host,
                     "The site's Host, for logs that do not record it (combined format)");
  replay->add_option("--format", arguments->format, "The log format; judged per file when omitted")
      ->check(CLI::IsMember({"w3c", "combined"}));
  replay->add_option("--top", arguments->top, "How many referring sites and paths to list")
      ->capture_default_str();
  replay->add_flag("--json", arguments->json, "Print the summary as one JSON object");

  replay->callback([arguments, replay, &options] {
    ReplayOptions replayOptions;
    replayOptions.files = arguments->files;
    if (replay->count("--host") > 0) replayOptions.host = arguments->host;
    if (arguments->format == "w3c") replayOptions.format = LogFormat::kW3c;
    if (arguments->format == "combined") replayOptions.format = LogFormat::kCombined;

    const FilterLibrary filter(options.filterPath);
    try {
      const ReplaySummary summary = ReplayLogs(filter, replayOptions);
      std::cout << (arguments->json ? summary.Json(arguments->top) : summary.Text(arguments->top));
      options.exitCode = 0;
    } catch (const MissingHostError& e) {
      throw CLI::RequiredError(e.what(), static_cast<int>(CLI::ExitCodes::RequiredError));
    } catch (const LogFileError& e) {
      std::cerr << "refwarden replay: " << e.what() << '\n';
      options.exitCode = 1;
    }
  });
}

}  // namespace refwarden
