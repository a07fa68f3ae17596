// The counts a replay gathers and the two ways it reports them: a summary for
// a person and one JSON object for scripts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/replay/RewriteKinds.h"
#include "tools/replay/TopCounter.h"

namespace refwarden {

// Returns the site part of a referer: what follows "//" up to the next '/',
// '?' or '#'; the whole referer when it holds no "//"; "(none)" when empty.
std::string_view RefererSite(std::string_view referer);

// How many more names than table.Top(top) lists share the last count it
// lists, when `top` cuts through a tie ("and N more with the same count");
// 0 when nothing is cut, or the cut falls between two counts.
std::size_t TiedBeyondTop(const TopCounter& table, std::size_t top);

// What became of one request.
struct RequestOutcome {
  bool image = false;      // its path is a protected one
  bool rewritten = false;  // the filter rewrote its URL
};

// One request as replayed, for the counts by day, file and kind.
struct ReplayedRequest {
  std::string_view path;     // the URL up to its first '?'
  std::string_view host;     // as the filter was given it
  std::string_view referer;  // empty when there was none
  std::size_t urlLength = 0;
  bool refererLogged = true;  // false: its log records no referer at all
  std::uint32_t date = 0;     // yyyymmdd (LogDates), 0 when unknown
  std::uint32_t file = 0;     // what AddFile returned for its file
};

// Requests, image requests and rewrites of one day or one file.
struct PartCounts {
  std::uint64_t requests = 0;
  std::uint64_t images = 0;
  std::uint64_t rewritten = 0;
};

// The filter reads each value into a buffer of 4,096 bytes and a NUL; a
// longer value reads as empty.
inline constexpr std::size_t kFilterValueLimit = 4096;

// Where the traces that were not written should have gone, and why.
struct TraceFault {
  std::string store;  // the trace store (a file, or the registry key on Windows)
  std::string error;  // what writing one again gave; "" when that worked
  std::string note;   // a line more about the error, or ""
};

// The lines tools/TraceCheck's DescribeTraceFault gives for `fault`, the
// same words check uses.
std::string DescribeTraceFault(const TraceFault& fault, std::string_view indent);

class ReplaySummary {
 public:
  // The memory each of the two top tables may take.
  static constexpr std::size_t kTableBudget = 16 << 20;
  static constexpr std::size_t kMalformedShown = 5;
  // The memory the top table of each kind of rewrite may take.
  static constexpr std::size_t kKindBudget = 1 << 20;
  // Distinct days kept; the requests of later new days count under date 0.
  static constexpr std::size_t kMaxDays = 3660;
  // The top entries shown for each kind of rewrite, at most.
  static constexpr std::size_t kKindTop = 5;

  ReplaySummary();

  // Counting. AddRequest may be called on another thread than the other
  // Add* and Set* calls, never at the same time as itself.

  // Counts one request. `path` is its URL up to the first '?';
  // `refererLogged` false says that its log records no referer at all.
  void AddRequest(std::string_view path, std::string_view referer, bool refererLogged,
                  const RequestOutcome& outcome) {
    ReplayedRequest request;
    request.path = path;
    request.referer = referer;
    request.refererLogged = refererLogged;
    AddRequest(request, outcome);
  }
  // Counts one request, also by its day, its file and, when rewritten, by
  // its kind (ClassifyRewrite); request.file must be 0 or from AddFile.
  void AddRequest(const ReplayedRequest& request, const RequestOutcome& outcome);
  // Counts one line read, whatever it held.
  void AddLine() { ++lines_; }
  void AddLines(std::uint64_t n) { lines_ += n; }
  // Counts `n` requests read from the logs and handed on to the filter's
  // queue; those of them a stop dropped before the filter are notReplayed().
  void AddRead(std::uint64_t n) { read_ += n; }
  // Counts a malformed line; the first few places are kept for the report.
  void AddMalformed(std::string_view file, std::uint64_t line);
  // Counts one file and returns its index for ReplayedRequest::file.
  std::uint32_t AddFile(std::string_view name = "(unnamed)");
  // Records that `file` could not be read to its end, and why.
  void AddError(std::string_view file, std::string_view why);
  // Records that a file was not replayed (or not to its end) because it is
  // not a log replay reads (`notALog`) or cannot be replayed as it stands;
  // `message` names the file and says why.
  void AddRefused(std::string message, bool notALog) {
    refused_.push_back(std::move(message));
    if (notALog) ++notALogs_;
  }
  void SetSeconds(double seconds) { seconds_ = seconds; }
  void SetInterrupted() { interrupted_ = true; }
  // Where the filter's trace went, said in the report.
  void SetTrace(std::string where) { trace_ = std::move(where); }
  // Counts `notWritten` requests whose trace was not written, and why not;
  // said in the report when there are any.
  void SetTracesNotWritten(std::uint64_t notWritten, TraceFault fault) {
    tracesNotWritten_ = notWritten;
    traceFault_ = std::move(fault);
  }

  std::uint64_t files() const { return files_; }
  std::uint64_t lines() const { return lines_; }
  std::uint64_t requests() const { return requests_; }
  // Requests read (AddRead) but never counted by AddRequest: dropped by a
  // stop before they went through the filter.
  std::uint64_t notReplayed() const { return read_ > requests_ ? read_ - requests_ : 0; }
  std::uint64_t malformed() const { return malformed_; }
  std::uint64_t images() const { return images_; }
  std::uint64_t rewritten() const { return rewritten_; }
  std::uint64_t withoutRefererField() const { return withoutRefererField_; }
  std::uint64_t tracesNotWritten() const { return tracesNotWritten_; }
  const TraceFault& traceFault() const { return traceFault_; }
  bool interrupted() const { return interrupted_; }
  const std::vector<std::string>& firstMalformed() const { return firstMalformed_; }
  const std::vector<std::string>& errors() const { return errors_; }
  const std::vector<std::string>& refused() const { return refused_; }
  std::uint64_t notALogs() const { return notALogs_; }

  // Image requests whose URL / Host is over kFilterValueLimit bytes: the
  // filter reads an empty path and lets them pass / reads an empty host,
  // which any absolute referer names.
  std::uint64_t longUrlImages() const { return longUrlImages_; }
  std::uint64_t longHostImages() const { return longHostImages_; }

  // Rewrites of one kind, and the top table of that kind: the paths of the
  // requests without a referer, the referer sites (RefererSite) of the rest.
  std::uint64_t kindCount(RewriteKind kind) const { return kinds_[Index(kind)]; }
  const TopCounter& kindTop(RewriteKind kind) const { return kindTops_[Index(kind)]; }
  // Counts by day (0: no date), in order of days.
  const std::map<std::uint32_t, PartCounts>& days() const { return days_; }
  // Counts by file, in the order the files were added, with their names.
  const std::vector<PartCounts>& fileCounts() const { return fileCounts_; }
  const std::vector<std::string>& fileNames() const { return fileNames_; }
  // The name of file `index`, or "(unnamed)".
  std::string FileName(std::size_t index) const;
  // days() as ("2024-05-01" or "(no date)", counts) rows.
  std::vector<std::pair<std::string, PartCounts>> DayRows() const;

  // Returns the `top` most frequent referer sites / paths of the rewritten
  // requests, most frequent first, ties in byte order. Exact unless the
  // table's exact() says otherwise (see TopCounter).
  std::vector<TopCounter::Entry> TopSites(std::size_t top) const { return sites_.Top(top); }
  std::vector<TopCounter::Entry> TopPaths(std::size_t top) const { return paths_.Top(top); }
  const TopCounter& sites() const { return sites_; }
  const TopCounter& paths() const { return paths_; }

  // The report for a person, several lines, ending with a newline; bytes
  // from the logs are shown escaped (TerminalText). With `top` 0 it has the
  // counts without the top lists.
  std::string Text(std::size_t top) const;
  // The same as one JSON object (bytes that are not UTF-8 become U+FFFD).
  std::string Json(std::size_t top) const;

 private:
  static std::size_t Index(RewriteKind kind) { return static_cast<std::size_t>(kind); }
  void AppendKinds(std::string* out, std::size_t top) const;
  void AppendDaysAndFiles(std::string* out) const;

  std::uint64_t files_ = 0;
  std::uint64_t lines_ = 0;
  std::uint64_t requests_ = 0;
  std::uint64_t read_ = 0;
  std::uint64_t malformed_ = 0;
  std::uint64_t images_ = 0;
  std::uint64_t rewritten_ = 0;
  std::uint64_t withoutRefererField_ = 0;
  std::uint64_t tracesNotWritten_ = 0;
  double seconds_ = 0;
  bool interrupted_ = false;
  std::string trace_;
  TraceFault traceFault_;
  std::vector<std::string> firstMalformed_;
  std::vector<std::string> errors_;
  std::vector<std::string> refused_;
  std::uint64_t notALogs_ = 0;
  TopCounter sites_;
  TopCounter paths_;
  std::uint64_t longUrlImages_ = 0;
  std::uint64_t longHostImages_ = 0;
  std::uint64_t kinds_[kRewriteKindCount] = {};
  std::vector<TopCounter> kindTops_;
  std::map<std::uint32_t, PartCounts> days_;
  // The day of the last request: logs come a day at a time.
  std::uint32_t lastDate_ = 0;
  PartCounts* lastDay_ = nullptr;
  // Written by AddRequest's thread only; the names by the other.
  std::vector<PartCounts> fileCounts_;
  std::vector<std::string> fileNames_;
};

}  // namespace refwarden
