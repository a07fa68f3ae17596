// FindChar, FindSubstring and BuildShiftTable against naive versions, for
// every start from 1 to two past the end, and the failures for bad arguments.
#include <cstdint>
#include <string>

#include "fuzz/FuzzInput.h"
#include "strings/Exceptions.h"
#include "strings/FastStrings.h"

namespace refwarden::fuzz {
namespace {

template <typename Call>
void ExpectFailure(Call call, const char* message, const std::string& what) {
  try {
    call();
  } catch (const Exception& e) {
    if (e.Message() == message) return;
    Mismatch(what + ": failed with \"" + e.Message() + "\", expected \"" + message + "\"");
  }
  Mismatch(what + ": did not fail, expected \"" + message + "\"");
}

}  // namespace
}  // namespace refwarden::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace refwarden;
  using namespace refwarden::fuzz;
  FuzzedDataProvider input(data, size);
  const bool small = input.ConsumeBool();
  const char ch = input.ConsumeIntegral<char>();
  const std::string findText = ConsumeString(input, small, 40);
  const std::string sourceText = ConsumeString(input, small, 600);
  const ExactBuffer source(sourceText);
  const ExactBuffer find(findText);
  const std::string about = "source " + Printable(sourceText) + " find " + Printable(findText);

  for (int start = 1; start <= source.length() + 2; ++start) {
    const int got =
        FindSubstring(source.data(), find.data(), source.length(), find.length(), start);
    const int want = reference::NaiveFind(sourceText, findText, start);
    if (got != want) {
      Mismatch("FindSubstring " + about + " start " + std::to_string(start) + ": got " +
               std::to_string(got) + ", expected " + std::to_string(want));
    }
    const int gotChar = FindChar(source.view(), ch, start);
    const int wantChar = reference::NaiveFindChar(sourceText, ch, start);
    if (gotChar != wantChar) {
      Mismatch("FindChar " + about + " ch " + Printable({&ch, 1}) + " start " +
               std::to_string(start) + ": got " + std::to_string(gotChar) + ", expected " +
               std::to_string(wantChar));
    }
  }

  if (!findText.empty()) {
    ShiftTable table;
    BuildShiftTable(find.data(), find.length(), table);
    for (int b = 0; b < 256; ++b) {
      if (table[static_cast<std::size_t>(b)] !=
          reference::NaiveShift(findText, static_cast<unsigned char>(b))) {
        Mismatch("BuildShiftTable " + about + ": wrong entry " + std::to_string(b));
      }
    }
  }

  const int badStart = input.ConsumeIntegralInRange<int>(-3, 0);
  ExpectFailure([&] { FindChar(source.view(), ch, badStart); },
                "Assertion failure (FastStrings, line 462)",
                "FindChar start " + std::to_string(badStart));
  ExpectFailure(
      [&] { FindSubstring(source.data(), find.data(), source.length(), find.length(), badStart); },
      "Assertion failure (FastStrings, line 544)",
      "FindSubstring " + about + " start " + std::to_string(badStart));
  ShiftTable table;
  ExpectFailure([&] { BuildShiftTable(find.data(), 0, table); }, "BufferLen is 0",
                "BuildShiftTable length 0");
  return 0;
}
