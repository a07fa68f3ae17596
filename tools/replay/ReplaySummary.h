// The counts a replay gathers and the two ways it reports them: a summary for
// a person and one JSON object for scripts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace refwarden {

// Returns the site part of a referer: what follows "//" up to the next '/',
// '?' or '#'; the whole referer when it holds no "//"; "(none)" when empty.
std::string_view RefererSite(std::string_view referer);

using CountedName = std::pair<std::string, std::uint64_t>;

class ReplaySummary {
 public:
  // Counts one line read, whatever it held.
  void AddLine() { ++lines_; }
  // Counts one request. `path` is its URL up to the first '?'; `image` says
  // whether the path is protected; `rewritten` whether the filter rewrote it.
  void AddRequest(std::string_view path, std::string_view referer, bool image, bool rewritten);
  // Counts a malformed line; the first few places are kept for the report.
  void AddMalformed(std::string_view file, std::uint64_t line);
  void AddFile() { ++files_; }
  void SetSeconds(double seconds) { seconds_ = seconds; }

  std::uint64_t lines() const { return lines_; }
  std::uint64_t requests() const { return requests_; }
  std::uint64_t malformed() const { return malformed_; }
  std::uint64_t images() const { return images_; }
  std::uint64_t rewritten() const { return rewritten_; }
  const std::vector<std::string>& firstMalformed() const { return firstMalformed_; }

  // Returns the `top` most frequent referer sites / paths of the rewritten
  // requests, most frequent first, ties in byte order.
  std::vector<CountedName> TopSites(std::size_t top) const;
  std::vector<CountedName> TopPaths(std::size_t top) const;

  // The report for a person, several lines, ending with a newline.
  std::string Text(std::size_t top) const;
  // The same as one JSON object (bytes that are not UTF-8 become U+FFFD).
  std::string Json(std::size_t top) const;

  static constexpr std::size_t kMalformedShown = 5;

 private:
  std::uint64_t files_ = 0;
  std::uint64_t lines_ = 0;
  std::uint64_t requests_ = 0;
  std::uint64_t malformed_ = 0;
  std::uint64_t images_ = 0;
  std::uint64_t rewritten_ = 0;
  double seconds_ = 0;
  std::vector<std::string> firstMalformed_;
  std::unordered_map<std::string, std::uint64_t> sites_;
  std::unordered_map<std::string, std::uint64_t> paths_;
};

}  // namespace refwarden
