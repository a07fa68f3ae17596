// AsciiText: the byte-level helpers that protocols and log formats ask for,
// where case folding is ASCII only and a locale must not matter.
#pragma once

#include <string_view>

namespace refwarden {

// Returns `c` with A-Z made a-z; every other byte as it is.
inline char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// Returns whether `a` and `b` are equal with A-Z and a-z taken as the same.
inline bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

// Returns the value of the hexadecimal digit `c` (either case), or -1.
inline int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace refwarden
