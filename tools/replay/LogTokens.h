// The byte-level pieces the log parsers share: blanks, tokens, prefixes.
#pragma once

#include <string_view>

#include "strings/AsciiText.h"

namespace refwarden {

inline bool IsLogBlank(char c) { return c == ' ' || c == '\t'; }

// `s` without the blanks (and a trailing CR) around it.
inline std::string_view TrimLogBlanks(std::string_view s) {
  while (!s.empty() && IsLogBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && (IsLogBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

inline void SkipLogBlanks(std::string_view* rest) {
  std::size_t n = 0;
  while (n < rest->size() && IsLogBlank((*rest)[n])) ++n;
  rest->remove_prefix(n);
}

// Removes and returns the run of non-blank bytes at the front of *rest,
// together with the blanks after it.
inline std::string_view NextLogToken(std::string_view* rest) {
  std::size_t end = 0;
  while (end < rest->size() && !IsLogBlank((*rest)[end])) ++end;
  const std::string_view token = rest->substr(0, end);
  rest->remove_prefix(end);
  SkipLogBlanks(rest);
  return token;
}

inline bool StartsWithIgnoringAsciiCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsIgnoringAsciiCase(s.substr(0, prefix.size()), prefix);
}

}  // namespace refwarden
