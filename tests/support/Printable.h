// Failing inputs shown so that they can be read in a test's or a fuzzer's
// output, whatever bytes they hold.
#pragma once

#include <string>
#include <string_view>

namespace refwarden::testing {

// Returns `s` in double quotes, with control, high, quote and backslash bytes
// written as \xNN.
std::string Printable(std::string_view s);

}  // namespace refwarden::testing
