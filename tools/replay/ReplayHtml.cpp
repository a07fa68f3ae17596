#include "tools/replay/ReplayHtml.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "strings/ByteEscapes.h"
#include "tools/replay/ReportNumbers.h"
#include "tools/replay/TerminalText.h"

namespace refwarden {

namespace {

constexpr RewriteKind kKinds[kRewriteKindCount] = {RewriteKind::kNoReferer, RewriteKind::kSameSite,
                                                   RewriteKind::kLikelyAlias,
                                                   RewriteKind::kOtherSite};

// A name longer than this is cut short on the page, so that hostile logs
// cannot make it large.
constexpr std::size_t kShownBytes = 200;



std::string Shown(std::string_view name) {
  if (name.size() <= kShownBytes) return HtmlText(name);
  std::size_t cut = kShownBytes;
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
  return HtmlText(name.substr(0, cut)) + "&hellip; (" + Grouped(name.size()) + " bytes)";
}

// A count the page shows, readable back by its id.
std::string Count(const std::string& id, std::uint64_t n) {
  return "<data id=\"" + HtmlText(id) + "\" value=\"" + std::to_string(n) + "\">" + Grouped(n) +
         "</data>";
}

constexpr const char* kStyle = R"(
body{font:15px/1.45 system-ui,-apple-system,"Segoe UI",sans-serif;color:#1d2330;max-width:980px;margin:24px auto;padding:0 16px}
h1{font-size:24px;margin:0 0 4px}h2{font-size:18px;margin:28px 0 8px;border-bottom:1px solid #d5d9e0;padding-bottom:4px}
p.lead{color:#4a5262;margin:0 0 12px}table{border-collapse:collapse;margin:4px 0 8px}
th,td{padding:3px 10px;text-align:left;vertical-align:top;border-bottom:1px solid #eceef2}
td.n,th.n{text-align:right;font-variant-numeric:tabular-nums;white-space:nowrap}
td.name{word-break:break-all;font-family:ui-monospace,Consolas,monospace;font-size:13px}
.meaning{color:#4a5262;font-size:14px}.note{background:#fff6db;border-left:4px solid #e0b000;padding:6px 10px}
.k0{color:#8a5a00}.k1,.k2{color:#a3001d}.k3{color:#1d5fb0}
svg{display:block;max-width:100%;height:auto}svg text{font:11px system-ui,sans-serif;fill:#4a5262}
.legend span{display:inline-block;width:11px;height:11px;margin:0 4px 0 14px;vertical-align:-1px}
@media print{body{margin:0;max-width:none;font-size:12px}h2{break-after:avoid}table,svg{break-inside:avoid}}
)";

// The three series of the chart, their fills (light to dark, so that the
// chart also reads in grey on paper) and labels.
struct Series {
  const char* id;
  const char* fill;
  const char* label;
};
constexpr Series kSeries[3] = {{"requests", "#c9d3e3", "requests"},
                               {"images", "#6f8fc4", "image requests"},
                               {"rewritten", "#b00020", "rewritten"}};

std::uint64_t Value(const PartCounts& counts, int series) {
  return series == 0 ? counts.requests : series == 1 ? counts.images : counts.rewritten;
}

// Grouped bars, one group a day, drawn on a fixed-height canvas that scales
// to the page's width.
std::string DayChart(const std::vector<std::pair<std::string, PartCounts>>& days) {
  constexpr double kWidth = 940, kHeight = 260, kLeft = 56, kRight = 8, kTop = 10, kBottom = 34;
  std::uint64_t most = 1;
  for (const auto& day : days) most = std::max(most, day.second.requests);
  // A round top for the scale: 1, 2 or 5 times a power of ten.
  std::uint64_t scale = 1;
  while (scale < most) {
    if (scale * 2 >= most) {
      scale *= 2;
      break;
    }
    if (scale * 5 >= most) {
      scale *= 5;
      break;
    }
    scale *= 10;
  }
  const double plotWidth = kWidth - kLeft - kRight;
  const double plotHeight = kHeight - kTop - kBottom;
  // A few days keep bars of a sensible width, to the left.
  const double slot =
      std::min(72.0, plotWidth / static_cast<double>(std::max<std::size_t>(days.size(), 1)));
  const double bar = std::max(1.0, slot * 0.8 / 3);
  char buffer[512];
  std::string svg;
  std::snprintf(buffer, sizeof buffer,
                "<svg id=\"day-chart\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 %.0f "
                "%.0f\" width=\"%.0f\" height=\"%.0f\" role=\"img\" aria-label=\"Requests, image "
                "requests and rewrites by day\">\n",
                kWidth, kHeight, kWidth, kHeight);
  svg += buffer;
  // Gridlines at whole numbers: fifths of 5 and 10, quarters of 20, halves of 2.
  const int ticks = scale % 5 == 0 ? 5 : scale % 4 == 0 ? 4 : scale % 2 == 0 ? 2 : 1;
  for (int tick = 0; tick <= ticks; ++tick) {
    const double y = kTop + plotHeight * (1 - static_cast<double>(tick) / ticks);
    const std::uint64_t value =
        scale * static_cast<std::uint64_t>(tick) / static_cast<std::uint64_t>(ticks);
    std::snprintf(buffer, sizeof buffer,
                  "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\"/>"
                  "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%s</text>\n",
                  kLeft, y, kWidth - kRight, y, tick == 0 ? "#8a93a3" : "#e3e6eb", kLeft - 6, y + 4,
                  Grouped(value).c_str());
    svg += buffer;
  }
  // Label about ten days, whatever their number.
  const std::size_t every = std::max<std::size_t>(1, (days.size() + 9) / 10);
  for (std::size_t d = 0; d < days.size(); ++d) {
    const double x0 = kLeft + slot * static_cast<double>(d) + slot * 0.1;
    for (int s = 0; s < 3; ++s) {
      const std::uint64_t value = Value(days[d].second, s);
      const double h = plotHeight * static_cast<double>(value) / static_cast<double>(scale);
      std::snprintf(buffer, sizeof buffer,
                    "<rect class=\"bar %s\" x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" "
                    "fill=\"%s\"><title>%s: %s %s</title></rect>",
                    kSeries[s].id, x0 + bar * s, kTop + plotHeight - h, bar, h, kSeries[s].fill,
                    days[d].first.c_str(), Grouped(value).c_str(), kSeries[s].label);
      svg += buffer;
    }
    if (d % every == 0) {
      // "2024-05-01" is labelled "05-01"; the year is in the table.
      const std::string label = days[d].first.size() == 10 ? days[d].first.substr(5) : "?";
      std::snprintf(buffer, sizeof buffer,
                    "<text x=\"%.2f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>", x0 + bar * 1.5,
                    kHeight - kBottom + 16, label.c_str());
      svg += buffer;
    }
    svg += '\n';
  }
  svg += "</svg>\n<p class=\"legend\">";
  for (const Series& s : kSeries)
    svg += std::string("<span style=\"background:") + s.fill + "\"></span>" + s.label;
  svg += "</p>\n";
  return svg;
}

std::string PartsTable(const char* idPrefix, const char* heading,
                       const std::vector<std::pair<std::string, PartCounts>>& parts,
                       bool namesAreText) {
  std::string out = std::string("<table><tr><th>") + heading +
                    "</th><th class=\"n\">requests</th><th class=\"n\">image requests</th>"
                    "<th class=\"n\">rewritten</th></tr>\n";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    // Files by their place, days by their date ("(no date)" as "none").
    const std::string key =
        std::string(idPrefix) + (namesAreText               ? std::to_string(i + 1)
                                 : parts[i].first[0] == '(' ? std::string("none")
                                                            : parts[i].first);
    out += std::string("<tr><td") + (namesAreText ? " class=\"name\"" : "") + ">" +
           (namesAreText ? Shown(parts[i].first) : HtmlText(parts[i].first)) + "</td>";
    for (int s = 0; s < 3; ++s) {
      out += "<td class=\"n\">" + Count(key + "-" + kSeries[s].id, Value(parts[i].second, s)) +
             "</td>";
    }
    out += "</tr>\n";
  }
  return out + "</table>\n";
}

std::string TopTable(const char* id, const char* what, const TopCounter& table, std::size_t top) {
  const std::vector<TopCounter::Entry> entries = table.Top(top);
  if (entries.empty()) return "<p>(no rewritten requests)</p>\n";
  std::string out = std::string("<table id=\"") + id + "\"><tr><th class=\"n\">rewrites</th><th>" +
                    what + "</th></tr>\n";
  for (const TopCounter::Entry& entry : entries) {
    out += "<tr><td class=\"n\">" + Grouped(entry.count);
    if (entry.overcount > 0) out += " (at least " + Grouped(entry.count - entry.overcount) + ")";
    out += "</td><td class=\"name\">" + Shown(entry.name) + "</td></tr>\n";
  }
  out += "</table>\n";
  const std::size_t more = TiedBeyondTop(table, top);
  if (more > 0) out += "<p class=\"note\">and " + Grouped(more) + " more with the same count</p>\n";
  if (!table.exact()) {
    out += std::string("<p class=\"note\">Approximate: more distinct ") + what + " than fit in " +
           std::to_string(ReplaySummary::kTableBudget >> 20) +
           " MiB, so these counts may be too high by the amount shown (Space-Saving); every " +
           what + " more frequent than the last one listed is among them.</p>\n";
  }
  return out;
}

constexpr const char* kNextSteps = R"(<h2>What to do next</h2>
<ul>
<li><b>Requests without a referer</b> get the placeholder: visitors who open a picture directly,
from a bookmark or a mail, and browsers or privacy tools that send no Referer. The filter has no
settings; this is its rule.</li>
<li><b>The site under another name</b> gets the placeholder: the filter passes a picture only when
the referer holds the request's Host exactly (<code>/</code>, the Host, <code>/</code>). Serve the
pictures under one host name, and redirect the aliases (<code>www.</code> or not, other names,
other ports) to it before switching on.</li>
<li><b>Caching</b>: the same URL answers the picture or the placeholder depending on the referer.
Do not let shared caches keep protected pictures (<code>Cache-Control: private</code>), or give
them a short <code>max-age</code>; a CDN in front of IIS sees one answer per URL and hands it to
everyone.</li>
<li><b>The trace</b> grows by one value for every distinct path any client ever asks for. See its
size with <code>refwarden reg query</code>; removing it is safe (the filter makes it again).</li>
<li><b>Buffer limits</b>: a URL over 4,096 bytes passes unrewritten; a Host over 4,096 bytes reads
as empty, so any absolute referer passes.</li>
<li><b>What still gets through</b>: the suffix written another way (<code>/a.JPG</code>,
<code>/a%2ejpg</code>) where the server maps it to the same file; a referer that merely holds
<code>/</code>, the Host, <code>/</code> somewhere; a request without a Host; every request while
the trace cannot be written.</li>
</ul>
)";

}  // namespace

std::string HtmlText(std::string_view text) { return EscapeHtml(TerminalText(text)); }

std::string ReplayHtml(const ReplaySummary& s, std::size_t top) {
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      "<title>Refwarden replay: who would get the placeholder</title>\n<style>" +
      std::string(kStyle) + "</style>\n</head>\n<body>\n<h1>Replay of access logs</h1>\n";
  out += std::string("<p class=\"lead\">") +
         (s.interrupted() ? "Interrupted after " : "Replayed ") + Count("files", s.files()) +
         (s.files() == 1 ? " file, " : " files, ") + Count("lines", s.lines()) +
         " lines, through the filter as it would run on the site.</p>\n";

  out += "<h2>Summary</h2>\n<table>\n";
  const auto row = [&out](const char* label, const std::string& id, std::uint64_t n,
                          const std::string& note) {
    out += std::string("<tr><th>") + label + "</th><td class=\"n\">" + Count(id, n) +
           "</td><td class=\"meaning\">" + note + "</td></tr>\n";
  };
  row("requests", "requests", s.requests(), "");
  row("malformed lines skipped", "malformed", s.malformed(), "");
  row("image requests", "images", s.images(), Percent(s.images(), s.requests()) + " of requests");
  row("rewritten", "rewritten", s.rewritten(),
      Percent(s.rewritten(), s.requests()) + " of requests, " + Percent(s.rewritten(), s.images()) +
          " of image requests");
  if (s.withoutRefererField() > 0) {
    row("from logs without referers", "without_referer_field", s.withoutRefererField(),
        "replayed as if none had a referer: each of their image requests counts as hot-linked, "
        "so &lsquo;rewritten&rsquo; is an upper bound");
  }
  row("URLs over 4,096 bytes", "long_url_images", s.longUrlImages(),
      "image requests: the filter reads an empty path and lets them pass");
  row("Hosts over 4,096 bytes", "long_host_images", s.longHostImages(),
      "image requests: read as no host, so any absolute referer passes");
  if (s.tracesNotWritten() > 0) {
    row("traces not written", "traces_not_written", s.tracesNotWritten(),
        "so the filter let these requests pass unchanged; trace store: " +
            HtmlText(s.traceFault().store) +
            (s.traceFault().error.empty() ? "" : ": " + HtmlText(s.traceFault().error)));
  }
  out += "</table>\n";
  for (const std::string& error : s.errors())
    out += "<p class=\"note\">Not read to the end: " + HtmlText(error) + "</p>\n";

  out += "<h2>Who would get the placeholder</h2>\n<p>The " + Grouped(s.rewritten()) +
         " rewritten requests, by how their referer names the site. The filter decides alone and "
         "exactly; this only explains its decisions. The alias kind is a guess by the names.</p>\n"
         "<table>\n";
  for (std::size_t k = 0; k < kRewriteKindCount; ++k) {
    const RewriteKind kind = kKinds[k];
    const std::uint64_t n = s.kindCount(kind);
    out += "<tr><th class=\"k" + std::to_string(k) + "\">" + std::string(RewriteKindTitle(kind)) +
           "</th><td class=\"n\">" + Count("kind-" + std::string(RewriteKindKey(kind)), n) +
           "</td><td class=\"n\">" + Percent(n, s.rewritten()) +
           "</td><td><div class=\"meaning\">" + std::string(RewriteKindMeaning(kind)) + "</div>";
    const auto entries = s.kindTop(kind).Top(std::min(top, ReplaySummary::kKindTop));
    if (!entries.empty()) {
      out += "<table>";
      for (const TopCounter::Entry& entry : entries) {
        out += "<tr><td class=\"n\">" + Grouped(entry.count) + "</td><td class=\"name\">" +
               Shown(entry.name) + "</td></tr>";
      }
      out += "</table>";
      if (!s.kindTop(kind).exact()) out += "<div class=\"meaning\">(approximate)</div>";
    }
    out += "</td></tr>\n";
  }
  out += "</table>\n";

  const auto days = s.DayRows();
  if (!days.empty()) {
    out += "<h2>By day</h2>\n" + DayChart(days);
    out += PartsTable("day-", "day", days, false);
  }
  std::vector<std::pair<std::string, PartCounts>> files;
  const std::size_t fileCount = std::max(s.fileCounts().size(), s.fileNames().size());
  for (std::size_t i = 0; i < fileCount; ++i) {
    files.emplace_back(s.FileName(i), i < s.fileCounts().size() ? s.fileCounts()[i] : PartCounts{});
  }
  if (!files.empty()) out += "<h2>By file</h2>\n" + PartsTable("file-", "file", files, true);

  out += "<h2>Top referring sites of rewritten requests</h2>\n" +
         TopTable("top-sites", "sites", s.sites(), top);
  out += "<h2>Top rewritten paths</h2>\n" + TopTable("top-paths", "paths", s.paths(), top);
  out += kNextSteps;
  out += "</body>\n</html>\n";
  return out;
}

}  // namespace refwarden
