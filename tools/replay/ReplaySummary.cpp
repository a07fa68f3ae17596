#include "tools/replay/ReplaySummary.h"

#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "tools/replay/TerminalText.h"

namespace refwarden {

namespace {

constexpr std::string_view kNoReferer = "(none)";

// 1234567 -> "1,234,567"
std::string Grouped(std::uint64_t n) {
  std::string digits = std::to_string(n);
  for (std::size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, 1, ',');
  return digits;
}

std::string Percent(std::uint64_t part, std::uint64_t whole) {
  if (whole == 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%%",
                100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return text;
}

double Rate(std::uint64_t lines, double seconds) {
  return seconds > 0 ? static_cast<double>(lines) / seconds : 0.0;
}

// A name as the text report shows it: escaped, and cut short when long (the
// JSON has it whole).
std::string Shown(std::string_view name) {
  constexpr std::size_t kShownBytes = 160;
  if (name.size() <= kShownBytes) return TerminalText(name);
  std::size_t cut = kShownBytes;
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
  return TerminalText(name.substr(0, cut)) + "... (" + Grouped(name.size()) + " bytes)";
}

void AppendTop(std::string* out, std::string title, const char* names, const TopCounter& table,
               std::size_t top) {
  const std::vector<TopCounter::Entry> entries = table.Top(top);
  if (!table.exact()) {
    title += std::string(" (approximate: more distinct ") + names + " than fit in " +
             std::to_string(ReplaySummary::kTableBudget >> 20) + " MiB)";
  }
  *out += title + '\n';
  if (entries.empty()) *out += "  (no rewritten requests)\n";
  std::size_t width = 0;
  for (const auto& entry : entries) width = std::max(width, Grouped(entry.count).size());
  for (const auto& entry : entries) {
    const std::string count = Grouped(entry.count);
    *out += "  " + std::string(width - count.size(), ' ') + count + "  " + Shown(entry.name);
    if (entry.overcount > 0) *out += "  (at least " + Grouped(entry.count - entry.overcount) + ")";
    *out += '\n';
  }
  if (!entries.empty() && entries.size() == top) {
    const std::uint64_t last = entries.back().count;
    const std::size_t shown = static_cast<std::size_t>(
        std::count_if(entries.begin(), entries.end(),
                      [last](const TopCounter::Entry& entry) { return entry.count == last; }));
    const std::size_t more = table.WithCount(last) - shown;
    if (more > 0) *out += "  and " + Grouped(more) + " more with the same count\n";
  }
}

}  // namespace

std::string DescribeTraceFault(const TraceFault& fault, std::string_view indent) {
  const std::string lead(indent);
  std::string out = lead + "trace store: " + NameText(fault.store) + '\n';
  if (fault.error.empty()) {
    out +=
        lead + "writing one again worked: the fault has passed (the store may have been busy).\n";
  } else {
    out += lead + "it cannot be written: " + NameText(fault.error) + '\n';
  }
  if (!fault.note.empty()) out += lead + NameText(fault.note) + '\n';
  return out;
}

std::string_view RefererSite(std::string_view referer) {
  if (referer.empty()) return kNoReferer;
  const std::size_t slashes = referer.find("//");
  if (slashes == std::string_view::npos) return referer;
  std::string_view site = referer.substr(slashes + 2);
  site = site.substr(0, site.find_first_of("/?#"));
  const std::size_t at = site.rfind('@');
  if (at != std::string_view::npos) site.remove_prefix(at + 1);
  return site;
}

ReplaySummary::ReplaySummary() : sites_(kTableBudget), paths_(kTableBudget) {}

void ReplaySummary::AddRequest(std::string_view path, std::string_view referer, bool refererLogged,
                               const RequestOutcome& outcome) {
  ++requests_;
  if (!refererLogged) ++withoutRefererField_;
  if (outcome.image) ++images_;
  if (!outcome.rewritten) return;
  ++rewritten_;
  sites_.Add(RefererSite(referer));
  paths_.Add(path);
}

void ReplaySummary::AddMalformed(std::string_view file, std::uint64_t line) {
  ++malformed_;
  if (firstMalformed_.size() < kMalformedShown) {
    firstMalformed_.push_back(std::string(file) + ":" + std::to_string(line));
  }
}

void ReplaySummary::AddError(std::string_view file, std::string_view why) {
  errors_.push_back(std::string(file) + ": " + std::string(why));
}

std::string ReplaySummary::Text(std::size_t top) const {
  char head[200];
  std::snprintf(head, sizeof head, "%s %s %s, %s %s in %.2f s (%s lines/s)\n",
                interrupted_ ? "Interrupted after" : "Replayed", Grouped(files_).c_str(),
                files_ == 1 ? "file" : "files", Grouped(lines_).c_str(),
                lines_ == 1 ? "line" : "lines", seconds_,
                Grouped(static_cast<std::uint64_t>(Rate(lines_, seconds_))).c_str());
  std::string out = head;

  std::string malformedPlaces;
  for (const std::string& place : firstMalformed_)
    malformedPlaces += (malformedPlaces.empty() ? "at " : ", ") + NameText(place);
  if (malformed_ > firstMalformed_.size()) malformedPlaces += ", ...";

  struct Row {
    std::string label, count, note;
    std::string below = "";  // lines under the row, each ending with '\n'
  };
  std::vector<Row> rows = {
      {"requests", Grouped(requests_), ""},
      {"malformed lines skipped", Grouped(malformed_), malformedPlaces},
      {"image requests", Grouped(images_), Percent(images_, requests_) + " of requests"},
      {"rewritten", Grouped(rewritten_),
       Percent(rewritten_, requests_) + " of requests, " + Percent(rewritten_, images_) +
           " of image requests"},
  };
  if (withoutRefererField_ > 0) {
    rows.push_back({"from logs without referers", Grouped(withoutRefererField_),
                    "replayed as if none had a referer: each of their image requests counts "
                    "as hot-linked, so 'rewritten' is an upper bound"});
  }
  if (tracesNotWritten_ > 0) {
    rows.push_back({"traces not written", Grouped(tracesNotWritten_),
                    "so the filter let these requests pass unchanged",
                    DescribeTraceFault(traceFault_, "    ")});
  }
  if (!errors_.empty()) {
    std::string below;
    for (const std::string& error : errors_) below += "    " + NameText(error) + '\n';
    rows.push_back({"files not read to the end", Grouped(errors_.size()), "", below});
  }
  if (!refused_.empty()) {
    std::string below;
    for (const std::string& message : refused_) below += "    " + NameText(message) + '\n';
    rows.push_back({"files refused", Grouped(refused_.size()), "", below});
  }
  std::size_t width = 0;
  for (const Row& row : rows) width = std::max(width, row.count.size());
  for (const Row& row : rows) {
    char line[128];
    std::snprintf(line, sizeof line, "  %-26s %*s", row.label.c_str(), static_cast<int>(width),
                  row.count.c_str());
    out += line;
    if (!row.note.empty()) out += "  " + row.note;
    out += '\n' + row.below;
  }
  if (!trace_.empty()) out += "  trace: " + NameText(trace_) + '\n';
  if (top == 0) return out;
  out += '\n';
  AppendTop(&out, "Top referring sites of rewritten requests", "sites", sites_, top);
  out += '\n';
  AppendTop(&out, "Top rewritten paths", "paths", paths_, top);
  return out;
}

std::string ReplaySummary::Json(std::size_t top) const {
  const auto list = [top](const TopCounter& table, const char* key) {
    nlohmann::json array = nlohmann::json::array();
    for (const TopCounter::Entry& entry : table.Top(top)) {
      nlohmann::json item = {{key, entry.name}, {"count", entry.count}};
      if (!table.exact()) item["overcount"] = entry.overcount;
      array.push_back(std::move(item));
    }
    return array;
  };
  const bool failed = tracesNotWritten_ > 0;
  const nlohmann::json summary = {
      {"files", files_},
      {"lines", lines_},
      {"requests", requests_},
      {"malformed", malformed_},
      {"first_malformed", firstMalformed_},
      {"images", images_},
      {"rewritten", rewritten_},
      {"rewritten_share",
       requests_ == 0 ? 0.0 : static_cast<double>(rewritten_) / static_cast<double>(requests_)},
      {"without_referer_field", withoutRefererField_},
      {"traces_not_written", tracesNotWritten_},
      {"trace_store", failed ? nlohmann::json(traceFault_.store) : nlohmann::json()},
      {"trace_error",
       failed && !traceFault_.error.empty() ? nlohmann::json(traceFault_.error) : nlohmann::json()},
      {"top_referer_sites", list(sites_, "site")},
      {"top_referer_sites_exact", sites_.exact()},
      {"top_rewritten_paths", list(paths_, "path")},
      {"top_rewritten_paths_exact", paths_.exact()},
      {"errors", errors_},
      {"refused", refused_},
      {"interrupted", interrupted_},
      {"trace", trace_},
      {"seconds", seconds_},
      {"lines_per_second", Rate(lines_, seconds_)},
  };
  return summary.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace refwarden
