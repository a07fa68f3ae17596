// Where the Windows tests find the files they check: beside the test
// program, as the build puts them, and the other bitness's filter when the
// package build names it.
#pragma once

#include <string>

namespace refwarden::testing {

// The folder of the running program, without a trailing backslash.
std::string ProgramFolder();

// The refwarden.dll of the other bitness (32-bit for a 64-bit build and the
// other way round), or "" when this build was not told where it is (only the
// package build, packaging/, builds both).
std::string OtherBitnessFilter();

}  // namespace refwarden::testing
