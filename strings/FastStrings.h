// FastStrings: byte searches under the wildcard matcher.
//
// Positions are 1-based and 0 means "not found". Every comparison is an exact
// comparison of byte values; a NUL byte is an ordinary byte and lengths are
// always given, never found by a terminator. Nothing here allocates, keeps
// state or takes a lock, so every function may be called from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace refwarden {

// Horspool bad-character table: entry b is how far the scan may move when the
// text byte under the find string's last byte is b.
using ShiftTable = std::array<std::int32_t, 256>;

// Returns the position of the first byte of `source` equal to `ch` at or after
// `start`, or 0 when there is none (also when start is past the end).
// Requires start >= 1; otherwise throws EAssertionFailed
// "Assertion failure (FastStrings, line 462)".
int FindChar(std::string_view source, char ch, int start);

// Returns the position in `source` of the leftmost occurrence of `find` that
// begins at or after `start`, or 0 when there is none. An empty find string is
// never found. Requires start >= 1 (otherwise throws EAssertionFailed
// "Assertion failure (FastStrings, line 544)", checked before anything else),
// and the true lengths of both strings: no byte of source beyond sourceLength
// and none of find beyond findLength is read. Builds a fresh ShiftTable on
// every call that gets as far as searching.
int FindSubstring(const char* source, const char* find, int sourceLength, int findLength,
                  int start);

// Fills `table` for `find`: every entry findLength, then for each byte of find
// but the last, its distance from the last position (the rightmost occurrence
// wins). Every entry ends at least 1. Requires findLength >= 1; otherwise
// throws Exception "BufferLen is 0".
void BuildShiftTable(const char* find, int findLength, ShiftTable& table);

// Returns a pointer to the first byte of the leftmost occurrence of `pattern`
// lying wholly inside the `rangeLength` bytes at `range`, or nullptr when there
// is none (always for rangeLength < patternLength, including 0 or negative).
// Requires patternLength >= 1 and `table` built by BuildShiftTable for this
// pattern. Reads no byte outside the range.
const char* ShiftTableScan(const char* range, const char* pattern, int rangeLength,
                           int patternLength, const ShiftTable& table);

// The definitions follow inline: the wildcard matcher calls these on every
// request, and with its constant patterns the compiler folds much of them.

#if defined(__GNUC__)
#define REFWARDEN_INLINE inline __attribute__((always_inline))
#else
#define REFWARDEN_INLINE inline
#endif

namespace detail {

[[noreturn]] void FailFindChar();
[[noreturn]] void FailFindSubstring();
[[noreturn]] void FailBufferLen();

// Sets all 256 entries to `value`; vectorised where the processor allows.
void FillShiftTable(std::int32_t* table, std::int32_t value) noexcept;

}  // namespace detail

REFWARDEN_INLINE int FindChar(std::string_view source, char ch, int start) {
  if (start < 1) detail::FailFindChar();
  const auto from = static_cast<std::size_t>(start - 1);
  if (from >= source.size()) return 0;
  // memchr, which compilers evaluate outright on constant patterns.
  const void* hit = std::memchr(source.data() + from, ch, source.size() - from);
  return hit == nullptr ? 0 : static_cast<int>(static_cast<const char*>(hit) - source.data()) + 1;
}

REFWARDEN_INLINE void BuildShiftTable(const char* find, int findLength, ShiftTable& table) {
  // A length below 1 would leave entries that never move the scan on.
  if (findLength < 1) detail::FailBufferLen();
  detail::FillShiftTable(table.data(), findLength);
  const auto* bytes = reinterpret_cast<const unsigned char*>(find);
  for (int j = 0; j < findLength - 1; ++j) table[bytes[j]] = findLength - 1 - j;
}

REFWARDEN_INLINE const char* ShiftTableScan(const char* range, const char* pattern, int rangeLength,
                                            int patternLength, const ShiftTable& table) {
  if (rangeLength < patternLength) return nullptr;
  const auto* p = reinterpret_cast<const unsigned char*>(pattern);
  const int last = patternLength - 1;
  const unsigned char lastByte = p[last];
  const auto* r = reinterpret_cast<const unsigned char*>(range);
  // e is the 0-based range index under the pattern's last byte (wide enough
  // never to overflow). The inner loop takes the common step: a byte that is
  // not the last byte and moves the alignment by the whole length. Its next
  // position does not wait for the table load, so the processor runs ahead.
  std::ptrdiff_t e = last;
  for (;;) {
    unsigned char byte;
    std::int32_t shift;
    do {
      if (e >= rangeLength) return nullptr;
      byte = r[e];
      shift = table[byte];
      if ((shift != patternLength) | (byte == lastByte)) break;
      e += patternLength;
    } while (true);
    if (byte == lastByte) {
      int k = 1;
      while (k <= last && r[e - k] == p[last - k]) ++k;
      if (k > last) return range + (e - last);
    }
    e += shift;
  }
}

REFWARDEN_INLINE int FindSubstring(const char* source, const char* find, int sourceLength,
                                   int findLength, int start) {
  if (start < 1) detail::FailFindSubstring();
  if (findLength < 1) return 0;
  if (findLength > sourceLength) return 0;
  ShiftTable table;
  BuildShiftTable(find, findLength, table);
  // Past the end the range is empty or negative and the scan finds nothing.
  const int rangeLength = sourceLength - (start - 1);
  if (rangeLength < findLength) return 0;
  const char* hit = ShiftTableScan(source + (start - 1), find, rangeLength, findLength, table);
  return hit == nullptr ? 0 : static_cast<int>(hit - source) + 1;
}

}  // namespace refwarden
