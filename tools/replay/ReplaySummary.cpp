#include "tools/replay/ReplaySummary.h"

#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "tools/TraceCheck.h"
#include "tools/replay/LogDates.h"
#include "tools/replay/ReportNumbers.h"
#include "tools/replay/TerminalText.h"

namespace refwarden {

namespace {

constexpr std::string_view kNoReferer = "(none)";



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
  const std::size_t more = TiedBeyondTop(table, top);
  if (more > 0) *out += "  and " + Grouped(more) + " more with the same count\n";
}

// `text` as lines of at most `width` bytes (words longer stay whole), each
// starting with `indent` and ending with '\n'.
std::string Wrapped(std::string_view text, std::string_view indent, std::size_t width = 96) {
  std::string out, line;
  while (!text.empty()) {
    const std::size_t space = text.find(' ');
    const std::string_view word = text.substr(0, space);
    text = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
    if (!line.empty() && indent.size() + line.size() + 1 + word.size() > width) {
      out += std::string(indent) + line + '\n';
      line.clear();
    }
    if (!line.empty()) line += ' ';
    line += word;
  }
  if (!line.empty()) out += std::string(indent) + line + '\n';
  return out;
}

constexpr RewriteKind kKinds[kRewriteKindCount] = {RewriteKind::kNoReferer, RewriteKind::kSameSite,
                                                   RewriteKind::kLikelyAlias,
                                                   RewriteKind::kOtherSite};

// A table of counts by part (a day or a file), one line each; `title` heads
// the column of the parts' names, which comes first for days and last for
// files (whose names may be long).
void AppendParts(std::string* out, std::string_view title, bool nameLast,
                 const std::vector<std::pair<std::string, PartCounts>>& parts) {
  std::size_t width = 9;  // "rewritten"
  for (const auto& part : parts) {
    width = std::max({width, Grouped(part.second.requests).size(),
                      Grouped(part.second.images).size(), Grouped(part.second.rewritten).size()});
  }
  const int w = static_cast<int>(width);
  const auto line = [&](const std::string& name, const std::string& a, const std::string& b,
                        const std::string& c) {
    char counts[128];
    std::snprintf(counts, sizeof counts, "%*s  %*s  %*s", w, a.c_str(), w, b.c_str(), w, c.c_str());
    char first[32] = "";
    if (!nameLast) std::snprintf(first, sizeof first, "%-12s", name.c_str());
    *out += std::string("  ") + first + counts + (nameLast ? "  " + name : "") + '\n';
  };
  line(std::string(title), "requests", "images", "rewritten");
  for (const auto& part : parts) {
    line(part.first, Grouped(part.second.requests), Grouped(part.second.images),
         Grouped(part.second.rewritten));
  }
}

}  // namespace

std::string DescribeTraceFault(const TraceFault& fault, std::string_view indent) {
  return DescribeTraceFault(fault.store, fault.error, fault.note, indent);
}

std::size_t TiedBeyondTop(const TopCounter& table, std::size_t top) {
  const std::vector<TopCounter::Entry> entries = table.Top(top);
  if (entries.empty() || entries.size() < top) return 0;
  const std::uint64_t last = entries.back().count;
  const std::size_t shown = static_cast<std::size_t>(
      std::count_if(entries.begin(), entries.end(),
                    [last](const TopCounter::Entry& entry) { return entry.count == last; }));
  return table.WithCount(last) - shown;
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

ReplaySummary::ReplaySummary() : sites_(kTableBudget), paths_(kTableBudget) {
  for (std::size_t k = 0; k < kRewriteKindCount; ++k) kindTops_.emplace_back(kKindBudget);
}

std::uint32_t ReplaySummary::AddFile(std::string_view name) {
  ++files_;
  fileNames_.emplace_back(name);
  return static_cast<std::uint32_t>(fileNames_.size() - 1);
}

void ReplaySummary::AddRequest(const ReplayedRequest& request, const RequestOutcome& outcome) {
  ++requests_;
  if (!request.refererLogged) ++withoutRefererField_;
  if (lastDay_ == nullptr || request.date != lastDate_) {
    std::uint32_t date = request.date;
    if (days_.size() >= kMaxDays && days_.count(date) == 0) date = 0;
    lastDay_ = &days_[date];  // map nodes stay where they are
    lastDate_ = request.date;
  }
  PartCounts& day = *lastDay_;
  if (request.file >= fileCounts_.size()) fileCounts_.resize(request.file + std::size_t{1});
  PartCounts& file = fileCounts_[request.file];
  ++day.requests;
  ++file.requests;
  if (outcome.image) {
    ++images_;
    ++day.images;
    ++file.images;
    if (request.urlLength > kFilterValueLimit) ++longUrlImages_;
    if (request.host.size() > kFilterValueLimit) ++longHostImages_;
  }
  if (!outcome.rewritten) return;
  ++rewritten_;
  ++day.rewritten;
  ++file.rewritten;
  const std::string_view site = RefererSite(request.referer);
  sites_.Add(site);
  paths_.Add(request.path);
  const RewriteKind kind = ClassifyRewrite(request.host, request.referer);
  ++kinds_[Index(kind)];
  kindTops_[Index(kind)].Add(kind == RewriteKind::kNoReferer ? request.path : site);
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
  if (notReplayed() > 0) {
    rows.insert(rows.begin() + 1, {"read but not replayed", Grouped(notReplayed()),
                                   "the stop came before they went through the filter"});
  }
  if (withoutRefererField_ > 0) {
    rows.push_back({"from logs without referers", Grouped(withoutRefererField_),
                    "replayed as if none had a referer: each of their image requests counts "
                    "as hot-linked, so 'rewritten' is an upper bound"});
  }
  if (longUrlImages_ > 0) {
    rows.push_back({"URLs over 4,096 bytes", Grouped(longUrlImages_),
                    "image requests: the filter reads an empty path and lets them pass"});
  }
  if (longHostImages_ > 0) {
    rows.push_back({"Hosts over 4,096 bytes", Grouped(longHostImages_),
                    "image requests: read as no host, so any absolute referer passes"});
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
  AppendKinds(&out, top);
  AppendDaysAndFiles(&out);
  if (top == 0) return out;
  out += '\n';
  AppendTop(&out, "Top referring sites of rewritten requests", "sites", sites_, top);
  out += '\n';
  AppendTop(&out, "Top rewritten paths", "paths", paths_, top);
  return out;
}

void ReplaySummary::AppendKinds(std::string* out, std::size_t top) const {
  if (rewritten_ == 0) return;
  *out += "\nWho would get the placeholder: the " + Grouped(rewritten_) +
          " rewritten requests by their referer\n";
  std::size_t width = 0;
  for (RewriteKind kind : kKinds) width = std::max(width, Grouped(kindCount(kind)).size());
  for (RewriteKind kind : kKinds) {
    char line[160];
    std::snprintf(line, sizeof line, "  %-38s %*s  %s\n",
                  std::string(RewriteKindTitle(kind)).c_str(), static_cast<int>(width),
                  Grouped(kindCount(kind)).c_str(), Percent(kindCount(kind), rewritten_).c_str());
    *out += line;
    if (kindCount(kind) == 0) continue;
    *out += Wrapped(RewriteKindMeaning(kind), "      ");
    if (!kindTop(kind).exact()) *out += "      (the top entries are approximate)\n";
    for (const TopCounter::Entry& entry : kindTop(kind).Top(std::min(top, kKindTop))) {
      *out += "        " + Grouped(entry.count) + "  " + Shown(entry.name) + '\n';
    }
  }
}

std::vector<std::pair<std::string, PartCounts>> ReplaySummary::DayRows() const {
  std::vector<std::pair<std::string, PartCounts>> rows;
  for (const auto& day : days_) rows.emplace_back(FormatDate(day.first), day.second);
  return rows;
}

std::string ReplaySummary::FileName(std::size_t index) const {
  return index < fileNames_.size() ? fileNames_[index] : "(unnamed)";
}

void ReplaySummary::AppendDaysAndFiles(std::string* out) const {
  if (!days_.empty() && !(days_.size() == 1 && days_.begin()->first == 0)) {
    *out += "\nBy day\n";
    AppendParts(out, "day", false, DayRows());
  }
  const std::size_t files = std::max(fileCounts_.size(), fileNames_.size());
  if (files > 1) {
    std::vector<std::pair<std::string, PartCounts>> rows;
    for (std::size_t i = 0; i < files; ++i)
      rows.emplace_back(Shown(FileName(i)), i < fileCounts_.size() ? fileCounts_[i] : PartCounts{});
    *out += "\nBy file\n";
    AppendParts(out, "file", true, rows);
  }
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
  nlohmann::json kinds = nlohmann::json::object();
  for (RewriteKind kind : kKinds) {
    kinds[std::string(RewriteKindKey(kind))] = {
        {"count", kindCount(kind)},
        {"title", RewriteKindTitle(kind)},
        {"meaning", RewriteKindMeaning(kind)},
        {"top", list(kindTop(kind), kind == RewriteKind::kNoReferer ? "path" : "site")},
    };
  }
  const auto counts = [](nlohmann::json item, const PartCounts& part) {
    item["requests"] = part.requests;
    item["images"] = part.images;
    item["rewritten"] = part.rewritten;
    return item;
  };
  nlohmann::json perDay = nlohmann::json::array();
  for (const auto& day : days_) {
    perDay.push_back(counts(
        {{"date", day.first == 0 ? nlohmann::json() : nlohmann::json(FormatDate(day.first))}},
        day.second));
  }
  nlohmann::json perFile = nlohmann::json::array();
  for (std::size_t i = 0; i < std::max(fileCounts_.size(), fileNames_.size()); ++i) {
    perFile.push_back(
        counts({{"file", FileName(i)}}, i < fileCounts_.size() ? fileCounts_[i] : PartCounts{}));
  }
  const nlohmann::json summary = {
      {"files", files_},
      {"lines", lines_},
      {"requests", requests_},
      {"read_not_replayed", notReplayed()},
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
      {"top_referer_sites_tied_beyond", TiedBeyondTop(sites_, top)},
      {"top_rewritten_paths", list(paths_, "path")},
      {"top_rewritten_paths_exact", paths_.exact()},
      {"top_rewritten_paths_tied_beyond", TiedBeyondTop(paths_, top)},
      {"rewrite_kinds", kinds},
      {"per_day", perDay},
      {"per_file", perFile},
      {"long_url_images", longUrlImages_},
      {"long_host_images", longHostImages_},
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
