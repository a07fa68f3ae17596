#include "tools/replay/RequestPipeline.h"

#include <algorithm>
#include <chrono>

#include "filter/HotlinkDecision.h"
#include "tools/TraceCheck.h"

namespace refwarden {

namespace {

constexpr std::size_t kBatchRequests = 2048;
constexpr std::size_t kBatchBytes = 1 << 20;
// Batches waiting for a filter thread; with the one being filled, one being
// replayed per thread and those replayed out of order, at most this plus
// twice the threads plus one exist.
constexpr std::size_t kMaxQueued = 4;
// More filter threads than this gain nothing: the reading thread cannot
// keep them busy.
constexpr unsigned kMaxThreads = 4;

unsigned FilterThreads(unsigned asked, bool readBack) {
  if (readBack) return 1;
  if (asked != 0) return std::min(asked, kMaxThreads);
  return std::clamp(std::thread::hardware_concurrency(), 1u, kMaxThreads);
}
// How often a wait looks at the stop flag, which a signal handler sets
// without waking anyone.
constexpr std::chrono::milliseconds kStopPoll{50};

}  // namespace

struct RequestPipeline::Batch {
  struct Request {
    std::uint32_t hostLength, refererLength, urlLength;
    bool refererLogged;
    std::uint32_t date, file;
    // Found by the filter thread, once replayed:
    std::uint32_t pathLength = 0;    // the URL up to its first '?'
    std::uint32_t tracedLength = 0;  // what the filter traces of it (TracedPath)
    bool image = false;
    bool ruleRewrites = false;  // by the values as the filter reads them; judged only
                                // when the filter passed the request
    bool rewritten = false;     // what the filter did
  };
  std::string bytes;  // host, referer and URL of each request, back to back
  std::vector<Request> requests;
  std::size_t replayed = 0;  // the leading requests sent through the filter
  std::uint64_t sequence = 0;

  bool Full() const { return requests.size() >= kBatchRequests || bytes.size() >= kBatchBytes; }
  void Clear() {
    bytes.clear();
    requests.clear();
    replayed = 0;
  }
  // Calls f(request, host, referer, url) for the first `count` requests of
  // `batch` (a Batch, const or not), in order, while f returns true.
  template <typename B, typename F>
  static void ForEach(B& batch, std::size_t count, F f) {
    std::string_view rest = batch.bytes;
    for (std::size_t i = 0; i < count; ++i) {
      auto& r = batch.requests[i];
      if (!f(r, rest.substr(0, r.hostLength), rest.substr(r.hostLength, r.refererLength),
             rest.substr(r.hostLength + r.refererLength, r.urlLength)))
        return;
      rest.remove_prefix(r.hostLength + r.refererLength + r.urlLength);
    }
  }
};

RequestPipeline::RequestPipeline(HttpFilterProcFunction httpFilterProc, ReplaySummary* summary,
                                 const std::atomic<bool>* stop, unsigned threads)
    : httpFilterProc_(httpFilterProc),
      summary_(summary),
      stop_(stop),
      filling_(std::make_unique<Batch>()) {
  const unsigned count = FilterThreads(threads, TraceCanBeReadBack());
  inline_ = count == 1;
  threads_.reserve(count);
  for (unsigned i = 0; i < count; ++i) threads_.emplace_back([this] { Run(); });
}

RequestPipeline::~RequestPipeline() {
  try {
    Finish();
  } catch (...) {
  }
}

void RequestPipeline::Add(std::string_view host, std::string_view referer, std::string_view url,
                          bool refererLogged, std::uint32_t date, std::uint32_t file) {
  Batch& batch = *filling_;
  Batch::Request& r = batch.requests.emplace_back();
  r.hostLength = static_cast<std::uint32_t>(host.size());
  r.refererLength = static_cast<std::uint32_t>(referer.size());
  r.urlLength = static_cast<std::uint32_t>(url.size());
  r.refererLogged = refererLogged;
  r.date = date;
  r.file = file;
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
  filling_->sequence = nextSequence_++;
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
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
  // Batches dropped at a stop leave gaps; what was replayed is still counted.
  if (failure_ == nullptr) {
    try {
      CountInOrder(true);
    } catch (...) {
      failure_ = std::current_exception();
    }
  }
  summary_->SetTracesNotWritten(traces_.notWritten(), traces_.fault());
  RethrowFailure();
}

void RequestPipeline::RethrowFailure() {
  std::lock_guard<std::mutex> hold(lock_);
  if (failure_ != nullptr) std::rethrow_exception(failure_);
}

void RequestPipeline::Fail() {
  std::lock_guard<std::mutex> hold(lock_);
  if (failure_ == nullptr) failure_ = std::current_exception();
  changed_.notify_all();
}

void RequestPipeline::Run() {
  for (;;) {
    std::unique_ptr<Batch> batch;
    {
      std::unique_lock<std::mutex> hold(lock_);
      changed_.wait(hold, [this] { return !queued_.empty() || closing_ || failure_ != nullptr; });
      if (Stopped()) queued_.clear();
      if (queued_.empty() || failure_ != nullptr) return;
      batch = std::move(queued_.front());
      queued_.erase(queued_.begin());
      changed_.notify_all();
    }
    try {
      Replay(*batch);
      Done(std::move(batch));
    } catch (...) {
      Fail();
      return;
    }
  }
}

void RequestPipeline::Replay(Batch& batch) {
  Batch::ForEach(batch, batch.requests.size(),
                 [&](Batch::Request& r, std::string_view host, std::string_view referer,
                     std::string_view url) {
                   if (Stopped()) return false;
                   r.rewritten = RewritesUrl(httpFilterProc_, FilterRequest{host, referer, url});
                   // Judged here, where there is a thread per processor, not on the one
                   // thread that reads the logs.
                   const std::string_view path = url.substr(0, url.find('?'));
                   const std::string_view tracedPath = TracedPath(url);
                   r.pathLength = static_cast<std::uint32_t>(path.size());
                   r.tracedLength = static_cast<std::uint32_t>(tracedPath.size());
                   r.image = IsProtectedPath(path);
                   r.ruleRewrites =
                       !r.rewritten &&
                       (tracedPath == path ? r.image : IsProtectedPath(tracedPath)) &&
                       DecideRewrite(tracedPath, FilterReads(host), FilterReads(referer)).rewrite;
                   ++batch.replayed;
                   // A trace read back must be read before the filter handles another.
                   if (inline_) traces_.Written(tracedPath, r.ruleRewrites, r.rewritten);
                   return true;
                 });
}

void RequestPipeline::Count(const Batch& batch) {
  Batch::ForEach(batch, batch.replayed,
                 [this](const Batch::Request& r, std::string_view host, std::string_view referer,
                        std::string_view url) {
                   if (!inline_)
                     traces_.Written(url.substr(0, r.tracedLength), r.ruleRewrites, r.rewritten);
                   ReplayedRequest replayed;
                   replayed.path = url.substr(0, r.pathLength);
                   replayed.host = host;
                   replayed.referer = referer;
                   replayed.urlLength = r.urlLength;
                   replayed.refererLogged = r.refererLogged;
                   replayed.date = r.date;
                   replayed.file = r.file;
                   summary_->AddRequest(replayed, RequestOutcome{r.image, r.rewritten});
                   return true;
                 });
}

void RequestPipeline::Done(std::unique_ptr<Batch> batch) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    replayed_.push_back(std::move(batch));
    if (counting_) return;  // the thread counting will come to it
    counting_ = true;
  }
  CountInOrder(false);
}

void RequestPipeline::CountInOrder(bool all) {
  for (;;) {
    std::unique_ptr<Batch> next;
    {
      std::lock_guard<std::mutex> hold(lock_);
      auto lowest =
          std::min_element(replayed_.begin(), replayed_.end(),
                           [](const auto& a, const auto& b) { return a->sequence < b->sequence; });
      if (lowest == replayed_.end() || (!all && (*lowest)->sequence != nextCounted_)) {
        counting_ = false;
        return;
      }
      next = std::move(*lowest);
      replayed_.erase(lowest);
      nextCounted_ = next->sequence + 1;
    }
    try {
      Count(*next);
    } catch (...) {
      std::lock_guard<std::mutex> hold(lock_);
      counting_ = false;
      throw;
    }
    next->Clear();
    std::lock_guard<std::mutex> hold(lock_);
    spare_.push_back(std::move(next));
  }
}

}  // namespace refwarden
