// Request bytes made safe for where the server writes them.
#pragma once

#include <string>
#include <string_view>

namespace refwarden {

// Returns `text` with the bytes below 0x20, 0x7F and '\' written as \xHH
// (lower-case hex), so that one request stays one line of the request log and
// an escape in the log cannot be forged.
std::string EscapeForLog(std::string_view text);

// Returns `text` with &, <, >, " and ' written as character references, safe
// inside HTML text and quoted attribute values.
std::string EscapeHtml(std::string_view text);

}  // namespace refwarden
