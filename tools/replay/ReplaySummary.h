// The counts a replay gathers and the two ways it reports them: a summary for
// a person and one JSON object for scripts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/replay/TopCounter.h"

namespace refwarden {

// Returns the site part of a referer: what follows "//" up to the next '/',
// '?' or '#'; the whole referer when it holds no "//"; "(none)" when empty.
std::string_view RefererSite(std::string_view referer);

// What became of one request.
struct RequestOutcome {
  bool image = false;      // its path is a protected one
  bool rewritten = false;  // the filter rewrote its URL
};

// Where the traces that were not written should have gone, and why.
struct TraceFault {
  std::string store;  // the trace store (a file, or the registry key on Windows)
  std::string error;  // what writing one again gave; "" when that worked
  std::string note;   // a line more about the error, or ""
};

// Lines for a person, each starting with `indent` and ending with '\n': the
// trace store, and why it cannot be written or that writing again worked;
// bytes that could act on a terminal are escaped (NameText).
std::string DescribeTraceFault(const TraceFault& fault, std::string_view indent);

class ReplaySummary {
 public:
  // The memory each of the two top tables may take.
  static constexpr std::size_t kTableBudget = 16 << 20;
  static constexpr std::size_t kMalformedShown = 5;

  ReplaySummary();

  // Counting. AddRequest may be called on another thread than the other
  // Add* and Set* calls, never at the same time as itself.

  // Counts one request. `path` is its URL up to the first '?';
  // `refererLogged` false says that its log records no referer at all.
  void AddRequest(std::string_view path, std::string_view referer, bool refererLogged,
                  const RequestOutcome& outcome);
  // Counts one line read, whatever it held.
  void AddLine() { ++lines_; }
  void AddLines(std::uint64_t n) { lines_ += n; }
  // Counts a malformed line; the first few places are kept for the report.
  void AddMalformed(std::string_view file, std::uint64_t line);
  void AddFile() { ++files_; }
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
  std::uint64_t files_ = 0;
  std::uint64_t lines_ = 0;
  std::uint64_t requests_ = 0;
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
};

}  // namespace refwarden
