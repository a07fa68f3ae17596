// refwarden: check requests against the filter, read its trace, replay access
// logs through it, and (not on Windows) try it in a browser. Every verb drives
// the filter library through its exported functions, as the web server does.
#include <CLI/CLI.hpp>

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "RefwardenVersion.h"
#include "tools/Commands.h"
#include "tools/ExitStatus.h"
#include "tools/FilterHost.h"

int main(int argc, char** argv) {
  refwarden::ToolOptions options;
  options.filterPath = refwarden::FilterLibrary::DefaultPath();

  CLI::App app{
      "refwarden: hot-link protection for image files.\n"
#ifdef _WIN32
      "Checks requests against the filter, reads its trace, replays access logs\n"
      "through it and checks IIS's configuration (doctor)."
#else
      "Checks requests against the filter, reads its trace, replays access logs\n"
      "through it and serves a demo site."
#endif
  };
  // Request URLs begin with '/', which must not read as Windows-style options;
  // subcommands take this setting from the app when they are added.
  app.allow_windows_style_options(false);
  app.set_version_flag("--version", std::string("refwarden ") + REFWARDEN_VERSION,
                       "Print the version and exit");
  app.add_option("--filter", options.filterPath, "The filter library to load")
      ->capture_default_str()
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.require_subcommand(1);
  app.footer(refwarden::ExitStatusTable());
  // Options of the tool (--filter) are taken after the verb too.
  app.fallthrough();
  refwarden::AddCheckCommand(app, options);
  refwarden::AddRegCommand(app, options);
  refwarden::AddReplayCommand(app, options);
  refwarden::AddProbeCommand(app, options);
#ifdef _WIN32
  refwarden::AddDoctorCommand(app, options);
#endif
#ifndef _WIN32
  refwarden::AddServeCommand(app, options);
#else
  // serve needs a Linux machine; asked for here, it says so instead of
  // "A subcommand is required".
  // Whatever follows it (serve --demo) is its own, not refused as unknown.
  app.add_subcommand("serve")->group("")->fallthrough(false)->allow_extras()->callback([] {
    throw CLI::ValidationError("serve",
                               "serve is in the Linux tool only: it serves a demo site through "
                               "the filter built for Linux (refwarden serve --demo)");
  });
#endif

  try {
    app.parse(argc, argv);
  } catch (const CLI::RequiredError& e) {
    // CLI11 looks for required options before it refuses unknown ones, so
    // "check --bogus" would be answered "--host is required": the argument
    // it did not know is the likelier mistake, and is named first.
    const std::vector<std::string> unknown = app.remaining(true);
    if (!unknown.empty()) app.exit(CLI::ExtrasError(unknown));
    else app.exit(e);
    return refwarden::kExitUsage;
  } catch (const CLI::ParseError& e) {
    // CLI11 prints the message (or the help, or the version); every refused
    // command line is one status, whatever CLI11's own code for it.
    return app.exit(e) == 0 ? refwarden::kExitOk : refwarden::kExitUsage;
  } catch (const std::exception& e) {
    std::cerr << "refwarden: " << e.what() << '\n';
    return refwarden::kExitFailed;
  }
  return options.exitCode;
}
