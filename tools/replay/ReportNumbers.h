// Numbers as the replay's reports print them, the text report and the page alike.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace refwarden {

// 1234567 -> "1,234,567"
inline std::string Grouped(std::uint64_t n) {
  std::string digits = std::to_string(n);
  for (std::size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, 1, ',');
  return digits;
}

// `part` as a share of `whole` with one decimal ("12.5%"); "-" when `whole` is 0.
inline std::string Percent(std::uint64_t part, std::uint64_t whole) {
  if (whole == 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%%",
                100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return text;
}

}  // namespace refwarden
