#include "tools/replay/TraceAudit.h"

#include "tools/TraceCheck.h"

namespace refwarden {

namespace {

// A name's string, its set node and bucket, and the allocator's share.
std::size_t Cost(std::string_view name) { return name.size() + 128; }

}  // namespace

TraceAudit::TraceAudit(std::size_t confirmedBudget)
    : budget_(confirmedBudget), readBack_(TraceCanBeReadBack()) {}

bool TraceAudit::Written(std::string_view tracedPath, bool ruleRewrites, bool rewritten) {
  if (rewritten) {
    if (readBack_) Confirm(tracedPath);  // the confirmed paths spare read-backs only
    return true;
  }
  if (!ruleRewrites) {
    if (!readBack_ || confirmed_.count(tracedPath) != 0) return true;
    ++readBacks_;
    if (TraceWasWritten(tracedPath)) {
      Confirm(tracedPath);
      return true;
    }
  }
  Failed(tracedPath);
  return false;
}

void TraceAudit::Confirm(std::string_view path) {
  if (confirmed_.count(path) != 0) return;
  if (Cost(path) > budget_) return;
  if (bytes_ + Cost(path) > budget_) Forget();
  names_.emplace_back(path);
  confirmed_.insert(names_.back());
  bytes_ += Cost(path);
}

void TraceAudit::Forget() {
  confirmed_.clear();
  names_.clear();
  bytes_ = 0;
}

void TraceAudit::Failed(std::string_view path) {
  ++notWritten_;
  if (!confirmed_.empty()) Forget();
  if (retryFailed_) return;
  fault_.store = TraceStoreName();
  const LONG error = RetryTrace(path);
  retryFailed_ = error != ERROR_SUCCESS;
  fault_.error = retryFailed_ ? ErrorText(error) : "";
  fault_.note = TraceErrorNote(error);
}

}  // namespace refwarden
