// Showing bytes from a log on a terminal without letting them act on it.
#pragma once

#include <string>
#include <string_view>

#include "strings/ByteEscapes.h"

namespace refwarden {

// Returns `bytes` fit for a terminal: valid UTF-8 stays as it is, except the
// control characters (below 0x20, 0x7F, and U+0080 to U+009F), which become
// \xHH (lower-case hex) for each of their bytes, as does every byte that is
// not part of valid UTF-8, and a backslash, so that an escape cannot be
// forged: the \xHH form of serve's request log.
inline std::string TerminalText(std::string_view bytes) {
  return EscapeBytes(bytes, HighBytes::kValidUtf8Kept);
}

// The same for a name the system gives rather than a log (a log file's name,
// the trace store, an error's text), except that a backslash stays as it is:
// Windows separates folders with it.
inline std::string NameText(std::string_view bytes) {
  return EscapeBytes(bytes, HighBytes::kValidUtf8Kept, Backslash::kKept);
}

}  // namespace refwarden
