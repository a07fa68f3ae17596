// Plain reference implementations the optimised code is checked against.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace refwarden::reference {

// Naive left-to-right search; 1-based result, 0 when not found or find empty.
inline int NaiveFind(std::string_view source, std::string_view find, int start) {
  if (find.empty()) return 0;
  for (std::size_t i = static_cast<std::size_t>(start - 1); i + find.size() <= source.size(); ++i) {
    if (source.compare(i, find.size(), find) == 0) return static_cast<int>(i) + 1;
  }
  return 0;
}

// The greedy matcher written straight from its segment rules.
inline bool SegmentMatch(std::string_view text, std::string_view pattern) {
  std::vector<std::string_view> segments;
  std::size_t from = 0;
  for (std::size_t star; (star = pattern.find('*', from)) != std::string_view::npos;
       from = star + 1) {
    segments.push_back(pattern.substr(from, star - from));
  }
  segments.push_back(pattern.substr(from));
  if (segments.size() == 1) return text == pattern;

  if (text.substr(0, segments.front().size()) != segments.front()) return false;
  std::size_t cursor = segments.front().size();
  for (std::size_t i = 1; i + 1 < segments.size(); ++i) {
    if (segments[i].empty()) continue;
    const std::size_t at = text.find(segments[i], cursor);
    if (at == std::string_view::npos) return false;
    cursor = at + segments[i].size();
  }
  const std::string_view last = segments.back();
  if (last.empty()) return true;
  const std::size_t at = text.find(last, cursor);
  return at != std::string_view::npos && at + last.size() == text.size();
}

// Every string of length 0..maxLength over `alphabet`.
inline std::vector<std::string> AllStrings(std::string_view alphabet, std::size_t maxLength) {
  std::vector<std::string> all{""};
  for (std::size_t begin = 0, length = 1; length <= maxLength; ++length) {
    const std::size_t end = all.size();
    for (std::size_t i = begin; i < end; ++i) {
      for (char c : alphabet) all.push_back(all[i] + c);
    }
    begin = end;
  }
  return all;
}

// Shows a string quoted, with control, high, quote and backslash bytes as
// \xNN, so that a failing input can be read in the output.
inline std::string Printable(std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out + "\"";
}

}  // namespace refwarden::reference
