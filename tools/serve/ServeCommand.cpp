// Placeholder: the serve verb is being written.
#include <CLI/CLI.hpp>

#include "tools/Commands.h"

namespace refwarden {

void AddServeCommand(CLI::App&, ToolOptions&) {}

}  // namespace refwarden
