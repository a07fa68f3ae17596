// Showing bytes from a log on a terminal without letting them act on it.
#pragma once

#include <string>
#include <string_view>

namespace refwarden {

// Returns `bytes` fit for a terminal: valid UTF-8 stays as it is, except the
// control characters (below 0x20, 0x7F, and U+0080 to U+009F), which become
// \xHH for each of their bytes, as does every byte that is not part of valid
// UTF-8; a backslash becomes \\ so that the escapes stay unambiguous.
std::string TerminalText(std::string_view bytes);

}  // namespace refwarden
