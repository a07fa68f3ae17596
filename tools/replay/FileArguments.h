// Expanding wildcards in file arguments, for Windows, whose shell passes
// them on as typed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace refwarden {

// Returns whether the file name `name` matches `pattern`, in which '*' stands
// for any run of bytes and '?' for one byte. ASCII letters compare ignoring
// case, as Windows compares file names.
bool MatchesFilePattern(std::string_view name, std::string_view pattern);

// Returns `arguments` with each one whose file part (what follows the last
// '\', '/' or drive colon) holds '*' or '?' replaced by the files of its
// folder whose names match, sorted by name ignoring case; wildcards in the
// folder part are not expanded. Other arguments, "-" among them, stay as they
// are. Throws std::runtime_error naming the argument when a pattern matches
// no file or its folder cannot be listed.
std::vector<std::string> ExpandFileArguments(const std::vector<std::string>& arguments);

}  // namespace refwarden
