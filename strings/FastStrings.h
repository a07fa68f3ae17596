// FastStrings: byte searches under the wildcard matcher.
//
// Positions are 1-based and 0 means "not found". Every comparison is an exact
// comparison of byte values; a NUL byte is an ordinary byte and lengths are
// always given, never found by a terminator. Nothing here allocates, keeps
// state or takes a lock, so every function may be called from any thread.
#pragma once

#include <array>
#include <cstdint>
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
int FindSubstring(const char* source, const char* find, int sourceLength,
                  int findLength, int start);

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

}  // namespace refwarden
