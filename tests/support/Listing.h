// What a folder holds, to tell whether something made, removed or changed a
// file in it. POSIX only.
#pragma once

#include <set>
#include <string>

namespace refwarden::testing {

// One line for each entry under `folder`, at any depth: its path and mode,
// for a regular file its size and a hash of its bytes ("unreadable" when this
// process may not read them), for a symbolic link its target. Links are not
// followed. Two listings differ when anything was created, removed or
// changed. Empty when `folder` cannot be read.
std::set<std::string> Listing(const std::string& folder);

}  // namespace refwarden::testing
