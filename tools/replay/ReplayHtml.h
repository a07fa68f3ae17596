// The replay's report as one self-contained HTML page: no script, no style,
// font or picture from elsewhere; the chart is inline SVG drawn here. Made to
// be looked at, printed and mailed to whoever decides on switching on.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "tools/replay/ReplaySummary.h"

namespace refwarden {

// Returns `text` fit for HTML text and attribute values: first escaped as
// TerminalText escapes it (control bytes and bytes that are not UTF-8 become
// \xHH), then & < > " ' as character references.
std::string HtmlText(std::string_view text);

// Returns the page: the summary's counts, the four kinds of rewrites with
// their top entries, a chart and a table by day, a table by file, the top
// referring sites and paths (`top` each), the note when a top table is
// approximate, and what to do next. Each count the page shows is also in a
// <data> element whose id names it ("requests", "kind-no_referer",
// "day-2024-05-01-rewritten", ...), so that a script can read it back.
std::string ReplayHtml(const ReplaySummary& summary, std::size_t top);

}  // namespace refwarden
