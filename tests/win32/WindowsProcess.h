// A program run as the Windows tests run the tool: its command line quoted
// as the C run-time splits it, its standard output and error captured.
#pragma once

#include <string>
#include <vector>

namespace refwarden::testing {

struct ProgramRun {
  int status = -1;  // the exit code; -1 when the program did not start
  std::string out;  // what it wrote, byte for byte (text mode adds CRs)
  std::string err;
};

// Returns `argument` quoted so that the C run-time gives it back whole.
std::string QuotedArgument(const std::string& argument);

// Runs `program` with `arguments` (standard input this process's) and waits
// for it; its output goes through files of its own in the temporary folder.
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace refwarden::testing
