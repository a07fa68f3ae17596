// Running parsed requests through the filter on threads of their own, so that
// reading and parsing the logs (on the caller's thread) overlap the filter's
// work. Requests are copied into batches, and only a few batches are ever in
// flight, so memory stays bounded whatever the input.
//
// A store the tool reads traces back from (a file, the real registry) gets
// one filter thread, which checks each trace right after its request, in log
// order. A store that cannot be read back (the memory store of a dry run)
// gets a filter thread per processor: the filter is made for many threads at
// once, and the outcomes are counted batch by batch in log order, so the
// summary is the same whichever thread finished first.
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
  // Starts the filter threads, which call `filter` for each request, find
  // out whether its trace was written (TraceAudit) and count the outcome in
  // *summary (ReplaySummary::AddRequest only, and SetTracesNotWritten at the
  // end; the caller keeps the rest of the summary). Both must outlive the
  // pipeline. Once *stop (when given) is true, no further request is sent to
  // the filter: what is queued is dropped, and Add no longer waits.
  // `threads` 0 chooses as above; another value is taken as it stands (1 when
  // traces are read back, whatever is asked).
  RequestPipeline(HttpFilterProcFunction httpFilterProc, ReplaySummary* summary,
                  const std::atomic<bool>* stop = nullptr, unsigned threads = 0);
  RequestPipeline(const FilterLibrary& filter, ReplaySummary* summary,
                  const std::atomic<bool>* stop = nullptr, unsigned threads = 0)
      : RequestPipeline(filter.Function(), summary, stop, threads) {}
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
  // Sends the batch's requests through the filter, keeping each outcome in
  // it; with one thread, also audits and counts each at once.
  void Replay(Batch& batch);
  // Audits and counts one replayed batch's outcomes (several threads only).
  void Count(const Batch& batch);
  // Hands a replayed batch on: counts every batch that is next in log order
  // (several threads only; one thread at a time) and keeps the rest for later.
  void Done(std::unique_ptr<Batch> batch);
  void CountInOrder(bool all);
  void Fail();
  void RethrowFailure();
  bool Stopped() const { return stop_ != nullptr && stop_->load(std::memory_order_relaxed); }

  HttpFilterProcFunction httpFilterProc_;
  ReplaySummary* summary_;
  const std::atomic<bool>* stop_;
  TraceAudit traces_;  // used by one thread at a time: the counting one
  bool inline_;        // one filter thread, which audits and counts as it goes

  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::unique_ptr<Batch>> queued_;  // oldest first
  std::vector<std::unique_ptr<Batch>> spare_;
  std::vector<std::unique_ptr<Batch>> replayed_;  // waiting for an earlier one to be counted
  std::uint64_t nextSequence_ = 0;  // of the next batch submitted
  std::uint64_t nextCounted_ = 0;   // of the next batch to count
  bool counting_ = false;           // a thread is counting batches
  bool closing_ = false;
  bool finished_ = false;
  std::exception_ptr failure_;

  std::unique_ptr<Batch> filling_;
  std::vector<std::thread> threads_;
};

}  // namespace refwarden
