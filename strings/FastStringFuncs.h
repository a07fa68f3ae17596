// FastStringFuncs: the greedy wildcard matcher and the string pieces the
// hot-link decision needs.
#pragma once

#include <string>
#include <string_view>

#include "strings/FastStrings.h"

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
inline bool WildcardMatch(std::string_view text, std::string_view pattern);

// Returns the first `count` bytes of `text`: the whole text when count exceeds
// its length, the empty string when count is 0 or less.
std::string LeadingChars(std::string_view text, int count);

// Returns the last `count` bytes of `text`: the whole text when count exceeds
// its length, the empty string when count is 0 or less.
std::string TrailingChars(std::string_view text, int count);

// Defined inline so that the decision's constant patterns fold. Each pass
// consumes the pattern up to and including an asterisk; the loop stands for
// the tail call of the recursive formulation. A pass starts where the one
// before found its segment, so the asterisk it found and the segment the text
// now begins with are not looked for twice.
REFWARDEN_INLINE bool WildcardMatch(std::string_view text, std::string_view pattern) {
  constexpr char kAsterisk = '*';
  const int k = FindChar(pattern, kAsterisk, 1);
  if (k == 0) return text == pattern;
  const std::string_view lead = pattern.substr(0, static_cast<std::size_t>(k - 1));
  if (text.substr(0, lead.size()) != lead) return false;
  text.remove_prefix(lead.size());
  pattern.remove_prefix(static_cast<std::size_t>(k));
  for (;;) {
    const int next = FindChar(pattern, kAsterisk, 1);
    const std::string_view segment =
        next == 0 ? pattern : pattern.substr(0, static_cast<std::size_t>(next - 1));
    if (!segment.empty()) {
      const int i = FindSubstring(text.data(), segment.data(), static_cast<int>(text.size()),
                                  static_cast<int>(segment.size()), 1);
      if (i == 0) return false;
      text.remove_prefix(static_cast<std::size_t>(i - 1));
    }
    if (pattern.empty()) return true;
    // The text begins with the segment: with no asterisk left it must be all
    // of the text, otherwise both drop it and the next segment is sought.
    if (next == 0) return text.size() == pattern.size();
    text.remove_prefix(segment.size());
    pattern.remove_prefix(static_cast<std::size_t>(next));
  }
}

}  // namespace refwarden
