#include "tools/replay/LogDates.h"

#include <cstdio>

#include "strings/AsciiText.h"

namespace refwarden {

namespace {

// The value of the `n` decimal digits at the start of `text`, or -1.
int Digits(std::string_view text, std::size_t n) {
  if (text.size() < n) return -1;
  int value = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

std::uint32_t Day(int year, int month, int day) {
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > 31) return 0;
  return static_cast<std::uint32_t>(year * 10000 + month * 100 + day);
}

}  // namespace

std::uint32_t ParseW3cDate(std::string_view text) {
  if (text.size() < 10 || text[4] != '-' || text[7] != '-') return 0;
  return Day(Digits(text, 4), Digits(text.substr(5), 2), Digits(text.substr(8), 2));
}

std::uint32_t ParseCombinedDate(std::string_view text) {
  static constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (text.size() < 11 || text[2] != '/' || text[6] != '/') return 0;
  int month = 0;
  for (int m = 0; m < 12; ++m) {
    if (EqualsIgnoringAsciiCase(text.substr(3, 3), kMonths[m])) month = m + 1;
  }
  return Day(Digits(text.substr(7), 4), month, Digits(text, 2));
}

std::string FormatDate(std::uint32_t date) {
  if (date == 0) return "(no date)";
  char text[16];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u", static_cast<unsigned>(date / 10000),
                static_cast<unsigned>(date / 100 % 100), static_cast<unsigned>(date % 100));
  return text;
}

}  // namespace refwarden
