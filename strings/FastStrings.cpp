#include "strings/FastStrings.h"

#include "strings/Exceptions.h"

namespace refwarden::detail {

namespace {

// The assertion messages are fixed texts that callers and tests compare:
// "Assertion failure (FastStrings, line 462)" and "... line 544)". The
// numbers name the check, not a line of this file.
constexpr const char* kUnitName = "FastStrings";
constexpr int kFindCharAssertLine = 462;
constexpr int kFindSubstringAssertLine = 544;

}  // namespace

void FailFindChar() { throw EAssertionFailed(kUnitName, kFindCharAssertLine); }

void FailFindSubstring() { throw EAssertionFailed(kUnitName, kFindSubstringAssertLine); }

void FailBufferLen() { throw Exception("BufferLen is 0"); }

// On x86-64 Linux the loader picks the widest vector stores the processor has;
// everywhere else the compiler's own vectorisation of the loop serves. Not
// under ThreadSanitizer: it instruments the resolver, which the loader runs
// before the sanitizer's run-time is up.
#if defined(__x86_64__) && defined(__linux__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("avx512f", "avx2", "default")))
#endif
void FillShiftTable(std::int32_t* table, std::int32_t value) noexcept {
  for (int i = 0; i < 256; ++i) table[i] = value;
}

}  // namespace refwarden::detail
