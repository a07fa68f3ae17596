// Counting the replayed requests whose trace was not written. The filter says
// nothing when its trace fails (the request passes unchanged, as the web
// server needs), so the tool works it out, from what it knows and, only where
// that cannot tell, from the registry:
// - a request the filter rewrote was traced: it rewrites only after tracing;
// - a request the rule would rewrite but the filter passed was not;
// - any other one is read back at once (TraceWasWritten), unless its path
//   was confirmed before, or the store is one the tool cannot read back
//   (TraceCanBeReadBack: a memory store, which refuses no trace short of
//   memory), where it counts as traced. Values are never removed, and the store answers
//   the trace of a value it holds by reading it, so a confirmed path stays
//   so while the store can be read. Confirmed paths are held within a fixed
//   budget, and forgotten all at once when it is full and whenever a trace
//   is seen to fail (the store may then have broken).
// So the count is exact while the store keeps what it holds readable (a lock,
// a full disk, a store that never worked); when it breaks midway, requests
// for confirmed paths before the first failure seen count as traced.
// The first trace that failed is written again (RetryTrace) to learn why, and
// so are the next ones for as long as writing again works.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_set>

#include "tools/replay/ReplaySummary.h"

namespace refwarden {

class TraceAudit {
 public:
  static constexpr std::size_t kConfirmedBudget = 16 << 20;

  // `confirmedBudget` bounds the memory the confirmed paths take. Create it
  // once the trace store is chosen: it asks then whether it can read back.
  explicit TraceAudit(std::size_t confirmedBudget = kConfirmedBudget);
  TraceAudit(const TraceAudit&) = delete;
  TraceAudit& operator=(const TraceAudit&) = delete;

  // Returns whether the trace of one request was written, and counts it when
  // it was not. Call it right after the filter handled the request, before
  // it handles another, with: `tracedPath`, the path it traced (TracedPath
  // of the URL it was handed); `ruleRewrites`, what DecideRewrite says for
  // the path, host and referer as it read them (FilterReads); `rewritten`,
  // whether it rewrote the request.
  bool Written(std::string_view tracedPath, bool ruleRewrites, bool rewritten);

  // How many requests' traces were found not written.
  std::uint64_t notWritten() const { return notWritten_; }
  // Where the traces should have gone and why they could not be written;
  // meaningful when notWritten() > 0.
  const TraceFault& fault() const { return fault_; }
  // How many requests were read back from the registry.
  std::uint64_t readBacks() const { return readBacks_; }

 private:
  void Confirm(std::string_view path);
  void Forget();
  void Failed(std::string_view path);

  std::size_t budget_;
  std::size_t bytes_ = 0;
  std::deque<std::string> names_;                   // the confirmed paths
  std::unordered_set<std::string_view> confirmed_;  // views of names_
  std::uint64_t notWritten_ = 0;
  bool retryFailed_ = false;  // writing one again gave an error
  TraceFault fault_;
  std::uint64_t readBacks_ = 0;
  bool readBack_;  // TraceCanBeReadBack() when made
};

}  // namespace refwarden
