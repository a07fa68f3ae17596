// ByteEscapes: bytes from outside (a request, a log, a name the system gives)
// made safe to write where a person or a parser reads them: as \xHH, or as
// HTML character references.
#pragma once

#include <string>
#include <string_view>

namespace refwarden {

// What becomes of the bytes 0x80 and above.
enum class HighBytes {
  kKept,           // as they are: serve's request log keeps what the client sent
  kValidUtf8Kept,  // valid UTF-8 stays, except the C1 controls (U+0080 to U+009F);
                   // those and every byte not part of valid UTF-8 are escaped,
                   // so that nothing reaches a terminal that could act on it
};

// What becomes of a backslash.
enum class Backslash {
  kEscaped,  // written as \x5c, so that an escape in the output cannot be forged
  kKept,     // as it is: names the system gives, where Windows separates folders with it
};

// Returns `bytes` with the control bytes (below 0x20 and 0x7F), the high
// bytes `high` says and a backslash unless `backslash` is kKept each written
// as \xHH (lower-case hex); every other byte as it is.
std::string EscapeBytes(std::string_view bytes, HighBytes high,
                        Backslash backslash = Backslash::kEscaped);

// Returns `text` with &, <, >, " and ' written as character references, safe
// inside HTML text and quoted attribute values; every other byte as it is.
std::string EscapeHtml(std::string_view text);

}  // namespace refwarden
