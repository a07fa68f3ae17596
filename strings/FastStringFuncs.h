// FastStringFuncs: the greedy wildcard matcher and the string pieces the
// hot-link decision needs.
#pragma once

#include <string>
#include <string_view>

namespace refwarden {

// Returns whether `text` matches `pattern`, in which '*' stands for any run of
// bytes (the empty run too) and every other byte matches only itself.
//
// The match is greedy and never backtracks. With the asterisks splitting the
// pattern into segments L0..Ln: the text must begin with L0; each middle
// segment is taken at its leftmost occurrence after the previous one; a
// non-empty last segment matches only when its leftmost occurrence after that
// ends the text. So "*.jpg" rejects "/a.jpg.jpg". With no asterisk the text
// must equal the pattern. Case-sensitive, byte for byte; allocates nothing.
// Requires both lengths below INT_MAX.
bool WildcardMatch(std::string_view text, std::string_view pattern);

// Returns the first `count` bytes of `text`: the whole text when count exceeds
// its length, the empty string when count is 0 or less.
std::string LeadingChars(std::string_view text, int count);

// Returns the last `count` bytes of `text`: the whole text when count exceeds
// its length, the empty string when count is 0 or less.
std::string TrailingChars(std::string_view text, int count);

}  // namespace refwarden
