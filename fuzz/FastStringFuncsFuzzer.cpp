// WildcardMatch against the greedy rule stated over the pattern's segments,
// and LeadingChars and TrailingChars against plain slicing.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzInput.h"
#include "strings/FastStringFuncs.h"

namespace refwarden::fuzz {

// The segment rules, transcribed: the text begins with L0; each non-empty
// middle segment is taken at its leftmost occurrence at or after the cursor;
// a non-empty last segment must have its leftmost such occurrence end the text.
bool SegmentRuleMatch(std::string_view text, std::string_view pattern) {
  std::vector<std::string_view> segments;
  std::size_t begin = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '*') {
      segments.push_back(pattern.substr(begin, i - begin));
      begin = i + 1;
    }
  }
  segments.push_back(pattern.substr(begin));
  if (segments.size() == 1) return text == pattern;

  const std::string_view first = segments.front();
  if (text.size() < first.size() || text.substr(0, first.size()) != first) return false;
  std::size_t cursor = first.size();
  for (std::size_t s = 1; s < segments.size(); ++s) {
    const std::string_view segment = segments[s];
    const bool isLast = s + 1 == segments.size();
    if (segment.empty()) {
      if (isLast) return true;
      continue;
    }
    std::size_t at = cursor;
    while (at + segment.size() <= text.size() && text.substr(at, segment.size()) != segment) ++at;
    if (at + segment.size() > text.size()) return false;
    if (isLast) return at + segment.size() == text.size();
    cursor = at + segment.size();
  }
  return true;
}

}  // namespace refwarden::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace refwarden;
  using namespace refwarden::fuzz;
  FuzzedDataProvider input(data, size);
  const bool small = input.ConsumeBool();
  const int count = input.ConsumeIntegralInRange<int>(-2, 20);
  const std::string patternText = ConsumeString(input, small, 60);
  const std::string textText = ConsumeString(input, small, 400);
  const ExactBuffer pattern(patternText);
  const ExactBuffer text(textText);

  const bool got = WildcardMatch(text.view(), pattern.view());
  if (got != SegmentRuleMatch(textText, patternText)) {
    Mismatch("WildcardMatch text " + Printable(textText) + " pattern " + Printable(patternText) +
             ": got " + (got ? "true" : "false"));
  }

  const std::size_t n = count <= 0 ? 0 : static_cast<std::size_t>(count);
  const std::string leading = textText.substr(0, std::min(n, textText.size()));
  const std::string trailing = textText.substr(textText.size() - std::min(n, textText.size()));
  if (LeadingChars(text.view(), count) != leading ||
      TrailingChars(text.view(), count) != trailing) {
    Mismatch("LeadingChars/TrailingChars text " + Printable(textText) + " count " +
             std::to_string(count));
  }
  return 0;
}
