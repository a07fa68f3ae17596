// Running parsed requests through the filter on a thread of its own, so that
// reading and parsing the logs (on the caller's thread) overlap the filter's
// work. Requests are copied into batches, and only a few batches are ever in
// flight, so memory stays bounded whatever the input.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tools/FilterHost.h"
#include "tools/replay/ReplaySummary.h"
#include "tools/replay/TraceAudit.h"

namespace refwarden {

class RequestPipeline {
 public:
  // Starts the filter thread, which calls `filter` for each request, finds
  // out whether its trace was written (TraceAudit) and counts the outcome in
  // *summary (ReplaySummary::AddRequest only, and SetTracesNotWritten at the
  // end; the caller keeps the rest of the summary). Both must outlive the
  // pipeline. Once *stop (when given) is true, no further request is sent to
  // the filter: what is queued is dropped, and Add no longer waits.
  RequestPipeline(const FilterLibrary& filter, ReplaySummary* summary,
                  const std::atomic<bool>* stop = nullptr);
  // Finishes (see Finish) if that was not done, dropping its exception.
  ~RequestPipeline();
  RequestPipeline(const RequestPipeline&) = delete;
  RequestPipeline& operator=(const RequestPipeline&) = delete;

  // Queues one request; an empty host or referer is a request without that
  // header. `date` and `file` are handed on to the summary (ReplayedRequest).
  // Blocks while the filter thread is behind. Throws what the filter thread
  // threw, if it failed.
  void Add(std::string_view host, std::string_view referer, std::string_view url,
           bool refererLogged, std::uint32_t date = 0, std::uint32_t file = 0);

  // Waits until every queued request has been through the filter, stops the
  // thread and, when a trace was not written, gives the summary the reason.
  // Throws what the filter thread threw, if it failed.
  void Finish();

 private:
  struct Batch;

  void Submit();
  void Run();
  void Replay(const Batch& batch);
  void RethrowFailure();
  bool Stopped() const { return stop_ != nullptr && stop_->load(std::memory_order_relaxed); }

  HttpFilterProcFunction httpFilterProc_;
  ReplaySummary* summary_;
  const std::atomic<bool>* stop_;
  TraceAudit traces_;  // used on the filter thread only, until it ends

  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::unique_ptr<Batch>> queued_;  // oldest first
  std::vector<std::unique_ptr<Batch>> spare_;
  bool closing_ = false;
  bool finished_ = false;
  std::exception_ptr failure_;

  std::unique_ptr<Batch> filling_;
  std::thread thread_;
};

}  // namespace refwarden
