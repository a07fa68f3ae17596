#include "tools/replay/RequestPipeline.h"

#include <chrono>

#include "filter/HotlinkDecision.h"
#include "tools/TraceCheck.h"

namespace refwarden {

namespace {

constexpr std::size_t kBatchRequests = 2048;
constexpr std::size_t kBatchBytes = 1 << 20;
// Batches waiting for the filter thread; with the one being filled and the
// one being replayed, at most this plus two exist.
constexpr std::size_t kMaxQueued = 4;
// How often a wait looks at the stop flag, which a signal handler sets
// without waking anyone.
constexpr std::chrono::milliseconds kStopPoll{50};

}  // namespace

struct RequestPipeline::Batch {
  struct Request {
    std::uint32_t hostLength, refererLength, urlLength;
    std::uint32_t pathLength;    // the URL up to its first '?'
    std::uint32_t tracedLength;  // what the filter traces of it (TracedPath)
    bool refererLogged;
    bool image;
    bool ruleRewrites;  // by the values as the filter reads them
    std::uint32_t date, file;
  };
  std::string bytes;  // host, referer and URL of each request, back to back
  std::vector<Request> requests;

  bool Full() const { return requests.size() >= kBatchRequests || bytes.size() >= kBatchBytes; }
  void Clear() {
    bytes.clear();
    requests.clear();
  }
};

RequestPipeline::RequestPipeline(const FilterLibrary& filter, ReplaySummary* summary,
                                 const std::atomic<bool>* stop)
    : httpFilterProc_(filter.Function()),
      summary_(summary),
      stop_(stop),
      filling_(std::make_unique<Batch>()),
      thread_([this] { Run(); }) {}

RequestPipeline::~RequestPipeline() {
  try {
    Finish();
  } catch (...) {
  }
}

void RequestPipeline::Add(std::string_view host, std::string_view referer, std::string_view url,
                          bool refererLogged, std::uint32_t date, std::uint32_t file) {
  Batch& batch = *filling_;
  // Judged here, off the filter thread, which is the busier one.
  const std::string_view path = url.substr(0, url.find('?'));
  const bool image = IsProtectedPath(path);
  const std::string_view tracedPath = TracedPath(url);
  const bool ruleRewrites =
      (tracedPath == path ? image : IsProtectedPath(tracedPath)) &&
      DecideRewrite(tracedPath, FilterReads(host), FilterReads(referer)).rewrite;
  batch.requests.push_back(
      {static_cast<std::uint32_t>(host.size()), static_cast<std::uint32_t>(referer.size()),
       static_cast<std::uint32_t>(url.size()), static_cast<std::uint32_t>(path.size()),
       static_cast<std::uint32_t>(tracedPath.size()), refererLogged, image, ruleRewrites, date,
       file});
  batch.bytes.append(host).append(referer).append(url);
  if (batch.Full()) Submit();
}

void RequestPipeline::Submit() {
  std::unique_lock<std::mutex> hold(lock_);
  while (!changed_.wait_for(hold, kStopPoll, [this] {
    return queued_.size() < kMaxQueued || failure_ != nullptr || Stopped();
  })) {
  }
  if (Stopped()) {
    filling_->Clear();
    queued_.clear();
    return;
  }
  if (failure_ != nullptr) {
    filling_->Clear();
    std::rethrow_exception(failure_);
  }
  queued_.push_back(std::move(filling_));
  if (spare_.empty()) {
    filling_ = std::make_unique<Batch>();
  } else {
    filling_ = std::move(spare_.back());
    spare_.pop_back();
  }
  changed_.notify_all();
}

void RequestPipeline::Finish() {
  if (finished_) return;
  finished_ = true;
  if (!filling_->requests.empty()) {
    try {
      Submit();
    } catch (...) {
    }
  }
  {
    std::lock_guard<std::mutex> hold(lock_);
    closing_ = true;
    changed_.notify_all();
  }
  thread_.join();
  summary_->SetTracesNotWritten(traces_.notWritten(), traces_.fault());
  RethrowFailure();
}

void RequestPipeline::RethrowFailure() {
  std::lock_guard<std::mutex> hold(lock_);
  if (failure_ != nullptr) std::rethrow_exception(failure_);
}

void RequestPipeline::Run() {
  for (;;) {
    std::unique_ptr<Batch> batch;
    {
      std::unique_lock<std::mutex> hold(lock_);
      changed_.wait(hold, [this] { return !queued_.empty() || closing_; });
      if (Stopped()) queued_.clear();
      if (queued_.empty()) return;
      batch = std::move(queued_.front());
      queued_.erase(queued_.begin());
      changed_.notify_all();
    }
    try {
      Replay(*batch);
    } catch (...) {
      std::lock_guard<std::mutex> hold(lock_);
      failure_ = std::current_exception();
      changed_.notify_all();
      return;
    }
    batch->Clear();
    std::lock_guard<std::mutex> hold(lock_);
    spare_.push_back(std::move(batch));
  }
}

void RequestPipeline::Replay(const Batch& batch) {
  std::string_view bytes = batch.bytes;
  for (const Batch::Request& r : batch.requests) {
    if (Stopped()) return;
    const std::string_view host = bytes.substr(0, r.hostLength);
    const std::string_view referer = bytes.substr(r.hostLength, r.refererLength);
    const std::string_view url = bytes.substr(r.hostLength + r.refererLength, r.urlLength);
    bytes.remove_prefix(r.hostLength + r.refererLength + r.urlLength);
    const bool rewritten = RewritesUrl(httpFilterProc_, FilterRequest{host, referer, url});
    traces_.Written(url.substr(0, r.tracedLength), r.ruleRewrites, rewritten);
    ReplayedRequest replayed;
    replayed.path = url.substr(0, r.pathLength);
    replayed.host = host;
    replayed.referer = referer;
    replayed.urlLength = r.urlLength;
    replayed.refererLogged = r.refererLogged;
    replayed.date = r.date;
    replayed.file = r.file;
    summary_->AddRequest(replayed, RequestOutcome{r.image, rewritten});
  }
}

}  // namespace refwarden
