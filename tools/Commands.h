// The verbs of the refwarden tool. Each Add*Command registers its subcommand
// on `app`; the callback it installs runs the verb and sets `exitCode`.
#pragma once

#include <string>

#include "tools/ExitStatus.h"

namespace CLI {
class App;
}

namespace refwarden {

struct ToolOptions {
  std::string filterPath;  // --filter: the filter library to load
  int exitCode = kExitOk;  // one of ExitStatus (tools/ExitStatus.h)
};

void AddCheckCommand(CLI::App& app, ToolOptions& options);
void AddRegCommand(CLI::App& app, ToolOptions& options);
void AddReplayCommand(CLI::App& app, ToolOptions& options);
void AddServeCommand(CLI::App& app, ToolOptions& options);
void AddDoctorCommand(CLI::App& app, ToolOptions& options);  // Windows only
void AddProbeCommand(CLI::App& app, ToolOptions& options);

}  // namespace refwarden
