#include "strings/FastStringFuncs.h"

#include "strings/FastStrings.h"

namespace refwarden {

namespace {

constexpr char kAsterisk = '*';

int Length(std::string_view s) { return static_cast<int>(s.size()); }

}  // namespace

// Each pass consumes the pattern up to and including its first asterisk; the
// loop stands for the tail call of the recursive formulation, so a pattern
// with n asterisks takes n + 1 passes over views of the caller's strings.
bool WildcardMatch(std::string_view text, std::string_view pattern) {
  for (;;) {
    const int k = FindChar(pattern, kAsterisk, 1);
    if (k == 0) return text == pattern;

    const std::string_view lead = pattern.substr(0, k - 1);
    if (text.substr(0, lead.size()) != lead) return false;
    text.remove_prefix(lead.size());
    pattern.remove_prefix(k);

    const int next = FindChar(pattern, kAsterisk, 1);
    const std::string_view segment = next == 0 ? pattern : pattern.substr(0, next - 1);
    if (!segment.empty()) {
      const int i = FindSubstring(text.data(), segment.data(), Length(text),
                                  Length(segment), 1);
      if (i == 0) return false;
      text.remove_prefix(i - 1);
    }
    if (pattern.empty()) return true;
  }
}

std::string LeadingChars(std::string_view text, int count) {
  if (count <= 0) return {};
  return std::string(text.substr(0, static_cast<std::size_t>(count)));
}

std::string TrailingChars(std::string_view text, int count) {
  if (count <= 0) return {};
  const auto n = static_cast<std::size_t>(count);
  return std::string(n >= text.size() ? text : text.substr(text.size() - n));
}

}  // namespace refwarden
