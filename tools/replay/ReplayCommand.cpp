// Placeholder: the replay verb is being written.
#include <CLI/CLI.hpp>

#include "tools/Commands.h"

namespace refwarden {

void AddReplayCommand(CLI::App&, ToolOptions&) {}

}  // namespace refwarden
