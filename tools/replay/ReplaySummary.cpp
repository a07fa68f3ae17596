#include "tools/replay/ReplaySummary.h"

#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>


namespace refwarden {

namespace {

constexpr std::string_view kNoReferer = "(none)";

std::vector<CountedName> Top(const std::unordered_map<std::string, std::uint64_t>& counts,
                             std::size_t top) {
  std::vector<CountedName> all(counts.begin(), counts.end());
  const auto before = [](const CountedName& a, const CountedName& b) {
    return a.second != b.second ? a.second > b.second : a.first < b.first;
  };
  const std::size_t n = std::min(top, all.size());
  std::partial_sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n), all.end(), before);
  all.resize(n);
  return all;
}

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

void AppendTop(std::string* out, const char* title, const std::vector<CountedName>& top) {
  *out += title;
  *out += '\n';
  if (top.empty()) *out += "  (no rewritten requests)\n";
  std::size_t width = 0;
  for (const CountedName& entry : top) width = std::max(width, Grouped(entry.second).size());
  for (const CountedName& entry : top) {
    const std::string count = Grouped(entry.second);
    *out += "  " + std::string(width - count.size(), ' ') + count + "  " + entry.first + '\n';
  }
}

}  // namespace

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

void ReplaySummary::AddRequest(std::string_view path, std::string_view referer, bool image,
                               bool rewritten) {
  ++requests_;
  if (image) ++images_;
  if (!rewritten) return;
  ++rewritten_;
  ++sites_[std::string(RefererSite(referer))];
  ++paths_[std::string(path)];
}

void ReplaySummary::AddMalformed(std::string_view file, std::uint64_t line) {
  ++malformed_;
  if (firstMalformed_.size() < kMalformedShown) {
    firstMalformed_.push_back(std::string(file) + ":" + std::to_string(line));
  }
}

std::vector<CountedName> ReplaySummary::TopSites(std::size_t top) const { return Top(sites_, top); }

std::vector<CountedName> ReplaySummary::TopPaths(std::size_t top) const { return Top(paths_, top); }

std::string ReplaySummary::Text(std::size_t top) const {
  char head[160];
  std::snprintf(head, sizeof head, "Replayed %s %s, %s %s in %.2f s (%s lines/s)\n",
                Grouped(files_).c_str(), files_ == 1 ? "file" : "files", Grouped(lines_).c_str(),
                lines_ == 1 ? "line" : "lines", seconds_,
                Grouped(static_cast<std::uint64_t>(Rate(lines_, seconds_))).c_str());
  std::string out = head;

  const std::string rows[4][3] = {
      {"requests", Grouped(requests_), ""},
      {"malformed lines skipped", Grouped(malformed_), ""},
      {"image requests", Grouped(images_), Percent(images_, requests_) + " of requests"},
      {"rewritten", Grouped(rewritten_),
       Percent(rewritten_, requests_) + " of requests, " + Percent(rewritten_, images_) +
           " of image requests"},
  };
  std::size_t width = 0;
  for (const auto& row : rows) width = std::max(width, row[1].size());
  for (const auto& row : rows) {
    std::string extra = row[2];
    if (&row == &rows[1] && !firstMalformed_.empty()) {
      for (const std::string& place : firstMalformed_)
        extra += (extra.empty() ? "at " : ", ") + place;
      if (malformed_ > firstMalformed_.size()) extra += ", ...";
    }
    char line[128];
    std::snprintf(line, sizeof line, "  %-24s %*s", row[0].c_str(), static_cast<int>(width),
                  row[1].c_str());
    out += line;
    if (!extra.empty()) out += "  " + extra;
    out += '\n';
  }
  out += '\n';
  AppendTop(&out, "Top referring sites of rewritten requests", TopSites(top));
  out += '\n';
  AppendTop(&out, "Top rewritten paths", TopPaths(top));
  return out;
}

std::string ReplaySummary::Json(std::size_t top) const {
  const auto list = [](const std::vector<CountedName>& entries, const char* key) {
    nlohmann::json array = nlohmann::json::array();
    for (const CountedName& entry : entries)
      array.push_back({{key, entry.first}, {"count", entry.second}});
    return array;
  };
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
      {"top_referer_sites", list(TopSites(top), "site")},
      {"top_rewritten_paths", list(TopPaths(top), "path")},
      {"seconds", seconds_},
      {"lines_per_second", Rate(lines_, seconds_)},
  };
  return summary.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace refwarden
