// refwarden: check requests against the filter, read its trace, replay access
// logs through it, and (not on Windows) try it in a browser. Every verb drives
// the filter library through its exported functions, as the web server does.
#include <CLI/CLI.hpp>

#include <exception>
#include <iostream>

#include "tools/Commands.h"
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
  app.add_option("--filter", options.filterPath, "The filter library to load")
      ->capture_default_str()
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.require_subcommand(1);
  // Options of the tool (--filter) are taken after the verb too.
  app.fallthrough();
  refwarden::AddCheckCommand(app, options);
  refwarden::AddRegCommand(app, options);
  refwarden::AddReplayCommand(app, options);
#ifdef _WIN32
  refwarden::AddDoctorCommand(app, options);
  // serve needs a Linux machine; asked for here, it says so instead of
  // "A subcommand is required".
  app.add_subcommand("serve")->group("")->allow_extras()->callback([] {
    throw CLI::ValidationError("serve",
                               "serve is in the Linux tool only: it serves a demo site through "
                               "the filter built for Linux (refwarden serve --demo)");
  });
#else
  refwarden::AddServeCommand(app, options);
#endif

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  } catch (const std::exception& e) {
    std::cerr << "refwarden: " << e.what() << '\n';
    return 1;
  }
  return options.exitCode;
}
