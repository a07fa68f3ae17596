// The registry's rules for key paths and value names, as the store applies
// them: limits, the path syntax, and how names compare.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace refwarden {

// One key name at most 255 bytes, a whole key path at most 32,767, a value
// name at most 16,383, as the registry has them.
inline constexpr std::size_t kMaxKeyNameLen = 255;
inline constexpr std::size_t kMaxKeyPathLen = 32767;
inline constexpr std::size_t kMaxValueNameLen = 16383;

// Checks the relative key path `sub` (backslash-separated; null reads as
// empty) and sets *out to it without one trailing backslash. Returns false
// when it starts with a backslash, has an empty or over-long name, or is
// longer than kMaxKeyPathLen.
bool NormaliseKeyPath(const char* sub, std::string_view* out);

// Sets *name to the value name `lpValueName` (null is the default value's,
// the empty name). Returns false when it is longer than kMaxValueNameLen;
// reads at most one byte past that limit.
bool CheckValueName(const char* lpValueName, std::string_view* name);

// Sets *out to `in` with ASCII letters lower-cased and every other byte kept,
// which is how the store compares key paths and value names.
void FoldAscii(std::string_view in, std::string* out);

}  // namespace refwarden
