#include "strings/FastStrings.h"

#include "strings/Exceptions.h"

namespace refwarden {

namespace {

constexpr const char* kUnitName = "FastStrings";
constexpr int kFindCharAssertLine = 462;
constexpr int kFindSubstringAssertLine = 544;

}  // namespace

int FindChar(std::string_view source, char ch, int start) {
  if (start < 1) throw EAssertionFailed(kUnitName, kFindCharAssertLine);
  const auto n = static_cast<int>(source.size());
  for (int i = start; i <= n; ++i) {
    if (source[i - 1] == ch) return i;
  }
  return 0;
}

int FindSubstring(const char* source, const char* find, int sourceLength,
                  int findLength, int start) {
  if (start < 1) throw EAssertionFailed(kUnitName, kFindSubstringAssertLine);
  if (findLength < 1) return 0;
  if (findLength > sourceLength) return 0;
  ShiftTable table;
  BuildShiftTable(find, findLength, table);
  const int rangeLength = sourceLength - (start - 1);
  if (rangeLength < findLength) return 0;  // the scan would not run; keeps the range inside source
  const char* hit = ShiftTableScan(source + (start - 1), find, rangeLength, findLength, table);
  return hit == nullptr ? 0 : static_cast<int>(hit - source) + 1;
}

void BuildShiftTable(const char* find, int findLength, ShiftTable& table) {
  // A length below 1 would leave entries that never move the scan on.
  if (findLength < 1) throw Exception("BufferLen is 0");
  for (auto& entry : table) entry = findLength;
  const auto* bytes = reinterpret_cast<const unsigned char*>(find);
  for (int j = 0; j < findLength - 1; ++j) table[bytes[j]] = findLength - 1 - j;
}

const char* ShiftTableScan(const char* range, const char* pattern, int rangeLength,
                           int patternLength, const ShiftTable& table) {
  const auto* r = reinterpret_cast<const unsigned char*>(range);
  const auto* p = reinterpret_cast<const unsigned char*>(pattern);
  const int last = patternLength - 1;
  const unsigned char lastByte = p[last];
  // e is the 0-based range index under the pattern's last byte.
  for (int e = last; e < rangeLength; e += table[r[e]]) {
    if (r[e] != lastByte) continue;
    int k = 1;
    while (k <= last && r[e - k] == p[last - k]) ++k;
    if (k > last) return range + (e - last);
  }
  return nullptr;
}

}  // namespace refwarden
