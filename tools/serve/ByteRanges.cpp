#include "tools/serve/ByteRanges.h"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

#include "strings/AsciiText.h"

namespace refwarden {

namespace {

constexpr std::uint64_t kNoNumber = std::numeric_limits<std::uint64_t>::max();

std::string_view TrimOws(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Digits only, at least one; kNoNumber otherwise. Values past 2^64 saturate,
// which keeps them past any file's end.
std::uint64_t ParseDigits(std::string_view digits) {
  if (digits.empty()) return kNoNumber;
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return kNoNumber;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    value = value > (kNoNumber - 1 - digit) / 10 ? kNoNumber - 1 : value * 10 + digit;
  }
  return value;
}

}  // namespace

RangeAnswer AnswerRange(std::string_view range, std::uint64_t length) {
  const RangeAnswer whole;
  const std::size_t equals = range.find('=');
  if (equals == std::string_view::npos ||
      !EqualsIgnoringAsciiCase(TrimOws(range.substr(0, equals)), "bytes"))
    return whole;

  std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;  // [first, last], satisfiable
  int ranges = 0;
  std::string_view set = range.substr(equals + 1);
  while (true) {
    const std::size_t comma = set.find(',');
    const std::string_view element = TrimOws(set.substr(0, comma));
    if (!element.empty()) {  // a list may hold empty elements
      if (++ranges > kMaxRanges) return whole;
      const std::size_t dash = element.find('-');
      if (dash == std::string_view::npos) return whole;
      const std::string_view firstText = element.substr(0, dash),
                             lastText = element.substr(dash + 1);
      if (firstText.empty()) {  // the last so many bytes
        const std::uint64_t suffix = ParseDigits(lastText);
        if (suffix == kNoNumber) return whole;
        if (suffix > 0 && length > 0)
          spans.emplace_back(length - std::min(suffix, length), length - 1);
      } else {
        const std::uint64_t first = ParseDigits(firstText);
        const std::uint64_t last = lastText.empty() ? kNoNumber - 1 : ParseDigits(lastText);
        if (first == kNoNumber || last == kNoNumber || last < first) return whole;
        if (first < length) spans.emplace_back(first, std::min(last, length - 1));
      }
    }
    if (comma == std::string_view::npos) break;
    set.remove_prefix(comma + 1);
  }
  if (ranges == 0) return whole;
  if (spans.empty()) return RangeAnswer{RangeAnswer::kUnsatisfiable, 0, 0};

  std::sort(spans.begin(), spans.end());
  std::uint64_t first = spans.front().first, last = spans.front().second;
  for (const auto& [spanFirst, spanLast] : spans) {
    if (spanFirst > last + 1) return whole;  // a second, disjoint span
    last = std::max(last, spanLast);
  }
  return RangeAnswer{RangeAnswer::kPartial, first, last - first + 1};
}

}  // namespace refwarden
