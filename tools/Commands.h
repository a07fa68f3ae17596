// The verbs of the refwarden tool. Each Add*Command registers its subcommand
// on `app`; the callback it installs runs the verb and sets `exitCode`.
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace refwarden {

// The exit status of check and replay when a trace was not written, so that
// the filter let the request pass unchanged.
inline constexpr int kExitTraceNotWritten = 3;

struct ToolOptions {
  std::string filterPath;  // --filter: the filter library to load
  int exitCode = 0;
};

void AddCheckCommand(CLI::App& app, ToolOptions& options);
void AddRegCommand(CLI::App& app, ToolOptions& options);
void AddReplayCommand(CLI::App& app, ToolOptions& options);
void AddServeCommand(CLI::App& app, ToolOptions& options);
void AddDoctorCommand(CLI::App& app, ToolOptions& options);  // Windows only
void AddProbeCommand(CLI::App& app, ToolOptions& options);

}  // namespace refwarden
