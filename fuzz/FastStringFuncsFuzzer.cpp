// WildcardMatch against the greedy rule stated over the pattern's segments
// (tests/support/References.h), and LeadingChars and TrailingChars against
// plain slicing.
#include <cstdint>
#include <string>

#include "fuzz/FuzzInput.h"
#include "strings/FastStringFuncs.h"

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
  if (got != reference::SegmentMatch(textText, patternText)) {
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
