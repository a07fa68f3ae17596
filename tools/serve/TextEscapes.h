// Request bytes made safe for where the server writes them.
#pragma once

#include <string>
#include <string_view>

#include "strings/ByteEscapes.h"

namespace refwarden {

// Returns `text` with the bytes below 0x20, 0x7F and '\' written as \xHH
// (lower-case hex), so that one request stays one line of the request log and
// an escape in the log cannot be forged. Bytes of 0x80 and above stay: the
// log keeps what the client sent.
inline std::string EscapeForLog(std::string_view text) {
  return EscapeBytes(text, HighBytes::kKept);
}

// EscapeHtml, for the demo's pages, is in strings/ByteEscapes.h.

}  // namespace refwarden
