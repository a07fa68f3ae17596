// The byte-level pieces the log parsers share: blanks, tokens, prefixes.
#pragma once

#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "strings/AsciiText.h"

namespace refwarden {

inline bool IsLogBlank(char c) { return c == ' ' || c == '\t'; }

// `s` without the blanks (and a trailing CR) around it.
inline std::string_view TrimLogBlanks(std::string_view s) {
  while (!s.empty() && IsLogBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && (IsLogBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

inline void SkipLogBlanks(std::string_view* rest) {
  std::size_t n = 0;
  while (n < rest->size() && IsLogBlank((*rest)[n])) ++n;
  rest->remove_prefix(n);
}

// Removes and returns the run of non-blank bytes at the front of *rest,
// together with the blanks after it.
inline std::string_view NextLogToken(std::string_view* rest) {
  std::size_t end = 0;
  while (end < rest->size() && !IsLogBlank((*rest)[end])) ++end;
  const std::string_view token = rest->substr(0, end);
  rest->remove_prefix(end);
  SkipLogBlanks(rest);
  return token;
}

// Returns the first blank in [p, end), or `end`. Sixteen bytes a step where
// the processor has SSE2 (every x86-64), a byte a step elsewhere.
inline const char* FindLogBlank(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i tab = _mm_set1_epi8('\t');
  while (end - p >= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const int blanks =
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, space), _mm_cmpeq_epi8(bytes, tab)));
    if (blanks != 0) return p + __builtin_ctz(static_cast<unsigned>(blanks));
    p += 16;
  }
#endif
  while (p < end && !IsLogBlank(*p)) ++p;
  return p;
}

inline bool StartsWithIgnoringAsciiCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsIgnoringAsciiCase(s.substr(0, prefix.size()), prefix);
}

}  // namespace refwarden
