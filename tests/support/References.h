// Plain references the optimised code is checked against, each written
// straight from the rule it states and sharing no code with what it checks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace refwarden::reference {

// Returns the 1-based position of the first `ch` in `source` at or after
// `start`, or 0. Requires start >= 1.
int NaiveFindChar(std::string_view source, char ch, int start);

// Returns the 1-based position of the first `find` in `source` at or after
// `start`, or 0; 0 also for an empty `find`. Requires start >= 1.
int NaiveFind(std::string_view source, std::string_view find, int start);

// Returns the Horspool shift of byte `b` for `find`: the distance from the
// last position of b's rightmost occurrence among all bytes but the last, or
// the length when b is not among them. Requires a non-empty `find`.
std::int32_t NaiveShift(std::string_view find, unsigned char b);

// Returns whether `text` matches `pattern` by the greedy segment rules. With
// the asterisks splitting the pattern into L0..Ln: the text begins with L0;
// each non-empty middle segment is taken at its leftmost occurrence at or
// after the cursor; a non-empty last segment must have its leftmost such
// occurrence end the text. Without an asterisk the text equals the pattern.
bool SegmentMatch(std::string_view text, std::string_view pattern);

// Returns whether `path` is one the filter guards: it matches "*.jpg",
// "*.gif", "*.png" or "*.bmp" by SegmentMatch.
bool ProtectedByRule(std::string_view path);

// The hot-link rule written out on its own. Returns the URL a request with
// this query-less path, host and referer is rewritten to ("/refwarden" and
// the path's last four bytes), or "" when it passes: a path not protected, or
// a referer matching "*/" + host + "/*".
std::string RuleReplacement(std::string_view path, std::string_view host, std::string_view referer);

// Returns every string of length 0 to `maxLength` over `alphabet`, shortest
// first.
std::vector<std::string> AllStrings(std::string_view alphabet, std::size_t maxLength);

}  // namespace refwarden::reference
