// The day a log line records, kept as one number (yyyymmdd) so that it costs
// nothing to carry and sorts as days do. The day is the one the log writes:
// UTC for IIS's "date", the server's local day for "date-local" and the
// combined format's timestamp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace refwarden {

// Returns yyyymmdd for a W3C date ("2024-05-01", perhaps followed by more),
// or 0 when `text` does not start with one (month 1-12, day 1-31).
std::uint32_t ParseW3cDate(std::string_view text);

// Returns yyyymmdd for a combined-format timestamp without its brackets
// ("01/May/2024:10:00:00 +0000"; the month's name in any case), or 0.
std::uint32_t ParseCombinedDate(std::string_view text);

// "2024-05-01" for 20240501; "(no date)" for 0.
std::string FormatDate(std::uint32_t date);

}  // namespace refwarden
